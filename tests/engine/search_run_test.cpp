#include "search/search_run.h"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <latch>
#include <semaphore>
#include <set>
#include <thread>

#include "platform/background_thread.h"
#include "search/borrowed.h"
#include "search/directory_walk.h"
#include "search/hit_memory.h"
#include "search/walk_watch.h"
#include "test_tree.h"

namespace findlark {
namespace {

// Moves every queued hit to the end of `out` as records; how many (0: the worker holds them).
size_t Take(SearchRun& run, std::vector<ResultRecord>& out) {
  HitBatch batch;
  const auto took = run.TryTakeAll(batch);
  for (const HitView& hit : batch) out.push_back(hit.ToRecord());
  return took ? took->hits : 0;
}

void Found(HitSink& sink, const char* path) {
  ResultRecord hit;
  hit.path = path;
  sink.OnHit(std::move(hit));
}

std::string Paths(const HitBatch& hits) {
  std::string paths;
  for (const HitView& hit : hits) paths += hit.path;
  return paths;
}

struct SearchRunTest : ::testing::Test {
  void MakeFiles(int count) {
    for (int i = 0; i < count; ++i)
      tree.Write("sub" + std::to_string(i % 7) + "/hit" + std::to_string(i));
  }
  SearchOptions Options(const char* query = "hit") {
    return {query, kTypeFilterAll, false, tree.root()};
  }
  testing::TestTree tree;
};

TEST_F(SearchRunTest, EveryHitArrivesThroughASmallQueueAndAStopNeedsNobodyToDrainIt) {
  MakeFiles(300);
  tree.Write("other/another match");
  {
    SearchRun destroyed(1);
    destroyed.Start(Options());
  }  // mid-run, its worker blocked on a queue of one
  std::atomic<int> wakeups{0};
  SearchRun run(8);
  run.SetWakeup([&] { ++wakeups; });
  run.Start(Options());
  std::vector<ResultRecord> hits;
  while (!run.Finished()) {
    run.WaitForHits(100);
    EXPECT_LE(Take(run, hits), 8u);  // hits come in runs, cut to the room there is
  }
  run.Join();
  std::set<std::string> paths;
  for (const ResultRecord& r : hits) paths.insert(r.path);
  EXPECT_EQ(hits.size(), 300u);
  EXPECT_EQ(paths.size(), 300u);  // each once
  EXPECT_GT(wakeups.load(), 0);
  EXPECT_FALSE(run.Cancelled());
  EXPECT_EQ(ProgressText(12), "Searching... 12 found so far.");
  EXPECT_EQ(ProgressText(3, "/mnt/nas/photos"),
            "Searching... 3 found so far. Waiting for /mnt/nas/photos");

  run.Start(Options());
  // Give the worker time to fill the queue and block on it (not an assertion).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  run.RequestStop();
  run.Join();
  EXPECT_TRUE(run.WalkDone() && run.Cancelled());
  // Eight queued; then what was waiting for room, found before the stop: at most the rest of a
  // run of 64 and the hit in hand. Then the walk stops.
  EXPECT_LE(Take(run, hits), 72u);

  run.Start(Options());
  run.Join();  // without a stop nobody drains either, yet every hit is kept
  EXPECT_EQ(Take(run, hits), 300u);
  EXPECT_TRUE(run.Finished() && !run.Cancelled());

  run.Start(Options());
  run.Start(Options("another"));  // the first run is stopped and its hits dropped
  run.Join();
  hits.clear();
  ASSERT_EQ(Take(run, hits), 1u);
  EXPECT_EQ(hits[0].path, tree.Path("other/another match"));
  EXPECT_FALSE(run.Cancelled());
}

// Stands in for a walk held in the kernel by a folder that never answers: it finds one hit,
// then ignores Stop until the test lets it go, and finds one more.
struct HeldWalk {
  void operator()(HitSink& sink, const std::atomic<bool>&) {
    Found(sink, "/held/first hit");
    let.acquire();
    Found(sink, "/held/late hit");
  }
  std::binary_semaphore let{0};
};

// The window's take never waits for a worker that holds the queue: one that lost its core
// meanwhile would hold the window as long.
TEST_F(SearchRunTest, TakingEverythingNeverWaitsForAWorkerThatHoldsTheQueue) {
  std::binary_semaphore holding{0}, let{0};
  std::atomic<bool> first{true};
  SearchRun run;
  run.SetWakeup([&] {  // on the worker, which holds the queue meanwhile
    if (first.exchange(false)) {
      holding.release();
      let.acquire();
    }
  });
  SearchOptions options = Options();
  options.source = [](HitSink& sink, const std::atomic<bool>&) {
    for (const char* path : {"/h/b", "/h/a", "/h/c"}) Found(sink, path);
  };
  ASSERT_TRUE(run.Start(options));
  HitBatch hits;
  holding.acquire();
  EXPECT_FALSE(run.TryTakeAll(hits));
  let.release();
  run.Join();
  const auto taken = run.TryTakeAll(hits);
  EXPECT_TRUE(taken && taken->hits == 3 && taken->last);
  EXPECT_EQ(Paths(hits), "/h/b/h/a/h/c");

  // That take traded places with the queue; into a batch that holds hits, a take appends. Each
  // hit comes out once either way.
  options.source = [](HitSink& sink, const std::atomic<bool>&) { Found(sink, "/h/d"); };
  ASSERT_TRUE(run.Start(options));
  run.Join();
  EXPECT_TRUE(run.TryTakeAll(hits) && run.TryTakeAll(hits));
  EXPECT_EQ(Paths(hits), "/h/b/h/a/h/c/h/d");
}

// The walk runs as background work, at the niceness it was started with: waking it must not take
// the window's core, and nicing it would give it less of the machine against other programs.
TEST_F(SearchRunTest, TheWalkRunsAsBackgroundWorkAtItsOwnersNiceness) {
  if (sched_getscheduler(0) != SCHED_OTHER) GTEST_SKIP() << "started with another policy";
  const int owner = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  int policy = -1, nice = -100;
  SearchRun run;
  SearchOptions options = Options();
  options.source = [&](HitSink&, const std::atomic<bool>&) {
    policy = sched_getscheduler(0);
    nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  };
  ASSERT_TRUE(run.Start(options));
  run.Join();
  EXPECT_EQ(policy, SCHED_BATCH);
  EXPECT_EQ(nice, owner);
}

// A thread started to stay runs on one CPU alone until let go; one started to move may then run
// wherever its starter may, even when the starter itself stays on one.
TEST(CpuSpread, AThreadStaysOnOneCpuOnlyWhenAskedTo) {
  cpu_set_t starter;
  ASSERT_EQ(sched_getaffinity(0, sizeof starter, &starter), 0);
  const CpuSpread cpus;
  if (cpus.size() < 2) GTEST_SKIP() << "one CPU to run on";
  cpus.StayHere();
  for (const bool stay : {false, true}) {
    for (const size_t index : {1, 2, 7}) {
      cpu_set_t got;
      int cpu = -1;
      std::thread thread = cpus.Start(index, stay, [&] {
        sched_getaffinity(0, sizeof got, &got);
        cpu = sched_getcpu();
      });
      thread.join();
      EXPECT_EQ(CPU_COUNT(&got), stay ? 1 : CPU_COUNT(&starter)) << index;
      EXPECT_TRUE(CPU_ISSET(cpu, &got)) << index;
      if (!stay) {
        EXPECT_TRUE(CPU_EQUAL(&got, &starter)) << index;
      }
    }
  }
  cpu_set_t here;
  sched_getaffinity(0, sizeof here, &here);
  EXPECT_EQ(CPU_COUNT(&here), 1);
  cpus.LetGo(pthread_self());
  sched_getaffinity(0, sizeof here, &here);
  EXPECT_TRUE(CPU_EQUAL(&here, &starter));
}

// Every field of a hit reads back as it was packed: empty or not, short or past one length
// byte, sizes and dates of any sign, a category that fits a byte or not.
TEST(HitBatch, HitsReadBackExactly) {
  const std::string longPath = "/" + std::string(300, 'p');
  const std::string longLine(20000, 'l');
  const ResultRecord hits[] = {
      {"/a", "", "", "", "", 0, -1, 0},
      {longPath, "1 KB", "May 1, 2020", longLine, "txt", 12, 0, -5},
      {"/b", "", "", "", "", -1, int64_t{1} << 40, 1},
      {std::string(127, 'x'), "", "", "m", "", 300, -1, 0},
  };
  HitBatch batch;
  for (const ResultRecord& hit : hits) batch.AddHit(hit);
  size_t i = 0;
  for (const HitView& got : batch) {
    ASSERT_LT(i, std::size(hits));
    const ResultRecord& want = hits[i++];
    EXPECT_EQ(got.path, want.path);
    EXPECT_EQ(got.sizeText, want.sizeText);
    EXPECT_EQ(got.dateText, want.dateText);
    EXPECT_EQ(got.matchLine, want.matchLine);
    EXPECT_EQ(got.extension, want.extension);
    EXPECT_EQ(int(got.category), int(want.category));
    EXPECT_EQ(got.size, want.size);
    EXPECT_EQ(got.mtime, want.mtime);
  }
  EXPECT_EQ(i, std::size(hits));
}

// A batch's parts come out in order, hits in runs between the subtrees, also when batches and
// runs are appended and runs cut; each run knows its last hit.
TEST(HitBatch, PartsKeepTheirOrderAcrossAppendsAndCuts) {
  auto add = [](HitBatch& batch, const std::string& entries) {
    for (char c : entries) {
      if (c >= '0' && c <= '9') {
        batch.AddSubtree(reinterpret_cast<Subtree*>(uintptr_t(c - '0')));  // never followed
      } else {
        HitView hit;
        const std::string path(1, c);
        hit.path = path;
        batch.AddHit(hit);
      }
    }
  };
  auto parts = [](const HitBatch& batch) {
    std::string out;
    batch.ForEachPart(
        [&](const HitRun& run) {
          out += "[" + std::to_string(run.count) + " ";
          HitView hit;
          Subtree* inside = nullptr;
          for (HitBatch::Reader reader(run); reader.Next(hit, inside);)
            out += inside != nullptr ? std::string_view("!") : hit.path;  // runs hold hits only
          out += ":" + std::string(LastPath(run)) + "]";
        },
        [&](Subtree* inside) { out += std::to_string(reinterpret_cast<uintptr_t>(inside)); });
    return out;
  };
  HitBatch first, second, all;
  add(first, "a1bc2");
  add(second, "3d");
  add(all, "z");
  all.Append(first);
  all.Append(second);
  EXPECT_EQ(parts(all), "[2 za:a]1[2 bc:c]23[1 d:d]");

  HitBatch plain, cut;
  add(plain, "pqrst");
  HitRun run = plain.AsRun();
  cut.Append(CutRun(run, 2));
  EXPECT_EQ(parts(cut), "[2 pq:q]");
  cut.Append(run);
  EXPECT_EQ(parts(cut), "[5 pqrst:t]");
  EXPECT_EQ(run.count, 3u);
  EXPECT_EQ(LastPath(run), "t");
}

// Hit buffers given back serve the next one of their size, also once their pages went back to
// the kernel, and buffers in use never share a byte; past the pool's largest size they come
// from the heap.
TEST(HitMemory, GivenBackIsUsedAgainAndBuffersInUseNeverOverlap) {
  for (size_t bytes : {size_t{1}, size_t{4096}, size_t{4097}, size_t{3} << 20, size_t{20} << 20}) {
    SCOPED_TRACE(bytes);
    const bool pooled = HitMemoryPooled() && bytes < (size_t{20} << 20);
    auto* a = static_cast<char*>(TakeHitMemory(bytes));
    auto* b = static_cast<char*>(TakeHitMemory(bytes));
    std::fill_n(a, bytes, 'a'), std::fill_n(b, bytes, 'b');  // all of each is there to write
    EXPECT_TRUE(a + bytes <= b || b + bytes <= a);
    GiveHitMemory(a, bytes);
    ReleaseIdleMemory();
    auto* c = static_cast<char*>(TakeHitMemory(bytes));
    EXPECT_TRUE(c == a || !pooled);
    if (pooled) {
      EXPECT_EQ(std::count(c, c + bytes, 'a'), 0);  // fresh pages, not a's
    }
    for (char* given : {b, c}) GiveHitMemory(given, bytes);
  }
}

// An array growing from the heap into large pages keeps its elements, and what is mapped starts
// on a large page, where the kernel can back it with one.
TEST(HitMemory, AnArrayGrowsIntoLargePagesIntact) {
  std::vector<uint32_t, LargePageAllocator<uint32_t>> values;
  for (uint32_t i = 0; i < (3u << 20); ++i) values.push_back(i * 7);
  EXPECT_EQ(values[12345], 86415u);
  EXPECT_EQ(values.back(), 22020089u);
  const auto start = reinterpret_cast<uintptr_t>(values.data());
  EXPECT_TRUE(start % (2u << 20) == 0 || !HitMemoryPooled());
}

// A caller that has just read the mount table hands it on, and the walk goes by that table.
TEST_F(SearchRunTest, TheWalkGoesByTheMountTableItIsGiven) {
  tree.Write("kept/hit");
  tree.Write("pseudo/hit");
  MountTable mounts;
  mounts.pseudoMountPoints.insert(tree.root() + "/pseudo");
  SearchOptions options = Options();
  options.mounts = std::make_shared<const MountTable>(mounts);
  SearchRun run;
  ASSERT_TRUE(run.Start(options));
  run.Join();
  std::vector<ResultRecord> hits;
  Take(run, hits);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].path, tree.root() + "/kept/hit");
}

