#include "search/directory_walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <new>
#include <semaphore>
#include <set>
#include <thread>

#include "platform/drives.h"
#include "search/subtree_sharing.h"
#include "test_tree.h"
#include "test_walk.h"

namespace findlark {
namespace {

using testing::g_walkThreads;
using testing::Walk;

// Descriptors ("fd") or threads ("task") this process has.
size_t Now(const char* what) {
  const std::filesystem::path dir = std::filesystem::path("/proc/self") / what;
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(dir), {}));
}

// Every case here must give the same hits in the same order on one thread and with helpers.
struct DirectoryWalk : ::testing::TestWithParam<int> {
  void SetUp() override {
    g_walkThreads = GetParam();
    setenv("TZ", "UTC", 1);  // date texts are local
    tzset();
  }
  void TearDown() override { g_walkThreads = 1; }
};
INSTANTIATE_TEST_SUITE_P(Threads, DirectoryWalk, ::testing::Values(1, 2));

TEST_P(DirectoryWalk, NamesFieldsAndOrder) {
  testing::TestTree tree;
  tree.Write("Annual Report.DOC", "12345", 1700000000);
  tree.Build({"REPORTS/q1 Report.txt", "REPORTS/sub/report.c", "Shortcut report.lnk",
              "Home report.URL", "odd \xFF report\nname.TXT", "locked/report.txt",
              "unrelated.txt=report inside", "fifo report|", "folder report.lnk/",
              "proc/report.txt"});
  chmod(tree.Path("locked").c_str(), 0);
  const std::unordered_set<std::string> pruned = {tree.Path("proc")};
  Walk walk("report");
  walk.options.pruned = &pruned;
  std::vector<std::string> expected = {"Annual Report.DOC|doc|0|5 bytes|",
                                       "REPORTS||9||",
                                       "REPORTS/q1 Report.txt|txt|0|5 bytes|",
                                       "REPORTS/sub/report.c|c|11|5 bytes|",
                                       "fifo report||12|0 bytes|",
                                       "folder report.lnk|lnk|9||",
                                       "odd \xFF report\nname.TXT|txt|0|5 bytes|"};
  if (geteuid() == 0) expected.insert(expected.end() - 1, "locked/report.txt|txt|0|5 bytes|");
  walk.Run(tree.root() + "//");  // the root's slashes never double up
  EXPECT_EQ(walk.Rows(), expected);
  EXPECT_EQ(walk.byPath.at("Annual Report.DOC").dateText, "November 14, 2023");

  // Without size and date texts the same hits come in the same order, and only those texts go.
  Walk bare("report");
  bare.options.pruned = &pruned;
  bare.options.details = false;
  bare.Run(tree.root());
  EXPECT_EQ(bare.InOrder(), walk.InOrder(false));
}

// Only regular files are read, and not for a name hit; links are entries, never descended.
TEST_P(DirectoryWalk, ContentsAndLinks) {
  testing::TestTree tree;
  tree.Build(
      {"a.txt=one\nthe Needle here\r\n", "needle.txt=needle on its first line\n",
       "Shortcut.lnk=needle\n", "a.pdf=needle\n", "pics/needle.png=", "pics/inside.txt=needle\n",
       "pipe.txt|" /* would hang the walk if opened */, "needle folder/",
       "target/inner.txt=hello\n", "file.txt=the needle line\n", "needle dir.txt->target",
       "needle loop->.", "to file->file.txt", "needle dangling.c->nowhere", "needle.lnk->target"});
  Walk walk("needle", true);
  walk.Run(tree.root());
  EXPECT_EQ(
      walk.Rows(),
      (std::vector<std::string>{
          "a.txt|txt|0|21 bytes|the Needle here", "file.txt|txt|0|16 bytes|the needle line",
          "needle dangling.c|c|11|7 bytes|",  // the link's own size
          "needle dir.txt|txt|9||", "needle folder||9||", "needle loop||9||", "needle.lnk|lnk|9||",
          "needle.txt|txt|0|25 bytes|",  // found by name: never opened
          "pics/inside.txt|txt|0|7 bytes|needle", "pics/needle.png|png|1|0 bytes|",
          "to file||12|16 bytes|the needle line",  // the target's size
      }));

  // The root is followed when it is a link, and is never a hit itself.
  Walk viaLink("e");
  EXPECT_EQ(viaLink.Run(tree.Path("needle dir.txt")), std::vector<std::string>{"inner.txt"});
  EXPECT_TRUE(Walk("e").Run(tree.Path("gone")).empty());
}

