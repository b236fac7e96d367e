// Office documents searched through their text, and hostile archives.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "cases.h"
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
  for (const auto& c : testing::Cases("documents.tsv", 3))
    EXPECT_EQ(MatchFixture(c[0], c[1], GetParam()), c[2]) << c[0] << " " << c[1];
  // Other zips, stored, are searched as bytes, as is a package with no office document in it.
  EXPECT_TRUE(MatchFixture("zip-stored", "larkspur", GetParam()).ends_with("plain larkspur notes"));
  EXPECT_NE(MatchFixture("zip-types-only", "larkspur", GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(Chunks, Documents, ::testing::Values(kReadChunk, 1, 3));

TEST(HostileDocuments, GiveNoMatchWithinBoundedMemory) {
  for (const auto& c : testing::Cases("hostile_documents.tsv", 3))
    EXPECT_EQ(MatchFixture(c[0], c[1]), c[2]) << c[0];
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 512L * 1024);  // KiB: inflating the bomb whole would pass this
}

}  // namespace
}  // namespace findlark
