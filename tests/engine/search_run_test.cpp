#include "search/search_run.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "test_tree.h"

namespace findlark {
namespace {

using testing::TestTree;

void MakeFiles(const TestTree& tree, int count) {
  for (int i = 0; i < count; ++i)
    tree.Write("sub" + std::to_string(i % 7) + "/hit" + std::to_string(i), "");
}

SearchOptions Options(const TestTree& tree, const char* query = "hit") {
  SearchOptions options;
  options.queryLower = query;
  options.folder = tree.root();
  return options;
}

std::vector<ResultRecord> DrainAll(SearchRun& run) {
  std::vector<ResultRecord> hits;
  while (!run.Finished()) {
    run.WaitForHits(100);
    run.TakeHits(hits, 5);
  }
  return hits;
}

TEST(SearchRun, EveryHitArrivesThroughASmallQueue) {
  TestTree tree;
  MakeFiles(tree, 300);
  std::atomic<int> wakeups{0};
  SearchRun run(8);
  run.SetWakeup([&] { ++wakeups; });
  run.Start(Options(tree));
  const std::vector<ResultRecord> hits = DrainAll(run);
  run.Join();
  std::set<std::string> paths;
  for (const ResultRecord& r : hits) paths.insert(r.path);
  EXPECT_EQ(paths.size(), 300u);
  EXPECT_EQ(hits.size(), 300u);
  EXPECT_FALSE(run.Cancelled());
  EXPECT_GT(wakeups.load(), 0);
  EXPECT_EQ(FinalStatusText(run.Cancelled(), static_cast<int>(hits.size())),
            "Search complete. 300 found.");
}

TEST(SearchRun, StopWhileTheQueueIsFullAndNobodyDrains) {
  TestTree tree;
  MakeFiles(tree, 100);
  SearchRun run(4);
  run.Start(Options(tree));
  // Give the worker time to fill the queue of four and block on it (not an assertion).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  run.RequestStop();
  run.Join();
  EXPECT_TRUE(run.WalkDone());
  EXPECT_TRUE(run.Cancelled());
  EXPECT_EQ(FinalStatusText(true, 7), "Search cancelled. 7 found.");
  EXPECT_EQ(ProgressText(12), "Searching... 12 found so far.");
  std::vector<ResultRecord> hits;
  run.TakeHits(hits, 1000);
  // Four queued, at most one more that was waiting for room, then the walk stops.
  EXPECT_LE(hits.size(), 5u);
}

TEST(SearchRun, JoinWithoutStopKeepsEveryHit) {
  TestTree tree;
  MakeFiles(tree, 60);
  SearchRun run(2);
  run.Start(Options(tree));
  run.Join();  // nobody drains: the worker must not wait forever
  std::vector<ResultRecord> hits;
  EXPECT_EQ(run.TakeHits(hits, 1000), 60u);
  EXPECT_TRUE(run.Finished());
  EXPECT_FALSE(run.Cancelled());
}

TEST(SearchRun, RestartAndDestroyAtAnyMoment) {
  TestTree tree;
  MakeFiles(tree, 50);
  tree.Write("other/another match", "");
  {
    SearchRun run(1);
    run.Start(Options(tree));
  }  // destroyed mid-run, worker blocked on a queue of one
  SearchRun run(1);
  run.Start(Options(tree));
  run.Start(Options(tree, "another"));  // the first run is stopped and its hits dropped
  const std::vector<ResultRecord> hits = DrainAll(run);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].path, tree.Path("other/another match"));
  EXPECT_FALSE(run.Cancelled());
}

TEST(SearchRun, MissingFolderCompletesWithNothing) {
  TestTree tree;
  SearchRun run;
  SearchOptions options = Options(tree);
  options.folder = tree.Path("gone");
  run.Start(options);
  EXPECT_TRUE(DrainAll(run).empty());
  EXPECT_FALSE(run.Cancelled());
}

}  // namespace
}  // namespace findlark
