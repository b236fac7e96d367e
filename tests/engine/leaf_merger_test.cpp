// Merges on the helper thread while the owner goes on appending, as the window does.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "results/results_tree.h"

namespace findlark {
namespace {

ResultRecord Hit(uint32_t n, FileCategory category) {
  const std::string name = std::to_string(n * 2654435761u % 5000);
  return {"/m/" + std::to_string(n % 977) + "/Name" + name + ".x", "1 KB", "", "", "x", category};
}

// Set by the merger's callback on its thread, waited for and cleared on the owner's.
struct Done {
  std::atomic<bool> flag{false};
  void Signal() {
    flag = true;
    flag.notify_all();
  }
  void Wait() {
    flag.wait(false);
    flag = false;
  }
};

TEST(LeafMerger, MergesWhileTheOwnerAppendsAndMatchesOneMerge) {
  SearchResults async, sync;
  async.ResetResults();
  sync.ResetResults();
  LeafMerger merger;
  Done done;
  std::mt19937 rng(3);
  uint32_t next = 0;
  auto append = [&](uint32_t count) {
    std::vector<ResultRecord> batch;
    for (uint32_t i = 0; i < count; ++i, ++next) batch.push_back(Hit(next, rng() % 4));
    for (const ResultRecord& r : batch) async.store.Append(r);
    sync.RecordHits(batch);
  };
  append(1000);
  for (int round = 0; round < 30; ++round) {
    const auto first = static_cast<uint32_t>(async.foundCount);
    merger.Start(
        async.tree.PlanMerge(async.store, first, static_cast<uint32_t>(async.store.size())),
        [&] { done.Signal(); });
    append(1 + rng() % 20000);  // the store grows, in new chunks, while the helper reads it
    done.Wait();
    auto merge = merger.Take();
    ASSERT_TRUE(merge);
    EXPECT_FALSE(merger.Take());  // taken once
    async.tree.ApplyMerge(*merge);
    async.foundCount = static_cast<int>(merge->last);
    merger.Dispose(std::make_shared<LeafLists>(std::move(merge->lists)));
  }
  async.tree.InsertLeaves(async.store, static_cast<uint32_t>(async.foundCount));
  for (FileCategory c = 0; c < 4; ++c) {
    ASSERT_EQ(async.tree.ChildCount(c), sync.tree.ChildCount(c));
    for (size_t row = 0; row < sync.tree.ChildCount(c); ++row)
      ASSERT_EQ(async.tree.ChildData(c, row), sync.tree.ChildData(c, row)) << c << " " << row;
  }

  // Abandoned, a merge is not waited for and leaves nothing to take; the store it reads may be
  // handed over at once, and the next run's merge gives only its own leaves.
  for (int round = 0; round < 20; ++round) {
    // Planned on the live store, which is then moved away and reused, as a new search does.
    merger.Start(async.tree.PlanMerge(async.store, 0, static_cast<uint32_t>(async.store.size())),
                 [&] { done.Signal(); });
    if (round % 2) std::this_thread::yield();
    auto old = std::make_shared<SearchResults>(std::move(async));
    merger.Abandon();
    merger.Dispose(std::move(old));
    async.ResetResults();
    async.store.Append(Hit(round, kMusic));
    merger.Start(async.tree.PlanMerge(async.store, 0, 1), [&] { done.Signal(); });
    std::optional<LeafMerge> merge;
    while (!(merge = merger.Take())) done.Wait();
    EXPECT_EQ(merge->last, 1u);
    EXPECT_TRUE(merge->touched[kMusic] && !merge->touched[kDocuments]);
    async.tree.ApplyMerge(*merge);
    EXPECT_EQ(async.tree.NodeLabel(kMusic), "Music (1)");
    // Enough records for the next round's merge to be under way when it is abandoned.
    for (uint32_t i = 1; i < 30000; ++i) async.store.Append(Hit(i, i % 4));
  }
  merger.Cancel();
  EXPECT_FALSE(merger.Busy());
}

}  // namespace
}  // namespace findlark
