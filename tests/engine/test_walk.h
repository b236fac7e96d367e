#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cases.h"
#include "search/directory_walk.h"

namespace findlark::testing {

// Descriptors ("fd") or threads ("task") this process has.
inline size_t Now(const char* what) {
  const std::filesystem::path dir = std::filesystem::path("/proc/self") / what;
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// Threads a Walk uses unless told otherwise; the walk tests run once for each count.
inline int g_walkThreads = 1;

struct Walk : HitSink {
  explicit Walk(std::string query, bool contents = false, bool wholeWord = false)
      : matcher(std::move(query), wholeWord) {
    options.query = &matcher;
    options.searchContents = contents;
    options.threads = g_walkThreads;
  }
  void OnHit(ResultRecord&& record) override {
    hits.push_back(std::move(record));
    if (after) after();
  }
  // With `runs`, hits also come in packed runs, as a search's queue takes them.
  bool TakesRuns() const override { return runs; }
  void OnHits(const HitRun& run) override {
    ResultRecord hit;
    Subtree* inside = nullptr;
    for (HitBatch::Reader reader(run); reader.Next(hit, inside);) {
      EXPECT_EQ(inside, nullptr);
      OnHit(std::move(hit));
    }
  }
  // The hits' paths below `root`, sorted; a path found twice, or outside the root, fails.
  std::vector<std::string> Run(std::string root) {
    SearchFolder(root, options, *this);
    while (root.ends_with('/')) root.pop_back();
    std::vector<std::string> paths;
    for (const ResultRecord& r : hits) {
      EXPECT_TRUE(r.path.starts_with(root + "/")) << r.path;
      EXPECT_TRUE(byPath.emplace(r.path.substr(root.size() + 1), r).second) << r.path;
    }
    for (const auto& [path, record] : byPath) paths.push_back(path);
    return paths;
  }
  // After Run: each hit below the root as "path|extension|category|size|date|line", by path.
  std::vector<std::string> Rows() const {
    std::vector<std::string> rows;
    for (const auto& [path, r] : byPath) {
      rows.push_back(path + "|" + r.extension + "|" + CategoryName(r.category) + "|" + r.sizeText +
                     "|" + r.dateText + "|" + r.matchLine);
    }
    return rows;
  }
  // After Run: each hit as "path|extension|category|size|date|line" in the order found; without
  // `details` the size and date are left out, as a walk that does not look them up gives them.
  std::vector<std::string> InOrder(bool details = true) const {
    std::vector<std::string> out;
    for (const ResultRecord& r : hits) {
      out.push_back(r.path + "|" + r.extension + "|" + std::to_string(r.category) + "|" +
                    (details ? r.sizeText + "|" + r.dateText : "|") + "|" + r.matchLine);
    }
    return out;
  }
  // Sets the stop flag as the n-th hit arrives, as the Stop button would.
  void StopAt(size_t n) {
    options.stop = &stop;
    after = [this, n] {
      if (hits.size() == n) stop = true;
    };
  }
  QueryMatcher matcher;
  WalkOptions options;
  std::vector<ResultRecord> hits;
  std::map<std::string, ResultRecord> byPath;
  std::function<void()> after;
  std::atomic<bool> stop{false};
  bool runs = false;
};

}  // namespace findlark::testing