TEST_P(DirectoryWalk, DeepTreeNeedsFewDescriptors) {
  testing::TestTree tree;
  constexpr int kDepth = 5000;  // far past PATH_MAX
  int fd = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(mkdirat(fd, "d", 0755), 0);
    const int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  close(fd);
  rlimit old{};
  getrlimit(RLIMIT_NOFILE, &old);
  rlimit tight = old;
  tight.rlim_cur = std::min<rlim_t>(old.rlim_cur, 256);
  setrlimit(RLIMIT_NOFILE, &tight);
  const size_t before = Now("fd");
  Walk walk("d");
  walk.Run(tree.root());
  const size_t after = Now("fd");
  setrlimit(RLIMIT_NOFILE, &old);

  ASSERT_EQ(walk.hits.size(), static_cast<size_t>(kDepth));
  EXPECT_EQ(before, after);
  EXPECT_EQ(walk.hits.back().path, tree.Path("d"));
  EXPECT_EQ(walk.hits.front().path.size(), tree.root().size() + 2 * kDepth);
}

TEST_P(DirectoryWalk, StopFinishesTheCurrentPathOnly) {
  testing::TestTree tree;
  tree.Write("q1/q2/q3/qa");
  tree.Write("q1/q2/q3/qb");

  Walk walk("q");
  walk.StopAt(1);
  walk.Run(tree.root());
  // The first file hit stops the walk; each folder on the way out is still matched.
  std::vector<std::string> order;
  for (const ResultRecord& r : walk.hits) order.push_back(r.path.substr(tree.root().size()));
  ASSERT_EQ(order.size(), 4u);
  EXPECT_TRUE(order[0] == "/q1/q2/q3/qa" || order[0] == "/q1/q2/q3/qb") << order[0];
  EXPECT_EQ(std::vector(order.begin() + 1, order.end()),
            (std::vector<std::string>{"/q1/q2/q3", "/q1/q2", "/q1"}));

  Walk early("q");  // set before the start: nothing at all
  early.options.stop = &walk.stop;
  EXPECT_TRUE(early.Run(tree.root()).empty());
}

// Many files read for their contents, some matching, in folders shallow and deep (past the
// depth where folders give up their descriptor), with links, pipes and name hits among them.
void WriteContentTree(const testing::TestTree& tree) {
  tree.Mkfifo("pipe.txt");  // would hang a search that opened it
  tree.Mkfifo("needle pipe");
  std::string deep = "deep";
  for (int level = 0; level < 70; ++level) {
    if (level % 9 == 0) {
      tree.Write(deep + "/x.txt", "level " + std::to_string(level) + " needle\n");
      tree.Write(deep + "/y.txt", "nothing\n");
    }
    deep += "/d";
  }
  for (int i = 0; i < 400; ++i) {
    const std::string n = std::to_string(i);
    const std::string folder = i % 50 < 25 ? "" : "sub" + std::to_string(i / 50) + "/";
    tree.Write(folder + "f" + n + ".txt", i % 3 == 0 ? "a\nfile " + n + " Needle\n" : "plain\n");
    if (i % 40 == 0) tree.Symlink("f" + n + ".txt", folder + "link" + n + ".txt");
    if (i % 70 == 0) tree.Write(folder + "needle" + n + ".txt", "named\n");
  }
  // Many small folders, nested a few deep, so that helpers are given folders to walk.
  for (int i = 0; i < 120; ++i) {
    const std::string n = std::to_string(i);
    tree.Write("tree" + std::to_string(i % 6) + "/branch" + std::to_string(i % 20) + "/leaf" + n +
                   "/needle" + n + ".c",
               "int x;\n");
  }
}

