// Merges on the helper thread while the owner goes on appending, as the window does.
#include "results/leaf_merger.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <random>
#include <semaphore>
#include <thread>

#include "results/search_results.h"

namespace findlark {
namespace {

ResultRecord Hit(uint32_t n, FileCategory category) {
  const std::string name = std::to_string(n * 2654435761u % 5000);
  return {"/m/" + std::to_string(n % 977) + "/Name" + name + ".x", "1 KB", "", "", "x", category};
}

std::vector<uint32_t> Leaves(const ResultsTree& tree, FileCategory c) {
  std::vector<uint32_t> out;
  for (size_t row = 0; row < tree.ChildCount(c); ++row) out.push_back(tree.ChildData(c, row));
  return out;
}

TEST(LeafMerger, MergesWhileTheOwnerAppendsAndMatchesOneMerge) {
  SearchResults async, sync;
  async.ResetResults();
  sync.ResetResults();
  LeafMerger merger;
  std::counting_semaphore<> done(0);  // released by the merger's callback, on its thread
  std::mt19937 rng(3);
  uint32_t next = 0;
  auto append = [&](uint32_t count) {
    std::vector<ResultRecord> batch;
    for (uint32_t i = 0; i < count; ++i, ++next) batch.push_back(Hit(next, rng() % 4));
    async.AppendHits(batch);
    sync.RecordHits(batch);
  };
  append(1000);
  for (int round = 0; round < 30; ++round) {
    merger.Start(async.PlanMerge(), [&] { done.release(); });
    append(1 + rng() % 20000);  // the store grows, in new chunks, while the helper reads it
    done.acquire();
    auto merge = merger.Take();
    ASSERT_TRUE(merge);
    EXPECT_FALSE(merger.Take());  // taken once
    const size_t stored = async.store.size();
    merger.Dispose(std::make_shared<LeafLists>(async.ApplyMerge(*merge)));
    // Counted up to the merge's last record, not to what was stored meanwhile.
    ASSERT_EQ(async.Appended(), stored - merge->last);
  }
  async.RecordAppended();
  for (FileCategory c = 0; c < 4; ++c) ASSERT_EQ(Leaves(async.tree, c), Leaves(sync.tree, c)) << c;

  // Abandoned, a merge is not waited for and leaves nothing to take; the store it reads may be
  // handed over at once, and the next run's merge gives only its own leaves. (What a merge
  // touched, and the labels, are in the window's model tests.)
  for (int round = 0; round < 20; ++round) {
    merger.Start(async.PlanMerge(), [&] { done.release(); });
    if (round % 2) std::this_thread::yield();
    auto old = std::make_shared<SearchResults>(std::move(async));  // as a new search does
    merger.Abandon();
    merger.Dispose(std::move(old));
    async.ResetResults();
    async.store.Append(Hit(round, kMusic));
    merger.Start(async.PlanMerge(), [&] { done.release(); });
    std::optional<LeafMerge> merge;
    while (!(merge = merger.Take())) done.acquire();
    async.ApplyMerge(*merge);
    EXPECT_EQ(async.foundCount, 1);
    // Enough records for the next round's merge to be under way when it is abandoned.
    for (uint32_t i = 1; i < 30000; ++i) async.store.Append(Hit(i, i % 4));
  }
  merger.Cancel();
  EXPECT_FALSE(merger.Busy());
}

// Merges are background work: five steps nicer than their owner, and waking the helper does not
// take the owner's core.
TEST(LeafMerger, TheHelperRunsAsBackgroundWork) {
  const int owner = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  if (owner > 14) GTEST_SKIP() << "already at nice " << owner;
  if (sched_getscheduler(0) != SCHED_OTHER) GTEST_SKIP() << "started with another policy";
  SearchResults results;
  results.ResetResults();
  results.store.Append(Hit(1, kMusic));
  LeafMerger merger;
  std::binary_semaphore done(0);
  int helper = owner;
  int policy = -1;
  merger.Start(results.PlanMerge(), [&] {
    helper = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    policy = sched_getscheduler(0);
    done.release();
  });
  done.acquire();
  EXPECT_EQ(helper - owner, 5);
  EXPECT_EQ(policy, SCHED_BATCH);
}

}  // namespace
}  // namespace findlark