// A reader letting hits gather is woken once half the queue is filled, not before: with a day
// to wait, only the fifth hit of eight places ends the wait (a missing wake-up hangs until
// ctest's timeout).
TEST_F(SearchRunTest, WaitingForMoreHitsEndsWhenHalfTheQueueIsFilled) {
  std::binary_semaphore fifth{0}, done{0};
  SearchRun run(8);
  SearchOptions options = Options();
  options.source = [&](HitSink& sink, const std::atomic<bool>&) {
    for (const char* path : {"/h/1", "/h/2", "/h/3", "/h/4", "/h/5"}) {
      if (path[3] == '5') fifth.acquire();
      Found(sink, path);
    }
    done.acquire();
  };
  ASSERT_TRUE(run.Start(options));
  std::thread later([&] {
    // Time for a wait that ends too early to be seen (not an assertion).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    fifth.release();
  });
  run.WaitForMoreHits(24 * 60 * 60 * 1000);
  std::vector<ResultRecord> hits;
  EXPECT_EQ(Take(run, hits), 5u);
  later.join();
  done.release();
  run.Join();
}

TEST_F(SearchRunTest, AStoppedWalkThatDoesNotReturnIsGivenUpAndItsLateHitsDropped) {
  MakeFiles(3);
  HeldWalk held[kMaxHeldRuns + 1];
  std::atomic<int> wakeups{0};
  SearchRun run(16, std::chrono::milliseconds(20));
  run.SetWakeup([&] { ++wakeups; });
  std::vector<ResultRecord> hits;
  for (HeldWalk& walk : held) {
    SearchOptions options = Options();
    options.source = std::ref(walk);
    if (&walk == &held[kMaxHeldRuns]) {
      // Past the bound nothing starts, and the last run's hits stay to be read.
      EXPECT_FALSE(run.Start(options));
      break;
    }
    ASSERT_TRUE(run.Start(options));
    while (Take(run, hits) == 0) run.WaitForHits(100);
    run.RequestStop();
    while (!run.Finished()) run.WaitForHits(100);
    EXPECT_TRUE(run.GivenUp() && run.Cancelled());
  }
  EXPECT_EQ(SearchRun::HeldRuns(), kMaxHeldRuns);
  const int wakeupsBefore = wakeups.load();
  for (HeldWalk& walk : held) walk.let.release();
  while (SearchRun::HeldRuns() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(Take(run, hits), 0u);
  EXPECT_EQ(hits.size(), size_t{kMaxHeldRuns});
  for (const ResultRecord& hit : hits) EXPECT_EQ(hit.path, "/held/first hit");
  EXPECT_EQ(wakeups.load(), wakeupsBefore);  // a given-up run wakes nobody

  // A walk that returns within the grace time is not given up.
  ASSERT_TRUE(run.Start(Options()));
  run.Join();
  EXPECT_EQ(Take(run, hits), 3u);
  EXPECT_FALSE(run.GivenUp());
}

struct Space {
  Space() { ++made; }
  static inline std::atomic<int> made = 0;
};
thread_local Borrowed<Space, 1> t_space;

TEST(Borrowed, AThreadTakesWhatAnEndedOneGaveBackAndNoTwoShareOne) {
  Space* first = nullptr;
  std::thread([&] { first = &*t_space; }).join();
  std::thread([&] { EXPECT_EQ(&*t_space, first); }).join();
  EXPECT_EQ(Space::made, 1);
  Space* a = nullptr;
  Space* b = nullptr;
  std::latch both(2);
  std::thread ta([&] {
    a = &*t_space;
    both.arrive_and_wait();
  });
  std::thread tb([&] {
    b = &*t_space;
    both.arrive_and_wait();
  });
  ta.join();
  tb.join();
  EXPECT_NE(a, b);
  EXPECT_EQ(Space::made, 2);
}

TEST(WalkWatch, NamesTheDeepestPlaceWhereAThreadStaysTooLong) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point t0{};
  const auto patience = std::chrono::seconds(2);
  WalkWatch watch;
  WalkWatch::Slot* walker = watch.Acquire();
  WalkWatch::Slot* helper = watch.Acquire();
  walker->At("/mnt");
  helper->At("/mnt/nas/photos");
  EXPECT_EQ(watch.Stalled(t0, patience), "");
  EXPECT_EQ(watch.Stalled(t0 + std::chrono::milliseconds(1999), patience), "");
  EXPECT_EQ(watch.Stalled(t0 + patience, patience), "/mnt/nas/photos");
  helper->Beat();  // it answered
  EXPECT_EQ(watch.Stalled(t0 + std::chrono::seconds(3), patience), "/mnt");
  walker->SetWaiting(true);  // for the helper's work, which is watched on its own
  EXPECT_EQ(watch.Stalled(t0 + std::chrono::seconds(6), patience), "/mnt/nas/photos");
  watch.Release(helper);
  EXPECT_EQ(watch.Stalled(t0 + std::chrono::seconds(9), patience), "");
  walker->SetWaiting(false);
  EXPECT_EQ(watch.Stalled(t0 + std::chrono::seconds(10), patience), "");
  EXPECT_EQ(watch.Stalled(t0 + std::chrono::seconds(12), patience), "/mnt");
}

}  // namespace
}  // namespace findlark
