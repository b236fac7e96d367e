// Office documents searched through their text, and hostile archives.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "fixture.h"
#include "search/content_matcher.h"
#include "test_tree.h"

namespace findlark {
namespace {

// Searches a fixture as a file with no extension, so that its format is told by its contents.
std::string MatchFixture(const std::string& name, const std::string& query,
                         size_t chunk = kReadChunk) {
  testing::TestTree tree;
  tree.Write("doc", testing::ReadFixture(name));
  return MatchContent(tree.Path("doc"), QueryMatcher(query), nullptr, chunk);
}

// Paragraphs of every format; read at the normal chunk size and at tiny ones, which split the
// archive, the inflated XML and the text at every edge.
class Documents : public ::testing::TestWithParam<size_t> {};

TEST_P(Documents, SearchesTheTextOneParagraphALine) {
  const struct {
    const char* fixture;
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
    EXPECT_EQ(MatchFixture(c.fixture, c.query, GetParam()), c.line) << c.fixture << " " << c.query;
  // Other zips, stored, are searched as bytes, as is a package with no office document in it.
  EXPECT_TRUE(MatchFixture("zip-stored", "larkspur", GetParam()).ends_with("plain larkspur notes"));
  EXPECT_NE(MatchFixture("zip-types-only", "larkspur", GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(Chunks, Documents, ::testing::Values(kReadChunk, 1, 3));

// Hostile archives give no match within bounded memory. Parts that inflate past the text budget
// still give a word near their start, and have their CRC checked to the end.
TEST(HostileDocuments, GiveNoMatchWithinBoundedMemory) {
  const struct {
    const char* fixture;
    const char* query;
    const char* line;
  } cases[] = {
      {"good", "larkspur", "Larkspur"},  // the others are made from this one
      {"cut-short", "larkspur", ""},
      {"cut-in-half", "document", ""},
      {"broken-directory", "larkspur", ""},
      {"bad-crc", "larkspur", ""},
      {"encrypted", "larkspur", ""},
      {"unknown-method", "larkspur", ""},
      {"zip-bomb.gz", "larkspur", ""},      // 1 GiB of text before the word
      {"many-members.gz", "larkspur", ""},  // 12,000
      {"dotdot-name", "larkspur", ""},
      {"laughs-in-text", "lol", ""},
      {"laughs-declared", "larkspur", ""},
      {"external-in-text", "linux version", ""},  // an entity naming /proc/version
      {"external-declared", "larkspur", ""},
      {"not-well-formed", "larkspur", ""},
      {"giant-attribute.gz", "larkspur", ""},
      {"huge-docx.gz", "kingfisher ltd", "Invoice for Kingfisher Ltd"},  // 98 MB of XML
      {"huge-xlsx.gz", "kingfisher ltd", "Kingfisher Ltd total"},
      {"huge-docx-bad-crc.gz", "kingfisher ltd", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchFixture(c.fixture, c.query), c.line) << c.fixture;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);  // KiB: inflating the bomb whole would pass this
}

}  // namespace
}  // namespace findlark
