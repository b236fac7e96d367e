#include "search/search_filters.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>
#include <sstream>

#include "cases.h"
#include "search/case_fold.h"
#include "search/content_matcher.h"
#include "search/directory_walk.h"
#include "test_tree.h"
#include "test_walk.h"

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

// Filters from words such as "exclude=a,b min=10 whole".
SearchFilters Filters(const std::string& spec) {
  SearchFilters f;
  std::istringstream words(spec);
  for (std::string word; words >> word;) {
    const size_t eq = word.find('=');
    const std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    if (word == "whole") {
      f.wholeWord = true;
    } else if (key == "exclude") {
      std::istringstream patterns(value);
      for (std::string p; std::getline(patterns, p, ',');) f.exclude.push_back(p);
    } else {
      (key == "min"     ? f.minSize
       : key == "max"   ? f.maxSize
       : key == "after" ? f.changedAfter
                        : f.changedBefore) = std::stoll(value);
    }
  }
  return f;
}

// The hits' paths below the root, sorted.
std::vector<std::string> Walk(const testing::TestTree& tree, const SearchFilters& filters,
                              int threads, bool contents = false) {
  testing::Walk walk("report", contents, filters.wholeWord);
  walk.options.filters = &filters;
  walk.options.threads = threads;
  return walk.Run(tree.root());
}

TEST(SearchFilters, EachFilterAndTheirCombinationsInAWalk) {
  testing::TestTree tree;
  const time_t day = 1700000000;
  tree.Write("report.txt", "12345", day);
  tree.Write("big report.bin", std::string(1024, 'x'), day + 86400);
  tree.Write("huge report.bin", std::string(1025, 'x'), day + 86399);
  for (const char* file : {".git/report.txt", "node_modules/pkg/report.js", "src/build/report.o",
                           "src/build/cache/report.tmp", "src/reporting.c", "Report folder/"}) {
    tree.Build({file});
    tree.Stamp(file, day);
  }
  tree.Write("notes.txt", "the report is late\n", day);

  tree.Stamp("src/build/cache/report.tmp", day + 90000);
  for (const auto& row : testing::Cases("filter_walks.tsv", 3)) {
    for (int threads : {1, 2}) {
      std::string hits;
      for (const std::string& hit : Walk(tree, Filters(row[1]), threads))
        hits += (hits.empty() ? "" : ", ") + hit;
      EXPECT_EQ(hits, row[2]) << row[0] << ", threads " << threads;
    }
  }
  // Size before contents: a file too small is never read.
  SearchFilters small;
  small.minSize = 100;
  small.exclude = {"*.bin", "src", "node_modules", ".git", "Report*"};
  EXPECT_EQ(Walk(tree, small, 1, true), std::vector<std::string>{});
  small.minSize = 10;
  EXPECT_EQ(Walk(tree, small, 1, true), std::vector<std::string>{"notes.txt"});
}

}  // namespace
}  // namespace findlark