// Every look at the blocks read finds a megabyte more: the walk behaves as on a disk that keeps
// it waiting.
std::atomic<long> g_blocks{0};
long EverMoreBlocks() {
  return g_blocks.fetch_add(2048, std::memory_order_relaxed) + 2048;
}

size_t Cpus() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<size_t>(CPU_COUNT(&set)) : 1;
}

// Helpers, and listings that do not say an entry's type, change nothing in the hits or their
// order, and only as many threads walk as asked (0: one per CPU, at least eight while the disk
// is slow); stopped, helpers end at the hit in hand and let go of what is ahead.
TEST(DirectoryWalk, HelpersGiveTheSequentialHitsInItsOrderAndStopWhereItWould) {
  testing::TestTree tree;
  WriteContentTree(tree);
  std::thread([] {}).join();  // a sanitizer starts a thread of its own with the first one made
  const size_t already = Now("task");
  const struct {
    int threads;
    bool untyped, slowDisk;
    size_t least, most;
  } runs[] = {{1, true, false, 1, 1},
              {2, false, false, 2, 2},
              {2, true, false, 2, 2},
              {3, false, false, 3, 3},
              {4, false, true, 4, 4},
              {0, false, false, 1, Cpus()},
              {0, true, true, 8, std::max<size_t>(8, Cpus())}};
  for (bool contents : {false, true}) {
    Walk sequential("needle", contents);
    sequential.Run(tree.root());
    const std::vector<std::string> texts = sequential.InOrder();
    ASSERT_EQ(texts.size(), contents ? 273u : 127u);
    for (const auto& run : runs) {
      Walk walk("needle", contents);
      walk.options.threads = run.threads;
      walk.options.ignoreListedTypes = run.untyped;
      if (run.slowDisk) walk.options.blocksRead = EverMoreBlocks;
      size_t most = 0;
      walk.after = [&] { most = std::max(most, Now("task") - already + 1); };
      walk.Run(tree.root());
      EXPECT_EQ(walk.InOrder(), texts) << run.threads << run.untyped;
      EXPECT_EQ(std::clamp(most, run.least, run.most), most) << run.threads << run.slowDisk;
    }
    for (size_t stopAt : {1u, 5u, 40u}) {
      const size_t before = Now("fd");
      Walk parallel("needle", contents);
      parallel.options.threads = 3;
      parallel.StopAt(stopAt);
      parallel.Run(tree.root());
      // Folders handed to helpers and never collected are closed.
      EXPECT_EQ(Now("fd"), before);
      // Hits after the one in hand may only be folders on the way out, and none match here.
      EXPECT_EQ(parallel.InOrder(), std::vector(texts.begin(), texts.begin() + stopAt)) << stopAt;
    }
  }
}

TEST(DirectoryWalk, AHugeFileFurtherOnDoesNotHoldUpEarlierHits) {
  testing::TestTree tree;
  tree.Write("huge.txt", "");  // first, as some file systems list newest first
  ASSERT_EQ(truncate(tree.Path("huge.txt").c_str(), off_t{1} << 40), 0);  // minutes to read
  for (int i = 0; i < 200; ++i) tree.Write("f" + std::to_string(i) + ".txt", "needle\n");
  size_t before = 0;  // files listed before the huge one
  for (const auto& e : std::filesystem::directory_iterator(tree.root())) {
    if (e.path().filename() == "huge.txt") break;
    ++before;
  }
  if (before == 0) GTEST_SKIP() << "the huge file is listed first";

  // The last hit before the huge file stops the walk; a helper or the walker reading the
  // huge file ahead would keep that hit from ever arriving.
  Walk walk("needle", true);
  walk.options.threads = 3;
  walk.StopAt(before);
  walk.Run(tree.root());
  EXPECT_EQ(walk.hits.size(), before);
}

