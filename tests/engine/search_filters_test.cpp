#include "search/search_filters.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "cases.h"
#include "search/case_fold.h"
#include "search/content_matcher.h"
#include "test_tree.h"

// Designated initializers name only the filters a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace findlark {
namespace {

TEST(SearchFilters, SizesDurationsAndDatesAsPeopleWriteThem) {
  setenv("TZ", "UTC", 1);
  tzset();
  for (const auto& c : testing::Cases("filter_values.tsv", 2)) {
    std::string got;
    for (const auto& [kind, value] : {std::pair{"size", ParseSize(c[0])},
                                      {"duration", ParseDuration(c[0])},
                                      {"date", ParseDate(c[0])}})
      if (value)
        got += (got.empty() ? "" : ", ") + std::string(kind) + " " + std::to_string(*value);
    EXPECT_EQ(got, c[1]) << c[0];
  }
  EXPECT_EQ(DescribeFilters({.exclude = {".git", "src/build"},
                             .minSize = 10 << 20,
                             .changedBefore = 1796653800,
                             .wholeWord = true}),
            "excluding .git, src/build; at least 10 MB; changed before 2026-12-07 14:30; "
            "whole words");
  EXPECT_EQ(DescribeFilters(SearchFilters{}), "");
}

TEST(SearchFilters, WholeWordsInNamesAndAcrossReadChunks) {
  std::string scratch;
  for (const auto& c : testing::Cases("whole_word_names.tsv", 3))
    EXPECT_EQ(QueryMatcher(c[0], true).Contains(c[1], scratch) ? "whole" : "not whole", c[2])
        << c[1];
  const QueryMatcher log("log", true);
  testing::TestTree tree;
  for (const auto& c : testing::Cases("whole_word_lines.tsv", 2)) {
    tree.Write("f.txt", c[0]);
    for (size_t chunk = 1; chunk <= 24; ++chunk)
      EXPECT_EQ(MatchContent(tree.Path("f.txt"), log, nullptr, chunk), c[1])
          << c[0] << " in chunks of " << chunk;
  }
}

}  // namespace
}  // namespace findlark
