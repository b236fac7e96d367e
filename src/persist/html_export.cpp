#include "persist/html_export.h"

#include "persist/atomic_file.h"
#include "persist/text_escape.h"
#include "results/display_text.h"
#include "results/search_results.h"

namespace findlark {

namespace {

// Pieces handed to the sink are about this size: big enough for few writes, small enough
// that memory stays flat whatever the number of hits.
constexpr size_t kPieceBytes = 64 * 1024;

constexpr std::string_view kHeadStart =
    "<html><head><meta charset=\"utf-8\"><title>Findlark Search Results for '";
constexpr std::string_view kHeadStyle =
    "'</title><style type=\"text/css\">\r\n"
    "body,td { font:10pt Arial }\r\n"
    "h1 { font-size:14pt;margin-bottom:0px }\r\n"
    "td { background-color:white }\r\n"
    "td.cat { color:white;background-color:gray }\r\n"
    "a { color:navy;text-decoration:none }\r\n"
    "a:hover { text-decoration:underline }\r\n"
    "</style></head><body><h1>Findlark Search Results for '";

bool IsUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

void AppendRow(std::string& page, const RecordView& record, std::string_view label) {
  page += "<tr><td width=\"50%\"><a href=\"";
  page += FileUrl(record.path);  // plain ASCII: nothing in it needs an entity
  page += "\" title=\"";
  AppendHtmlText(page, record.path);
  page += "\" target=\"_blank\">";
  AppendHtmlText(page, label);
  page += "</a></td><td width=\"25%\">";
  AppendHtmlText(page, record.sizeText);
  page += "</td><td width=\"25%\">";
  AppendHtmlText(page, record.dateText);
  page += "</td></tr>\r\n";
}

}  // namespace

std::string FileUrl(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string url = "file://";
  for (const char ch : path) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsUnreserved(c) || c == '/') {
      url += ch;
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 0xF];
    }
  }
  return url;
}

bool StreamResultsPage(const SearchResults& results, std::string_view queryLower,
                       std::string_view stamp, const std::function<bool(std::string_view)>& sink,
                       std::string_view filters) {
  std::string piece;
  piece.reserve(kPieceBytes + kPieceBytes / 4);
  const auto handOver = [&](bool whenFull) {
    if (whenFull && piece.size() < kPieceBytes) return true;
    const bool ok = piece.empty() || sink(piece);
    piece.clear();
    return ok;
  };

  std::string query;
  AppendHtmlText(query, queryLower);
  piece += kHeadStart;
  piece += query;
  piece += kHeadStyle;
  piece += query;
  piece += "' (found ";
  piece += std::to_string(results.foundCount);
  piece += ")</h1>Saved on ";
  AppendHtmlText(piece, stamp);
  if (!filters.empty()) {
    piece += "<br/>Filtered: ";
    AppendHtmlText(piece, filters);
  }
  piece += "<br/><br/>\r\n";

  const ResultsTree& tree = results.tree;
  for (auto node = tree.FirstChild(std::nullopt); node; node = tree.NextSibling(*node)) {
    if (tree.Count(node->category) == 0) continue;
    piece += "<table width=\"100%\" cellspacing=\"1\" cellpadding=\"3\">\r\n";
    piece += "<tr><td colspan=\"3\" class=\"cat\"><b>";
    AppendHtmlText(piece, g_categoryNames[node->category]);
    piece += "</b></td></tr>\r\n";
    for (auto leaf = tree.FirstChild(node); leaf; leaf = tree.NextSibling(*leaf)) {
      const int64_t data = tree.ItemData(*leaf);
      if (!results.RefersToRecord(data) || static_cast<uint64_t>(data) >= results.store.size()) {
        continue;
      }
      AppendRow(piece, results.store.View(static_cast<size_t>(data)),
                tree.ItemText(*leaf, results.store));
      if (!handOver(true)) return false;
    }
    piece += "</table><br/>";
  }
  piece += "</body></html>";
  return handOver(false);
}

std::string BuildResultsPage(const SearchResults& results, std::string_view queryLower,
                             std::string_view stamp, std::string_view filters) {
  std::string page;
  StreamResultsPage(
      results, queryLower, stamp,
      [&](std::string_view piece) {
        page += piece;
        return true;
      },
      filters);
  return page;
}

bool WriteResultsPage(const std::string& path, const SearchResults& results,
                      std::string_view queryLower, time_t now, std::string* error,
                      std::string_view filters) {
  AtomicFileWriter file;
  const bool ok = file.Open(path) &&
                  StreamResultsPage(
                      results, queryLower, FormatExportStamp(now),
                      [&](std::string_view piece) { return file.Write(piece); }, filters) &&
                  file.Commit();
  if (!ok && error) *error = file.Error();
  return ok;
}

}  // namespace findlark
