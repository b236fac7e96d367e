// Office documents searched through their text, and hostile archives.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <map>

#include "office_fixtures.h"
#include "search/content_matcher.h"
#include "test_tree.h"

namespace findlark {
namespace {

using testing::Zip;
using testing::ZipBytes;

// Paragraphs of every format; read at the normal chunk size and at tiny ones, which split the
// archive, the inflated XML and the text at every edge.
class Documents : public ::testing::TestWithParam<size_t> {
 protected:
  std::string Match(const std::string& bytes, const std::string& query) {
    tree.Write("doc", bytes);  // no extension: the format is told by the contents
    return MatchContent(tree.Path("doc"), QueryMatcher(query), nullptr, GetParam());
  }
  testing::TestTree tree;
};

TEST_P(Documents, SearchesTheTextOneParagraphALine) {
  std::map<std::string, std::string> docs;
  for (auto& [format, bytes] : testing::SeedDocuments()) docs[format] = std::move(bytes);
  const struct {
    const char* format;
    std::string query, line;
  } cases[] = {
      {"docx", "larkspur", "The quarterly budget for Larkspur"},
      {"docx", "delphinium", "Delphinium blue"},  // one word over two runs
      {"docx", "fish & chips été <b>", "Fish & Chips été <b>"},
      {"docx", "été à paris", "L'ÉTÉ À PARIS"},
      {"docx", "name:\tvalue", "Name:\tValue"},
      {"docx", "cell two", "Cell two"},
      {"docx", "one cell", ""},
      {"docx", "confidential", "Confidential draft"},
      {"docx", "document", ""},  // the archive's member names are no text
      {"docx", "content_types", ""},
      {"docx", "rels", ""},
      {"docx", "w:t", ""},
      {"xlsx", "revenue", "Revenue Q3"},
      {"xlsx", "rich text", "Rich text"},
      {"xlsx", "reading aid", ""},
      {"xlsx", "inline", "Inline total"},
      {"xlsx", "sharedstrings", ""},
      {"pptx", "slide", "Slide two goes on"},  // slide 2 comes before slide 10
      {"pptx", "second box", "Second box line"},
      {"odt", "title", "Title Here"},
      {"odt", "hello   world", "Hello   World"},
      {"odt", "spaced out", "Spaced out"},
      {"odt", "item one", "Item one"},
      {"odt", "opendocument", ""},
      {"ods", "cell text", "Cell Text"},
      {"epub", "chapter", "Chapter two text"},  // spine order, not member order
      {"epub", "one", "Chapter one"},
      {"epub", "script", ""},
      {"epub", "head title", ""},
      {"epub", "epub", ""},
      {"epub-dtd", "non breaking", "Non breaking"},  // &nbsp; of a DTD never loaded
  };
  for (const auto& c : cases)
    EXPECT_EQ(Match(docs[c.format], c.query), c.line) << c.format << " " << c.query;
}

TEST_P(Documents, OtherZipsAreSearchedAsBytes) {
  testing::ZipMember notes{"notes.txt", "plain larkspur notes\n"};
  notes.deflate = false;
  EXPECT_TRUE(Match(ZipBytes({notes}), "larkspur").ends_with("plain larkspur notes"));
  // A package that has a content-types member but no office document in it.
  testing::ZipMember types{"[Content_Types].xml", "<Types/>"};
  types.deflate = false;
  EXPECT_NE(Match(ZipBytes({types, notes}), "larkspur"), "");
}

INSTANTIATE_TEST_SUITE_P(Chunks, Documents, ::testing::Values(kReadChunk, 1, 3));

// A stored document, so that its words are in the raw bytes too: reading them as bytes would
// find them.
Zip StoredDocx(const std::string& body) {
  Zip zip = testing::Docx(body);
  for (auto& m : zip) m.deflate = false;
  return zip;
}

// Parts that inflate past the text budget: a word near the start is still found, the part's
// CRC still checked to its end.
TEST(LargeDocuments, FindTheTextNearTheStartOfAHugePart) {
  const std::string filler = testing::WordParagraph(std::string(1000, 'x'));
  Zip docx = testing::Docx("");
  docx[2].prefix = docx[2].body.substr(0, docx[2].body.find("</w:body>")) +
                   testing::WordParagraph("Invoice for Kingfisher Ltd");
  docx[2].body = filler;
  docx[2].repeat = 98'000;  // 98 MB of XML
  docx[2].suffix = "</w:body></w:document>";
  Zip xlsx = testing::Xlsx("", "");
  xlsx[2].prefix = "<sst xmlns=\"urn:s\"><si><t>Kingfisher Ltd total</t></si>";
  xlsx[2].body = "<si><t>" + std::string(1000, 'y') + "</t></si>";
  xlsx[2].repeat = 70'000;
  xlsx[2].suffix = "</sst>";
  Zip badCrc = docx;
  badCrc[2].badCrc = true;
  const struct {
    const char* what;
    Zip zip;
    std::string line;
  } cases[] = {
      {"docx", docx, "Invoice for Kingfisher Ltd"},
      {"xlsx", xlsx, "Kingfisher Ltd total"},
      {"docx, bad CRC", badCrc, ""},
  };
  testing::TestTree tree;
  for (const auto& c : cases) {
    testing::WriteZip(tree.Path("doc"), c.zip);
    EXPECT_EQ(MatchContent(tree.Path("doc"), QueryMatcher("kingfisher ltd")), c.line) << c.what;
  }
}

TEST(HostileDocuments, GiveNoMatchWithinBoundedMemory) {
  testing::TestTree tree;
  tree.Write("secret.txt", "secretword\n");
  const std::string larkspur = testing::WordParagraph("Larkspur");
  const std::string good = ZipBytes(StoredDocx(larkspur));

  auto withPart = [&](auto change) {
    Zip zip = StoredDocx(larkspur);
    change(zip[2]);
    return ZipBytes(zip);
  };
  auto withXml = [&](const std::string& doctype, const std::string& body) {
    Zip zip = StoredDocx(body);
    zip[2].body.insert(zip[2].body.find("<w:document"), doctype);
    return ZipBytes(zip);
  };
  Zip bomb = testing::Docx("");
  bomb[2].body.clear();
  bomb[2].prefix = "<w:document xmlns:w=\"w\"><w:body><w:p><w:r><w:t>";
  bomb[2].body = std::string(1 << 20, 'a');
  bomb[2].repeat = 1024;  // 1 GiB of text in about a MiB
  bomb[2].suffix = "Larkspur</w:t></w:r></w:p></w:body></w:document>";
  Zip crowded = StoredDocx(larkspur);
  for (int i = 0; i < 12000; ++i) crowded.push_back({"word/media/p" + std::to_string(i), ""});
  Zip escaping = StoredDocx(larkspur);
  escaping.push_back({"../../evil.xml", "<x/>"});
  std::string corrupt = good;
  corrupt.replace(corrupt.find("PK\1\2"), 4, "XXXX");
  std::string laughs = "<!DOCTYPE w:document [<!ENTITY lol0 \"lol\">";
  for (int i = 1; i < 10; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + std::to_string(i - 1) + ";";
    laughs += "\">";
  }
  laughs += "]>";
  const std::string external =
      "<!DOCTYPE w:document [<!ENTITY x SYSTEM \"file://" + tree.Path("secret.txt") + "\">]>";

  const struct {
    const char* what;
    std::string bytes;
    std::string query;
  } cases[] = {
      {"cut short", good.substr(0, good.size() - 10), "larkspur"},
      {"cut in half", good.substr(0, good.size() / 2), "document"},
      {"broken directory", corrupt, "larkspur"},
      {"bad CRC", withPart([](auto& m) { m.badCrc = true; }), "larkspur"},
      {"encrypted", withPart([](auto& m) { m.encrypted = true; }), "larkspur"},
      {"unknown method", withPart([](auto& m) { m.method = 14; }), "larkspur"},
      {"zip bomb", ZipBytes(bomb), "larkspur"},
      {"12,000 members", ZipBytes(crowded), "larkspur"},
      {"../ in a name", ZipBytes(escaping), "larkspur"},
      {"billion laughs", withXml(laughs, larkspur + testing::WordParagraph("&lol9;")), "lol"},
      {"billion laughs", withXml(laughs, larkspur), "larkspur"},
      {"external entity", withXml(external, testing::WordParagraph("&x;")), "secretword"},
      {"external entity", withXml(external, larkspur), "larkspur"},
      {"not well-formed", ZipBytes(StoredDocx("<w:p><w:r><w:t>Larkspur</w:r></w:p>")), "larkspur"},
      {"giant attribute",
       ZipBytes(testing::Docx("<w:p w:x=\"" + std::string(9 << 20, 'a') + "\"/>" + larkspur)),
       "larkspur"},
  };
  tree.Write("good", good);  // the same document, undamaged, matches
  ASSERT_EQ(MatchContent(tree.Path("good"), QueryMatcher("larkspur")), "Larkspur");
  for (const auto& c : cases) {
    tree.Write("doc", c.bytes);
    EXPECT_EQ(MatchContent(tree.Path("doc"), QueryMatcher(c.query)), "") << c.what;
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);  // KiB: inflating the bomb whole would pass this
}

}  // namespace
}  // namespace findlark
