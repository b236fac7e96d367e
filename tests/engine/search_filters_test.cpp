#include "search/search_filters.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>

#include "search/case_fold.h"
#include "search/content_matcher.h"
#include "search/directory_walk.h"
#include "test_tree.h"
#include "test_walk.h"

namespace findlark {
namespace {

TEST(SearchFilters, SizesDurationsAndDatesAsPeopleWriteThem) {
  setenv("TZ", "UTC", 1);
  tzset();
  const struct {
    std::string text;
    std::optional<int64_t> size, duration, date;
  } rows[] = {
      {"10", 10, std::nullopt, std::nullopt},
      {"1KB", 1024, std::nullopt, std::nullopt},
      {"1.5 MB", 1572864, std::nullopt, std::nullopt},
      {"2g", 2147483648, std::nullopt, std::nullopt},
      {"10 kib", 10240, std::nullopt, std::nullopt},
      {"7 bytes", 7, std::nullopt, std::nullopt},
      {"30min", std::nullopt, 1800, std::nullopt},
      {"2h", std::nullopt, 7200, std::nullopt},
      {"3 days", std::nullopt, 259200, std::nullopt},
      {"1w", std::nullopt, 604800, std::nullopt},
      {"45s", std::nullopt, 45, std::nullopt},
      {"2026-12-07", std::nullopt, std::nullopt, 1796601600},
      {"2026-12-07 14:30", std::nullopt, std::nullopt, 1796653800},
      {"2026-12-07T14:30:05", std::nullopt, std::nullopt, 1796653805},
      {"2026-02-31", std::nullopt, std::nullopt, std::nullopt},
      {"2026-13-01", std::nullopt, std::nullopt, std::nullopt},
      {"07/12/2026", std::nullopt, std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt, std::nullopt},
      {"10 XB", std::nullopt, std::nullopt, std::nullopt},
      {"-5", std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParseSize(row.text), row.size) << row.text;
    EXPECT_EQ(ParseDuration(row.text), row.duration) << row.text;
    EXPECT_EQ(ParseDate(row.text), row.date) << row.text;
  }
  SearchFilters filters;
  filters.exclude = {".git", "src/build"};
  filters.minSize = 10 << 20;
  filters.changedBefore = 1796653800;
  filters.wholeWord = true;
  EXPECT_EQ(DescribeFilters(filters),
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

  const auto with = [](auto set) {
    SearchFilters filters;
    set(filters);
    return filters;
  };
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
       with([](SearchFilters& f) {
         f.exclude = {".GIT", "node_*", "src/build/cache", "*.o"};
       }),
       {"Report folder", "big report.bin", "huge report.bin", "report.txt", "src/reporting.c"}},
      {"a folder by name anywhere, a file by [...]",
       with([](SearchFilters& f) {
         f.exclude = {"build", "[bh]*"};
       }),
       {".git/report.txt", "Report folder", "node_modules/pkg/report.js", "report.txt",
        "src/reporting.c"}},
      {"at least 1 KB: folders have no size",
       with([](SearchFilters& f) { f.minSize = 1024; }),
       {"Report folder", "big report.bin", "huge report.bin"}},
      {"at most 1 KB",
       with([](SearchFilters& f) {
         f.maxSize = 1024;
         f.exclude = {"src", "node_modules", ".git"};
       }),
       {"Report folder", "big report.bin", "report.txt"}},
      {"changed at or after a moment, and before another",
       with([](SearchFilters& f) {
         f.changedAfter = day + 86399;
         f.changedBefore = day + 86400;
       }),
       {"huge report.bin"}},
      {"changed since: folders count too",
       with([](SearchFilters& f) { f.changedAfter = day + 86400; }),
       {"big report.bin", "src/build/cache/report.tmp"}},
      {"whole words",
       with([](SearchFilters& f) {
         f.wholeWord = true;
         f.exclude = {"build", "node_modules", ".git"};
       }),
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
