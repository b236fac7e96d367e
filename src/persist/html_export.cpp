#include "persist/html_export.h"

#include "persist/atomic_file.h"
#include "results/display_text.h"
#include "results/results_tree.h"

namespace findlark {

namespace {

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
  page += HtmlEscape(FileUrl(record.path));
  page += "\" title=\"";
  page += HtmlEscape(record.path);
  page += "\" target=\"_blank\">";
  page += HtmlEscape(label);
  page += "</a></td><td width=\"25%\">";
  page += HtmlEscape(record.sizeText);
  page += "</td><td width=\"25%\">";
  page += HtmlEscape(record.dateText);
  page += "</td></tr>\r\n";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

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

std::string BuildResultsPage(const SearchResults& results, std::string_view queryLower,
                             std::string_view stamp) {
  const std::string query = HtmlEscape(queryLower);
  std::string page;
  page += kHeadStart;
  page += query;
  page += kHeadStyle;
  page += query;
  page += "' (found ";
  page += std::to_string(results.foundCount);
  page += ")</h1>Saved on ";
  page += HtmlEscape(stamp);
  page += "<br/><br/>\r\n";

  const ResultsTree& tree = results.tree;
  for (auto node = tree.FirstChild(std::nullopt); node; node = tree.NextSibling(*node)) {
    if (tree.Count(node->category) == 0) continue;
    page += "<table width=\"100%\" cellspacing=\"1\" cellpadding=\"3\">\r\n";
    page += "<tr><td colspan=\"3\" class=\"cat\"><b>";
    page += HtmlEscape(g_categoryNames[node->category]);
    page += "</b></td></tr>\r\n";
    for (auto leaf = tree.FirstChild(node); leaf; leaf = tree.NextSibling(*leaf)) {
      const int64_t data = tree.ItemData(*leaf);
      if (!results.RefersToRecord(data) || static_cast<uint64_t>(data) >= results.store.size()) {
        continue;
      }
      AppendRow(page, results.store.View(static_cast<size_t>(data)),
                tree.ItemText(*leaf, results.store));
    }
    page += "</table><br/>";
  }
  page += "</body></html>";
  return page;
}

bool WriteResultsPage(const std::string& path, const SearchResults& results,
                      std::string_view queryLower, time_t now, std::string* error) {
  const std::string page = BuildResultsPage(results, queryLower, FormatExportStamp(now));
  return WriteFileAtomically(path, page, error);
}

}  // namespace findlark