// Things that change after a helper may have walked a folder ahead of the walker: the walk
// must give what a walk on one thread gives when the same change happens at the same hit.
TEST(DirectoryWalk, AFolderOrFileChangedAfterHelpersWentAhead) {
  using Tree = const testing::TestTree&;
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    std::function<void(Tree tree, Tree elsewhere, const std::string& last)> change;
    size_t hits;
  } cases[] = {
      {"folder renamed",
       [](Tree t, Tree away, auto& last) { fs::rename(t.Path(last), away.Path("moved")); }, 78},
      {"file removed", [](Tree t, Tree, auto& last) { fs::remove(t.Path(last + "/f.txt")); }, 79},
      {"file replaced",
       [](Tree t, Tree, auto& last) {
         t.Write(last + "/new.txt", "plain\n");
         fs::rename(t.Path(last + "/new.txt"), t.Path(last + "/f.txt"));
       },
       79},
  };
  for (const auto& c : cases) {
    std::vector<std::vector<std::string>> results;
    for (int threads : {1, 2}) {
      testing::TestTree tree, elsewhere;
      for (int i = 0; i < 40; ++i)
        tree.Build({"d" + std::to_string(i) + "/f.txt=needle\n",
                    "d" + std::to_string(i) + "/sub/needle b"});
      std::string last;  // the folder the walk reaches last
      for (const auto& e : fs::directory_iterator(tree.root())) last = e.path().filename();
      Walk walk("needle", true);
      walk.options.threads = threads;
      walk.after = [&] {
        if (walk.hits.size() != 1) return;
        // Not an assertion: gives helpers the time to go ahead before the change.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.change(tree, elsewhere, last);
      };
      walk.Run(tree.root());
      results.push_back(walk.InOrder());
      for (std::string& hit : results.back()) hit.erase(0, tree.root().size());
    }
    EXPECT_EQ(results[0].size(), c.hits) << c.name;
    EXPECT_EQ(results[1], results[0]) << c.name;
  }
}

// The walker gets to a folder it handed over only once a helper has opened it, and the folder
// is changed in between ("a>b" renames): the helper's hits must then be dropped, and the folder
// walked anew.
TEST(SubtreeSharing, AFolderChangedAfterAHelperOpenedItIsNotTakenAsWalked) {
  const struct {
    std::vector<std::string> steps;
    bool same;
  } cases[] = {{{}, true},
               {{"given>old", "given/"}, false},
               {{"given>old", "other>given"}, false},
               {{"given>old", "given"}, false},
               {{"given>old"}, false}};
  for (const auto& c : cases) {
    testing::TestTree tree;
    tree.Build({"given/", "other/"});
    const int parent = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::binary_semaphore opened(0);
    SubtreeSharing* self = nullptr;
    SubtreeSharing sharing(
        1,
        [&](Subtree& subtree) {  // on the helper, with the folder open
          close(subtree.fd());
          HitBatch none;
          self->Finish(subtree, none);
          opened.release();
        },
        nullptr, 100);
    self = &sharing;
    std::vector<Subtree*> given;
    sharing.Give(parent, tree.root() + "/", 1, {"given"}, given);
    opened.acquire();
    for (const std::string& step : c.steps) tree.Build({step});
    EXPECT_EQ(sharing.Reached(*given.at(0)), c.same) << ::testing::PrintToString(c.steps);
    close(parent);
  }
}

// A search going away while a helper still walks a subtree that another helper gave: the giver
// may still take it back on its way out, after it was walked.
TEST(SubtreeSharing, ASubtreeWalkedDuringTeardownCanStillBeTakenBack) {
  testing::TestTree tree;
  tree.Build({"p/", "p/s/"});
  const int root = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  std::binary_semaphore walkingS(0), finishS(0), finishedS(0);
  std::vector<Subtree*> given, givenInP;
  {
    SubtreeSharing* self = nullptr;
    SubtreeSharing sharing(
        2,
        [&](Subtree& subtree) {  // on a helper, with the folder open
          if (subtree.path().ends_with("/p/")) {
            self->Give(subtree.fd(), subtree.path(), 2, {"s"}, givenInP);
            while (!self->Quitting()) std::this_thread::yield();
            finishS.release();
            finishedS.acquire();
            self->TakeBack(*givenInP.at(0));
          } else {
            walkingS.release();
            finishS.acquire();
          }
          close(subtree.fd());
          HitBatch none;
          self->Finish(subtree, none);
          if (!subtree.path().ends_with("/p/")) finishedS.release();
        },
        nullptr, 100);
    self = &sharing;
    sharing.Give(root, tree.root() + "/", 1, {"p"}, given);
    walkingS.acquire();  // then the search goes away
  }
  close(root);
}

