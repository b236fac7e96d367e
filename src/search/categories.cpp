#include "search/categories.h"

#include <array>
#include <cstdint>
#include <iterator>

#include "search/case_fold.h"

namespace findlark {

const std::array<const char*, kCategoryCount> g_categoryNames = {
    "Documents",     "Pictures",     "Music",         "Video",        "Webpages",
    "PDF Documents", "Spreadsheets", "Presentations", "Applications", "Folders",
    "Archives",      "Source Code",  "Other",
};

namespace {

struct ExtensionRow {
  std::string_view extension;
  FileCategory category;
};

// Exact whole-string comparison: no prefixes, no wildcards.
constexpr ExtensionRow kExtensions[] = {
    {"txt", kDocuments},     {"doc", kDocuments},     {"rtf", kDocuments},
    {"jpg", kPictures},      {"png", kPictures},      {"bmp", kPictures},
    {"gif", kPictures},      {"jpeg", kPictures},     {"mp3", kMusic},
    {"wma", kMusic},         {"wav", kMusic},         {"ogg", kMusic},
    {"mid", kMusic},         {"midi", kMusic},        {"ra", kMusic},
    {"mpg", kVideo},         {"mpeg", kVideo},        {"wmv", kVideo},
    {"avi", kVideo},         {"rv", kVideo},          {"rmvb", kVideo},
    {"mp4", kVideo},         {"html", kWebpages},     {"htm", kWebpages},
    {"mht", kWebpages},      {"pdf", kPdfDocuments},  {"xls", kSpreadsheets},
    {"ppt", kPresentations}, {"pps", kPresentations}, {"exe", kApplications},
    {"zip", kArchives},      {"rar", kArchives},      {"cab", kArchives},
    {"tar", kArchives},      {"gz", kArchives},       {"c", kSourceCode},
    {"cpp", kSourceCode},    {"h", kSourceCode},      {"pas", kSourceCode},
    {"java", kSourceCode},   {"pl", kSourceCode},     {"js", kSourceCode},
    {"vbs", kSourceCode},    {"php", kSourceCode},    {"asp", kSourceCode},
    {"jsp", kSourceCode},    {"css", kSourceCode},    {"asm", kSourceCode},
    {"as", kSourceCode},
};

// An extension of at most four bytes, and its length, as one number, so that the table is
// searched by integer compares: every hit by name and every file of a content search is
// classified.
constexpr uint64_t ExtensionKey(std::string_view extension) {
  uint64_t key = static_cast<uint64_t>(extension.size()) << 32;
  for (size_t i = 0; i < extension.size(); ++i)
    key |= static_cast<uint64_t>(static_cast<unsigned char>(extension[i])) << (8 * i);
  return key;
}

constexpr auto kExtensionKeys = [] {
  std::array<uint64_t, std::size(kExtensions)> keys{};
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = ExtensionKey(kExtensions[i].extension);
  return keys;
}();

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

}  // namespace

std::string ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return FoldCase(name.substr(dot + 1));
}

std::optional<FileCategory> ClassifyEntry(bool isFolder, std::string_view extension) {
  if (isFolder) return kFolders;
  // Every table extension is 1 to 4 bytes; longer ones can only be Other.
  if (extension.empty() || extension.size() > 4) return kOther;
  const uint64_t key = ExtensionKey(extension);
  if (key == ExtensionKey("lnk") || key == ExtensionKey("url")) return std::nullopt;
  for (size_t i = 0; i < kExtensionKeys.size(); ++i) {
    if (kExtensionKeys[i] == key) return kExtensions[i].category;
  }
  return kOther;
}

bool IsContentSearchable(FileCategory category) {
  return category == kDocuments || category == kWebpages || category == kSourceCode ||
         category == kOther;
}

std::string_view TitleOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(0, dot);
}

std::optional<FileCategory> CategoryByName(std::string_view name) {
  for (int i = 0; i < kCategoryCount; ++i) {
    const std::string_view candidate = g_categoryNames[i];
    if (candidate.size() != name.size()) continue;
    bool same = true;
    for (size_t k = 0; k < name.size() && same; ++k) {
      same = AsciiLower(candidate[k]) == AsciiLower(name[k]);
    }
    if (same) return i;
  }
  return std::nullopt;
}

}  // namespace findlark
