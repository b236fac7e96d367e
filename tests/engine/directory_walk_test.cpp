#include "search/directory_walk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <regex>
#include <semaphore>
#include <set>
#include <sstream>
#include <thread>

#include "fixture.h"
#include "platform/drives.h"
#include "search/pdf_text.h"
#include "search/subtree_sharing.h"
#include "test_tree.h"
#include "test_walk.h"

namespace findlark {
namespace {

using testing::g_walkThreads;
using testing::Now;
using testing::Walk;

// Every case here must give the same hits in the same order on one thread and with helpers.
struct DirectoryWalk : ::testing::TestWithParam<int> {
  void SetUp() override { g_walkThreads = GetParam(); }
  void TearDown() override { g_walkThreads = 1; }
};
INSTANTIATE_TEST_SUITE_P(Threads, DirectoryWalk, ::testing::Values(1, 2));

// A walk of the walks file, "QUERY [OPTION...] [in PATH]", on one thread, then on two and
// without size and date texts, which must find the same hits in the same order; the first
// walk's rows.
std::vector<std::string> RunWalkCase(const testing::TestTree& tree, std::string words) {
  std::string root, query;
  if (const size_t in = words.find(" in "); in != std::string::npos) {
    root = words.substr(in + 4);
    words.resize(in);
  }
  std::istringstream split(words);
  split >> query;
  SearchFilters filters;
  std::unordered_set<std::string> pruned;
  bool contents = false, pdf = false;
  for (std::string o; split >> o;) {
    const std::string key = o.substr(0, o.find('=')), value = o.substr(o.find('=') + 1);
    if (o == "contents" || o == "whole" || o == "pdf") {
      (o == "contents" ? contents : o == "pdf" ? pdf : filters.wholeWord) = true;
    } else if (key == "pruned") {
      pruned.insert(tree.Path(value));
    } else if (key == "exclude") {
      std::istringstream patterns(value);
      for (std::string p; std::getline(patterns, p, ',');) filters.exclude.push_back(p);
    } else {
      (key == "min"     ? filters.minSize
       : key == "max"   ? filters.maxSize
       : key == "after" ? filters.changedAfter
                        : filters.changedBefore) = std::stoll(value);
    }
  }
  PdfExtractor extractor{"/usr/bin/pdftotext", FINDLARK_PDF_SANDBOX, {}};
  EXPECT_TRUE(!pdf || extractor.Available()) << "pdftotext or findlark-pdf-sandbox is missing";
  std::vector<std::string> rows, inOrder, bare;
  for (int run = 0; run < 3; ++run) {
    Walk walk(query, contents, filters.wholeWord);
    walk.options.pdf = pdf ? &extractor : nullptr;
    walk.options.filters = &filters;
    walk.options.pruned = &pruned;
    walk.options.threads = run == 1 ? 2 : 1;
    walk.options.details = run != 2;
    walk.Run(tree.Path(root));
    if (run == 0) {
      rows = walk.Rows();
      inOrder = walk.InOrder();
      bare = walk.InOrder(false);
    } else {
      EXPECT_EQ(walk.InOrder(), run == 1 ? inOrder : bare) << words << ", run " << run;
    }
  }
  EXPECT_EQ(extractor.Failures(), 0u) << words;
  return rows;
}

// The file's head says how to read it.
TEST(DirectoryWalk, TheWalksOfTheCaseFile) {
  std::ifstream file(FINDLARK_CASES_DIR "/walks.txt", std::ios::binary);
  std::unique_ptr<testing::TestTree> tree;
  std::string commands, walk;  // the case's shell lines; the walk waiting for its hits
  std::vector<std::string> hits;
  size_t walks = 0;
  const auto run = [&] {
    if (walk.empty()) return;
    const std::string script = "cd '" + tree->root() +
                               "' && { find . -exec touch -h -d @1700000000 {} + 2>/dev/null; "
                               "true; }" +
                               commands;
    EXPECT_EQ(std::system(script.c_str()), 0) << script;
    EXPECT_EQ(RunWalkCase(*tree, walk), hits) << walk;
    walk.clear();
    hits.clear();
    ++walks;
  };
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line.starts_with("#")) continue;
    if (line.starts_with("=== ") || line.starts_with("walk ")) run();
    if (line.starts_with("=== ")) {
      tree = std::make_unique<testing::TestTree>();
      commands.clear();
    } else if (line.starts_with("+ ")) {
      std::string entry = testing::Unescape(line.substr(2));
      if (const size_t at = entry.find("ROOT"); at != std::string::npos)
        entry.replace(at, 4, tree->root());
      if (const size_t from = entry.find('<'); from != std::string::npos)
        tree->Write(entry.substr(0, from), testing::ReadFixture(entry.substr(from + 1)));
      else
        tree->Build({entry});
    } else if (line.starts_with("$ ")) {
      commands += " && " + line.substr(2);
    } else if (line.starts_with("walk ")) {
      walk = line.substr(5);
    } else if (!line.starts_with("root:") || geteuid() == 0) {
      hits.push_back(testing::Unescape(line.substr(line.starts_with("root:") ? 5 : 0)));
    }
  }
  run();
  EXPECT_EQ(walks, 21u);
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

// The table of descriptors is grown before a search's threads start: grown later, the kernel
// first waits for every CPU. Tried in a child, whose table is only as large as its descriptors.
TEST(DirectoryWalk, RoomForDescriptorsIsMadeAtTheStart) {
  const pid_t child = fork();
  if (child == 0) {
    const size_t before = Now("fd");
    RaiseDescriptorLimit();
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const size_t after = Now("fd");
    std::ifstream status("/proc/self/status");
    size_t size = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("FDSize:", 0) == 0) size = std::stoul(line.substr(7));
    }
    _exit(size >= std::min<rlim_t>(limit.rlim_cur, 2048) && after == before ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_P(DirectoryWalk, StopFinishesTheCurrentPathOnly) {
  testing::TestTree tree;
  tree.Build({"q1/q2/q3/qa", "q1/q2/q3/qb"});

  Walk walk("q");
  walk.StopAt(1);
  walk.Run(tree.root());
  // The first file hit stops the walk; each folder on the way out is still matched.
  std::string order;
  for (const ResultRecord& r : walk.hits) order += r.path.substr(tree.root().size()) + " ";
  EXPECT_TRUE(std::regex_match(order, std::regex("/q1/q2/q3/q[ab] /q1/q2/q3 /q1/q2 /q1 ")))
      << order;

  Walk early("q");  // set before the start: nothing at all
  early.options.stop = &walk.stop;
  EXPECT_TRUE(early.Run(tree.root()).empty());
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

// Stopped at hit `stopAt` on three threads, the walk gives the hits up to it (the hits after it
// could only be folders on the way out, and none match here) and closes what helpers held.
void ExpectStopsAt(const std::string& root, bool contents, size_t stopAt,
                   const std::vector<std::string>& texts) {
  const size_t descriptors = Now("fd");
  Walk walk("needle", contents);
  walk.options.threads = 3;
  walk.StopAt(stopAt);
  walk.Run(root);
  EXPECT_EQ(Now("fd"), descriptors);
  EXPECT_EQ(walk.InOrder(), std::vector(texts.begin(), texts.begin() + stopAt)) << stopAt;
}

// Helpers, listings that do not say an entry's type, and hits handed on in runs change nothing
// in the hits or their order, and only as many threads walk as asked (0: one per CPU, eight to
// sixteen while the disk is slow); stopped, helpers end at the hit in hand and let go of what is
// ahead.
TEST(DirectoryWalk, HelpersGiveTheSequentialHitsInItsOrderAndStopWhereItWould) {
  // Many files read for their contents, some matching, in folders shallow and deep (past the
  // depth where folders give up their descriptor), with links, FIFOs and name hits among them.
  testing::TestTree tree;
  ASSERT_EQ(
      std::system(("tar -xzf " FINDLARK_FIXTURE_DIR "/content-tree.tar.gz -C '" + tree.root() + "'")
                      .c_str()),
      0);
  std::thread([] {}).join();  // a sanitizer starts a thread of its own with the first one made
  const size_t already = Now("task");
  cpu_set_t mask, maskNow;  // the walker's, which a walk with helpers keeps on one CPU a while
  ASSERT_EQ(sched_getaffinity(0, sizeof mask, &mask), 0);
  const struct {
    int threads;
    bool untyped, slowDisk, inRuns;
    size_t least, most;
  } runs[] = {
      {1, true, false, false, 1, 1},       {1, false, false, true, 1, 1},
      {2, false, false, false, 2, 2},      {2, true, false, true, 2, 2},
      {3, false, false, true, 3, 3},       {4, false, true, false, 4, 4},
      {0, false, false, false, 1, Cpus()}, {0, true, true, true, 8, std::max<size_t>(16, Cpus())},
  };
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
      walk.runs = run.inRuns;
      size_t most = 0;
      walk.after = [&] { most = std::max(most, Now("task") - already + 1); };
      walk.Run(tree.root());
      EXPECT_EQ(walk.InOrder(), texts) << run.threads << run.untyped << run.inRuns;
      EXPECT_EQ(std::clamp(most, run.least, run.most), most) << run.threads << run.slowDisk;
      sched_getaffinity(0, sizeof maskNow, &maskNow);
      EXPECT_TRUE(CPU_EQUAL(&maskNow, &mask)) << run.threads;
    }
    for (size_t stopAt : {1u, 5u, 40u}) ExpectStopsAt(tree.root(), contents, stopAt, texts);
  }
}

// The files of one folder are shared out among the threads in parts, whose hits come back in
// listing order. A huge file further on holds up no hit before it: a thread reading it with
// that hit still in hand would keep the hit from ever arriving. Stopped, parts are let go.
TEST(DirectoryWalk, OneFolderOfManyFilesIsReadInPartsInItsOrder) {
  testing::TestTree tree;
  tree.Write("huge.txt", "");  // first, as some file systems list newest first
  for (int i = 0; i < 300; ++i)
    tree.Write("f" + std::to_string(i) + ".txt", i % 3 == 0 ? "a needle\n" : "hay\n");
  Walk sequential("needle", true);
  sequential.Run(tree.root());
  const std::vector<std::string> texts = sequential.InOrder();
  ASSERT_EQ(texts.size(), 100u);
  for (int threads : {2, 4}) {
    Walk walk("needle", true);
    walk.options.threads = threads;
    walk.Run(tree.root());
    EXPECT_EQ(walk.InOrder(), texts) << threads;
  }

  size_t before = 0;  // hits listed before the huge file
  for (const auto& e : std::filesystem::directory_iterator(tree.root())) {
    const std::string name = e.path().filename();
    if (name == "huge.txt") break;
    before += std::stoi(name.substr(1)) % 3 == 0;
  }
  if (before == 0) GTEST_SKIP() << "no hit is listed before the huge file";
  ASSERT_EQ(truncate(tree.Path("huge.txt").c_str(), off_t{1} << 40), 0);  // minutes to read
  ExpectStopsAt(tree.root(), true, before, texts);
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
  const std::pair<const char*, bool> cases[] = {{"", true},
                                                {"given>old given/", false},
                                                {"given>old other>given", false},
                                                {"given>old given", false},
                                                {"given>old", false}};
  for (const auto& [steps, same] : cases) {
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
    std::istringstream split(steps);
    for (std::string step; split >> step;) tree.Build({step});
    EXPECT_EQ(sharing.Reached(*given.at(0)), same) << steps;
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
  // Walked by the walker itself; a helper is given the other.
  const std::string first = std::filesystem::directory_iterator(tree.root())->path().filename();
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

// A file on a pseudo file system is never read, even through a link: without the table it would
// be a content hit.
TEST_P(DirectoryWalk, PseudoFileSystemsAreNeverRead) {
  testing::TestTree tree;
  tree.Symlink("/proc/self/status", "status link");
  const MountTable machine = Mounts();
  if (machine.pseudoDevices.empty()) GTEST_SKIP() << "no /proc here";
  Walk reading("tgid", true);
  EXPECT_EQ(reading.Run(tree.root()), std::vector<std::string>{"status link"});
  Walk guarded("tgid", true);
  guarded.options.unreadable = &machine.pseudoDevices;
  EXPECT_TRUE(guarded.Run(tree.root()).empty());
}

TEST(Drives, MountinfoGivesUnescapedPseudoAndNetworkMountPoints) {
  // Written by hand: octal escapes, a garbage line, and no line feed after the last line.
  const MountTable table = MountsFrom(testing::ReadFixture("mountinfo"));
  EXPECT_EQ(table.pseudoMountPoints,
            (std::unordered_set<std::string>{"/proc", "/mnt/my sys\\x", "/dev"}));
  EXPECT_EQ(table.pseudoDevices,
            (std::unordered_set<dev_t>{makedev(0, 21), makedev(0, 5), makedev(0, 8)}));
  EXPECT_EQ(table.networkMountPoints,
            (std::unordered_set<std::string>{"/home/u/nas", "/srv/share", "/mnt/smb"}));
  EXPECT_TRUE(table.mayNeverAnswer);
}

TEST(Drives, OnlyDisksAndPseudoFileSystemsCannotHoldAWalkForGood) {
  const std::string disks =
      "23 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
      "22 23 0:21 / /proc rw - proc proc rw\n"
      "40 22 0:40 / /proc/sys/fs/binfmt_misc rw - autofs systemd-1 rw\n"
      "41 23 0:41 / /sys/fs/fuse/connections rw - fusectl fusectl rw\n";
  const struct {
    std::string mountinfo;
    bool mayNeverAnswer;
  } cases[] = {
      {disks, false},
      {disks + "50 23 0:50 / /srv/share rw - nfs4 nas:/share rw", true},
      {disks + "50 23 0:50 / /media/disk rw - fuseblk /dev/sdb1 rw", true},
      {disks + "50 23 0:50 / /home/u/Private rw - fuse.gocryptfs x rw", true},
      {disks + "50 23 0:50 / /home/u/x rw - fuse x rw", true},
      {disks + "50 23 0:50 / /net rw - autofs -hosts rw", true},
      {"", true},  // unknown
      {"garbage line\n", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MountsFrom(c.mountinfo).mayNeverAnswer, c.mayNeverAnswer) << c.mountinfo;
  }
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