// A folder deeper than the depth where descriptors are given up is moved elsewhere while the
// walk is inside it: only the moved files may be missed.
TEST_P(DirectoryWalk, ADeepFolderMovedMidWalkLosesNothingElse) {
  testing::TestTree tree, elsewhere;
  std::string path;
  for (int level = 0; level < 90; ++level) {
    path += "d/";
    for (int k = 0; level >= 60 && k < 30; ++k) tree.Write(path + "f" + std::to_string(k));
    if (level == 75) {
      for (int k = 0; k < 5; ++k) tree.Write(path + "y/yf" + std::to_string(k));
    }
  }
  const std::string moved = tree.Path(path.substr(0, 2 * 76) + "y");
  Walk walk("f");
  walk.after = [&] {
    if (walk.hits.back().path.starts_with(moved + "/") && std::filesystem::exists(moved)) {
      std::filesystem::rename(moved, elsewhere.Path("y"));
    }
  };
  const std::vector<std::string> found = walk.Run(tree.root());
  // Every file outside the moved folder, each once.
  EXPECT_EQ(std::count_if(found.begin(), found.end(),
                          [](const std::string& p) { return p.find('y') == std::string::npos; }),
            900);
  EXPECT_FALSE(std::filesystem::exists(moved));  // the move did happen
}

// Heap bytes in use, counted by the replaced operator new below.
std::atomic<long long> g_heapBytes{0};
long long HeapBytes() {
  return g_heapBytes.load();
}

// Counts the hits of a walk for "file" on two threads, and the heap's peak while it runs. The
// first `slow` hits take a while (not an assertion: it lets a helper get ahead); the
// `stopAt`-th stops the walk.
struct MemorySink : HitSink {
  void OnHit(ResultRecord&&) override {
    if (hits++ < slow) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    peak = std::max(peak, HeapBytes());
    if (hits == stopAt) stop = true;
  }
  // The heap's growth at its peak.
  long long Run(const std::string& root, size_t maxHitsAhead = 1 << 16) {
    const QueryMatcher matcher("file");
    WalkOptions options;
    options.query = &matcher;
    options.threads = 2;
    options.maxHitsAhead = maxHitsAhead;
    options.stop = &stop;
    const long long before = HeapBytes();
    peak = before;
    SearchFolder(root, options, *this);
    return peak - before;
  }
  size_t hits = 0, slow = 0, stopAt = 0;
  long long peak = 0;
  std::atomic<bool> stop{false};
};

