#include "search/search_filters.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <set>

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
  // Each line: a text, a tab, and what the size, duration and date parsers make of it.
  std::ifstream table(FINDLARK_GOLDEN_DIR "/filter_values.tsv");
  int rows = 0;
  for (std::string text, parsed; std::getline(table, text, '\t') && std::getline(table, parsed);) {
    std::string got;
    for (const auto& [kind, value] : {std::pair{"size", ParseSize(text)},
                                      {"duration", ParseDuration(text)},
                                      {"date", ParseDate(text)}})
      if (value)
        got += (got.empty() ? "" : ", ") + std::string(kind) + " " + std::to_string(*value);
    EXPECT_EQ(got, parsed) << text;
    ++rows;
  }
  EXPECT_EQ(rows, 20);
  EXPECT_EQ(DescribeFilters({.exclude = {".git", "src/build"},
                             .minSize = 10 << 20,
                             .changedBefore = 1796653800,
                             .wholeWord = true}),
            "excluding .git, src/build; at least 10 MB; changed before 2026-12-07 14:30; "
            "whole words");
  EXPECT_EQ(DescribeFilters(SearchFilters{}), "");
}

TEST(SearchFilters, WholeWordsInNamesAndAcrossReadChunks) {
  const struct {
    const char* query;
    const char* text;
    bool whole;
  } names[] = {
      {"log", "log.txt", true},   {"log", "Log file.md", true},   {"log", "my_log.txt", true},
      {"log", "log-é.txt", true}, {"log", "catalog.txt", false},  {"log", "log2.txt", false},
      {"log", "élog.txt", false}, {"log", "dialogue.txt", false}, {"log", "blog log", true},
      {"ßa", "xẞa", false},  // ẞ is a byte longer than the ß it folds to
      {"ßa", "-ẞa", true},
  };
  std::string scratch;
  for (const auto& c : names) {
    EXPECT_EQ(QueryMatcher(c.query, true).Contains(c.text, scratch), c.whole) << c.text;
  }

  const QueryMatcher log("log", true);
  testing::TestTree tree;
  const std::pair<const char*, const char*> files[] = {
      {"catalog blog\nlogs and blogs\nthe end: log.\n", "the end: log."},
      {"catalog\nlog", "log"},
      // Read in some chunk sizes, "log" starts a tail carried from inside the line.
      {"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxlog--------------------", ""},
      {"logx\nxlog\n", ""},
  };
  for (const auto& [text, line] : files) {
    tree.Write("f.txt", text);
    for (size_t chunk = 1; chunk <= 24; ++chunk) {
      EXPECT_EQ(MatchContent(tree.Path("f.txt"), log, nullptr, chunk), line)
          << text << " in chunks of " << chunk;
    }
  }
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

  const struct {
    const char* what;
    SearchFilters filters;
    std::vector<std::string> hits;
  } rows[] = {
      {"nothing set",
       {},
       {".git/report.txt", "Report folder", "big report.bin", "huge report.bin",
        "node_modules/pkg/report.js", "report.txt", "src/build/cache/report.tmp",
        "src/build/report.o", "src/reporting.c"}},
      {"names and a path",
       {.exclude = {".GIT", "node_*", "src/build/cache", "*.o"}},
       {"Report folder", "big report.bin", "huge report.bin", "report.txt", "src/reporting.c"}},
      {"a folder by name anywhere, a file by [...]",
       {.exclude = {"build", "[bh]*"}},
       {".git/report.txt", "Report folder", "node_modules/pkg/report.js", "report.txt",
        "src/reporting.c"}},
      {"at least 1 KB: folders have no size",
       {.minSize = 1024},
       {"Report folder", "big report.bin", "huge report.bin"}},
      {"at most 1 KB",
       {.exclude = {"src", "node_modules", ".git"}, .maxSize = 1024},
       {"Report folder", "big report.bin", "report.txt"}},
      {"changed at or after a moment, and before another",
       {.changedAfter = day + 86399, .changedBefore = day + 86400},
       {"huge report.bin"}},
      {"changed since: folders count too",
       {.changedAfter = day + 86400},
       {"big report.bin", "src/build/cache/report.tmp"}},
      {"whole words",
       {.exclude = {"build", "node_modules", ".git"}, .wholeWord = true},
       {"Report folder", "big report.bin", "huge report.bin", "report.txt"}},
  };
  tree.Stamp("src/build/cache/report.tmp", day + 90000);
  for (const auto& row : rows) {
    for (int threads : {1, 2}) {
      EXPECT_EQ(Walk(tree, row.filters, threads), row.hits) << row.what << ", threads " << threads;
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
