#include "search/search_filters.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "cases.h"

// Designated initializers name only the filters a case sets.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace findlark {
namespace {

TEST(SearchFilters, SizesDurationsAndDatesAsPeopleWriteThem) {
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

}  // namespace
}  // namespace findlark