// Empty files, or folders with `make` = "mkdir", in `folder`, named by a seq format: wide folders.
void Fill(const testing::TestTree& tree, const std::string& folder, const std::string& format,
          int count, const std::string& make = "touch") {
  tree.MkdirP(folder);
  const std::string command = "cd '" + tree.Path(folder) + "' && seq -f '" + format + "' 0 " +
                              std::to_string(count - 1) + " | xargs -d '\\n' " + make;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// One thread reads a wide folder a chunk at a time as it always did; helpers must too.
TEST(DirectoryWalk, AFolderOfAnyWidthTakesBoundedMemory) {
  testing::TestTree tree;
  Fill(tree, "wide", "file %06g", 200000);
  Fill(tree, "wide", "folder %03g", 200, "mkdir");
  MemorySink sink;
  EXPECT_LT(sink.Run(tree.root()), 1 << 20);  // the whole listing would be some 6 MB
  EXPECT_EQ(sink.hits, 200000u);
}

// A helper far ahead of the hits handed on keeps only so many of its own, and one still waiting
// for room when the walk is stopped lets go.
TEST(DirectoryWalk, HitsFoundFarAheadTakeBoundedMemory) {
  testing::TestTree tree;
  tree.MkdirP("x");
  tree.MkdirP("y");
  std::string first;  // walked by the walker itself; a helper is given the other
  for (const auto& e : std::filesystem::directory_iterator(tree.root())) {
    if (first.empty()) first = e.path().filename();
  }
  Fill(tree, first, "file %g", 2);
  Fill(tree, first == "x" ? "y" : "x", "file %06g", 30000);
  for (size_t stopAt : {0u, 2u}) {
    MemorySink sink;
    sink.slow = 2;  // by the first hit a helper is idle and given the other folder
    sink.stopAt = stopAt;
    const size_t descriptors = Now("fd");
    EXPECT_LT(sink.Run(tree.root(), 1000), 3 << 20);  // all of them would take some 9 MB
    EXPECT_EQ(sink.hits, stopAt == 0 ? 30002u : 2u);
    EXPECT_EQ(Now("fd"), descriptors);
  }
}

TEST_P(DirectoryWalk, PseudoFileSystemsArePrunedBelowAnyRootAndNeverRead) {
  testing::TestTree tree;
  tree.Build({"proc/report.txt", "sub/report.txt"});
  testing::TestTree other;
  other.Symlink(tree.root(), "link to tree");
  tree.Symlink("/proc/self/status", "status link");
  std::unordered_set<std::string> pruned = {tree.root() + "/proc"};
  const MountTable machine = Mounts();
  if (machine.pseudoDevices.empty()) GTEST_SKIP() << "no /proc here";

  // Mount points below the root are left out, the root is found by its real path, and a root
  // inside one is walked all the same.
  for (const auto& [root, expected] : std::vector<std::pair<std::string, std::vector<std::string>>>{
           {tree.root(), {"sub/report.txt"}},
           {other.Path("link to tree"), {"sub/report.txt"}},
           {tree.Path("proc"), {"report.txt"}}}) {
    Walk walk("report");
    walk.options.pruned = &pruned;
    EXPECT_EQ(walk.Run(root), expected) << root;
  }

  // A file on those devices is never read, even through a link: without the table it would be a
  // content hit.
  Walk reading("tgid", true);
  EXPECT_EQ(reading.Run(tree.root()), std::vector<std::string>{"status link"});
  Walk guarded("tgid", true);
  guarded.options.unreadable = &machine.pseudoDevices;
  EXPECT_TRUE(guarded.Run(tree.root()).empty());
}

TEST(Drives, MountinfoGivesUnescapedPseudoAndNetworkMountPoints) {
  // Written by hand: octal escapes, a garbage line, and no line feed after the last line.
  std::ifstream file(FINDLARK_GOLDEN_DIR "/mountinfo", std::ios::binary);
  const std::string mountinfo{std::istreambuf_iterator<char>(file), {}};
  const MountTable table = MountsFrom(mountinfo);
  EXPECT_EQ(table.pseudoMountPoints,
            (std::unordered_set<std::string>{"/proc", "/mnt/my sys\\x", "/dev"}));
  EXPECT_EQ(table.pseudoDevices,
            (std::unordered_set<dev_t>{makedev(0, 21), makedev(0, 5), makedev(0, 8)}));
  EXPECT_EQ(table.networkMountPoints,
            (std::unordered_set<std::string>{"/home/u/nas", "/srv/share", "/mnt/smb"}));
}

}  // namespace
}  // namespace findlark

// Counts the heap bytes in use, for the memory bound above. The size rides in front of the
// block so that unsized deletes can give it back. The array forms call these.
constexpr size_t kHeader = alignof(std::max_align_t);
void* operator new(size_t n) {
  auto* p = static_cast<char*>(std::malloc(n + kHeader));
  if (p == nullptr) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(p) = n;
  findlark::g_heapBytes.fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
  return p + kHeader;
}
void operator delete(void* q) noexcept {
  if (q == nullptr) return;
  char* p = static_cast<char*>(q) - kHeader;
  findlark::g_heapBytes.fetch_sub(static_cast<long long>(*reinterpret_cast<size_t*>(p)),
                                  std::memory_order_relaxed);
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  operator delete(p);
}
