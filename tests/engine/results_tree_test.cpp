#include "results/results_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "hit_records.h"

namespace findlark {
namespace {

using testing::Hit;

std::vector<uint32_t> Leaves(const ResultsTree& tree, FileCategory c) {
  std::vector<uint32_t> out;
  for (auto leaf = tree.FirstChild(TreeItem{c, -1}); leaf; leaf = tree.NextSibling(*leaf)) {
    out.push_back(static_cast<uint32_t>(tree.ItemData(*leaf)));
  }
  return out;
}

TEST(LabelLess, FoldsAsciiOnlyThenBreaksTiesByBytes) {
  EXPECT_TRUE(LabelLess("apple", "Banana"));
  EXPECT_TRUE(LabelLess("Plan", "plan") && !LabelLess("plan", "Plan"));
  EXPECT_FALSE(LabelLess("plan", "plan"));
  EXPECT_TRUE(LabelLess("_", "Z") && !LabelLess("Z", "_"));  // compared as 'z', above '_'
  EXPECT_TRUE(LabelLess("zebra", "\xC3\x89t\xC3\xA9"));      // only ASCII letters fold
}

TEST(SearchResults, LeavesSortByLabelAndKeepTheirRecordIndex) {
  SearchResults r;
  r.ResetResults();
  std::vector<ResultRecord> first = {Hit("/m/Song.mp3", kMusic), Hit("/m/b/song.mp3", kMusic),
                                     Hit("/d/Plan.doc", kDocuments)};
  r.RecordHits(first);
  std::vector<ResultRecord> second = {Hit("/m/abba.mp3", kMusic), Hit("/m/c/song.mp3", kMusic)};
  ResultsTree::RowLists rows;
  r.RecordHits(second, &rows);

  EXPECT_EQ(r.foundCount, 5);
  EXPECT_EQ(r.tree.NodeLabel(kMusic), "Music (4)");
  EXPECT_EQ(r.tree.ItemText({kMusic, 0}, r.store), "abba");
  // Found last, shown first; equal labels stay in found order across batches.
  EXPECT_EQ(Leaves(r.tree, kMusic), (std::vector<uint32_t>{3, 0, 1, 4}));
  EXPECT_EQ(rows[kMusic], (std::vector<uint32_t>{0, 3}));
  EXPECT_TRUE(rows[kDocuments].empty());
  EXPECT_TRUE(r.RefersToRecord(0) && r.RefersToRecord(4));
  EXPECT_FALSE(r.RefersToRecord(5) || r.RefersToRecord(kNodeData));

  r.ResetResults();
  EXPECT_EQ(r.store.size(), 0u);
  EXPECT_EQ(r.tree.NodeLabel(kMusic), "Music (0)");
}

// Merged batches must give what one stable sort of everything in found order gives.
TEST(ResultsTree, RandomBatchesMatchAStableSort) {
  std::mt19937 rng(7);
  const char* names[] = {"a", "A", "b", "readme", "README", "Readme", "zz", "", "m.tar", "m"};
  SearchResults r;
  r.ResetResults();
  for (int round = 0; round < 200; ++round) {
    std::vector<ResultRecord> batch(rng() % 40);
    for (auto& hit : batch) hit = Hit("/x/" + std::string(names[rng() % 10]) + ".e", rng() % 3);
    ResultsTree::RowLists rows;
    r.RecordHits(batch, &rows);
    for (FileCategory c = 0; c < 3; ++c) {
      for (uint32_t row : rows[c])
        EXPECT_GE(r.tree.ChildData(c, row), r.store.size() - batch.size());
    }
  }
  for (FileCategory c = 0; c < 3; ++c) {
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < r.store.size(); ++i) {
      if (r.store.View(i).category == c) expected.push_back(i);
    }
    std::stable_sort(expected.begin(), expected.end(), [&](uint32_t a, uint32_t b) {
      return LabelLess(r.store.View(a).Title(), r.store.View(b).Title());
    });
    EXPECT_EQ(Leaves(r.tree, c), expected) << c;
  }
}

TEST(ResultsTree, AMillionHitsInOneCategoryInBatches) {
  constexpr uint32_t kHits = 1000000, kLabels = 50000;
  // Scattered labels, many duplicates, long shared prefixes ("IMG_1234" starts eleven labels).
  auto keyOf = [](uint32_t i) { return (i * 2654435761u) % kLabels; };
  std::vector<std::string> labels(kLabels);
  for (uint32_t k = 0; k < kLabels; ++k) labels[k] = "IMG_" + std::to_string(k);
  SearchResults r;
  r.ResetResults();
  size_t pathBytes = 0;
  std::vector<ResultRecord> batch;
  for (uint32_t i = 0; i < kHits; ++i) {
    batch.push_back(Hit("/d/" + std::to_string(i % 97) + "/" + labels[keyOf(i)] + ".x", kOther));
    pathBytes += batch.back().path.size();
    if (batch.size() == 4000 || i + 1 == kHits) {
      r.RecordHits(batch);
      batch.clear();
    }
  }
  ASSERT_EQ(r.tree.NodeLabel(kOther), "Other (1000000)");
  std::vector<bool> seen(kHits);
  for (size_t row = 0; row < kHits; ++row) {
    const uint32_t d = r.tree.ChildData(kOther, row);
    ASSERT_FALSE(seen[d]);
    seen[d] = true;
    if (row == 0) continue;
    const uint32_t prev = r.tree.ChildData(kOther, row - 1);
    const std::string &a = labels[keyOf(prev)], &b = labels[keyOf(d)];
    ASSERT_TRUE(LabelLess(a, b) || (a == b && prev < d)) << row;
  }
  const size_t overhead = r.store.BytesReserved() + r.tree.BytesReserved() - pathBytes;
  EXPECT_LT(overhead / kHits, 200u);
}

}  // namespace
}  // namespace findlark
