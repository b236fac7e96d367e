#pragma once

#include <string>
#include <vector>

namespace findlark::testing {

// One member of a zip written by WriteZip: `prefix`, `body` `repeat` times, then `suffix`.
struct ZipMember {
  ZipMember(std::string n, std::string b = {}) : name(std::move(n)), body(std::move(b)) {}
  std::string name;
  std::string body;
  bool deflate = true;
  bool encrypted = false;  // only the flag: a reader has to refuse it unread
  bool badCrc = false;     // stored with a wrong CRC
  int method = -1;         // another compression method's number, written as stored bytes
  std::string prefix, suffix;
  size_t repeat = 1;
};
using Zip = std::vector<ZipMember>;

void WriteZip(const std::string& path, const Zip& members);
std::string ZipBytes(const Zip& members);  // the same archive, as bytes

// Small documents of each format. Texts are XML already (escape them yourself).
std::string WordParagraph(const std::string& text);
Zip Docx(const std::string& body);  // body: the markup inside w:body
Zip Xlsx(const std::string& sharedStrings, const std::string& sheet);  // inside sst, sheetData
Zip Pptx(const std::vector<std::pair<int, std::string>>& slides);      // number, markup in p:spTree
Zip Odf(const std::string& type, const std::string& body);             // type: text, spreadsheet...
// chapters: member name under OEBPS/ and its body markup, listed in spine order.
Zip Epub(const std::vector<std::pair<std::string, std::string>>& chapters);

// One small document of every kind, by format name: the tests' documents and the fuzzers'
// seeds.
std::vector<std::pair<std::string, std::string>> SeedDocuments();

}  // namespace findlark::testing
