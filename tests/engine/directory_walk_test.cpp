#include "search/directory_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <thread>

#include "platform/drives.h"
#include "search/subtree_sharing.h"
#include "test_tree.h"
#include "test_walk.h"

namespace findlark {
namespace {

using testing::g_walkThreads;
using testing::Walk;

size_t OpenDescriptors() {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// A finished walk for "needle" on `threads` threads; `untyped` ignores the types listings give.
std::unique_ptr<Walk> RunWalk(const std::string& root, bool contents, int threads,
                              bool untyped = false) {
  auto walk = std::make_unique<Walk>("needle", contents);
  walk->options.threads = threads;
  walk->options.ignoreListedTypes = untyped;
  walk->Run(root);
  return walk;
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
  // A folder's subtree comes before the folder's own hit.
  EXPECT_LT(walk.IndexOf(tree.Path("REPORTS/sub/report.c")), walk.IndexOf(tree.Path("REPORTS")));

  // Without size and date texts the same hits come in the same order, and only those texts go.
  Walk bare("report");
  bare.options.pruned = &pruned;
  bare.options.details = false;
  bare.Run(tree.root());
  ASSERT_EQ(bare.hits.size(), walk.hits.size());
  for (size_t i = 0; i < bare.hits.size(); ++i) {
    const ResultRecord& a = walk.hits[i];
    const ResultRecord& b = bare.hits[i];
    EXPECT_EQ(std::tie(b.path, b.extension, b.category, b.sizeText, b.dateText),
              std::make_tuple(a.path, a.extension, a.category, "", ""))
        << a.path;
  }
}

TEST_P(DirectoryWalk, ContentSearchAndTypeFilter) {
  testing::TestTree tree;
  tree.Build({"a.txt=one\nthe Query here\r\n", "query.txt=query on its first line\n",
              "Shortcut.lnk=query\n", "a.pdf=query\n", "pics/query.png=", "pics/inside.txt=query\n",
              "pipe.txt|" /* would hang the walk if opened */, "query folder/"});

  Walk all("query", true);
  all.Run(tree.root());
  EXPECT_EQ(all.Rows(),
            (std::vector<std::string>{
                "a.txt|txt|0|20 bytes|the Query here", "pics/inside.txt|txt|0|6 bytes|query",
                "pics/query.png|png|1|0 bytes|", "query folder||9||",
                "query.txt|txt|0|24 bytes|",  // found by name: never opened
            }));

  Walk pictures("query", true);  // other kinds are not opened, folders not hits themselves
  pictures.options.typeFilter = kPictures;
  EXPECT_EQ(pictures.Run(tree.root()), std::vector<std::string>{"pics/query.png"});
}

TEST_P(DirectoryWalk, LinksAreEntriesButNeverDescended) {
  testing::TestTree tree;
  tree.Build({"target/inner.txt=hello\n", "file.txt=the needle line\n", "needle dir.txt->target",
              "needle loop->.", "to file->file.txt", "needle dangling.c->nowhere",
              "needle.lnk->target"});

  Walk walk("needle", true);
  walk.Run(tree.root());
  EXPECT_EQ(walk.Rows(), (std::vector<std::string>{
                             "file.txt|txt|0|16 bytes|the needle line",
                             "needle dangling.c|c|11|7 bytes|",  // the link's own size
                             "needle dir.txt|txt|9||", "needle loop||9||", "needle.lnk|lnk|9||",
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
  const size_t before = OpenDescriptors();
  Walk walk("d");
  walk.Run(tree.root());
  const size_t after = OpenDescriptors();
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
  ASSERT_EQ(walk.hits.size(), 4u);
  EXPECT_TRUE(walk.hits[0].path.ends_with("/qa") || walk.hits[0].path.ends_with("/qb"));
  EXPECT_EQ(std::tuple(walk.IndexOf(tree.Path("q1/q2/q3")), walk.IndexOf(tree.Path("q1/q2")),
                       walk.IndexOf(tree.Path("q1"))),
            std::tuple(1u, 2u, 3u));

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

// Every hit with its line, size and date, in the order the walk gave them.
std::vector<std::string> Texts(const Walk& walk) {
  std::vector<std::string> out;
  for (const ResultRecord& r : walk.hits) {
    out.push_back(r.path + "|" + r.matchLine + "|" + r.sizeText + "|" + r.dateText);
  }
  return out;
}

// Helpers, and listings that do not say an entry's type, change nothing in the hits or their
// order; stopped, helpers end at the hit in hand and let go of what is ahead.
TEST(DirectoryWalk, HelpersGiveTheSequentialHitsInItsOrderAndStopWhereItWould) {
  testing::TestTree tree;
  WriteContentTree(tree);
  for (bool contents : {false, true}) {
    const auto sequential = RunWalk(tree.root(), contents, 1);
    const auto& byPath = sequential->byPath;
    const std::vector<std::string> texts = Texts(*sequential);
    ASSERT_GT(texts.size(), contents ? 250u : 120u);
    EXPECT_EQ(byPath.at("tree1/branch7/leaf67/needle67.c").matchLine, "");
    if (contents) {
      EXPECT_EQ(byPath.at("f3.txt").matchLine, "file 3 Needle");
      EXPECT_EQ(byPath.at("sub0/f33.txt").matchLine, "file 33 Needle");
      EXPECT_EQ(byPath.count("sub0/link40.txt"), 0u);  // f40 does not match
      EXPECT_EQ(byPath.at("link120.txt").matchLine, "file 120 Needle");
      EXPECT_EQ(byPath.at("needle70.txt").matchLine, "");
    }
    for (const auto& [threads, untyped] : {std::pair{1, true}, {2, false}, {2, true}, {3, false}}) {
      EXPECT_EQ(Texts(*RunWalk(tree.root(), contents, threads, untyped)), texts)
          << threads << untyped;
    }
    for (size_t stopAt : {1u, 5u, 40u}) {
      const size_t before = OpenDescriptors();
      Walk parallel("needle", contents);
      parallel.options.threads = 3;
      parallel.StopAt(stopAt);
      parallel.Run(tree.root());
      // Folders handed to helpers and never collected are closed.
      EXPECT_EQ(OpenDescriptors(), before);
      // Hits after the one in hand may only be folders on the way out, and none match here.
      EXPECT_EQ(Texts(parallel), std::vector(texts.begin(), texts.begin() + stopAt)) << stopAt;
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
  using Change = std::function<void(Tree tree, Tree elsewhere, const std::string& last)>;
  const auto folders = [](Tree tree) {
    for (int i = 0; i < 12; ++i) {
      tree.Write("hitdir" + std::to_string(i) + "/hit a");
      tree.Write("hitdir" + std::to_string(i) + "/sub/hit b");
    }
  };
  const auto files = [](Tree tree) {
    for (int i = 0; i < 40; ++i) tree.Write("dir" + std::to_string(i) + "/f.txt", "needle\n");
  };
  namespace fs = std::filesystem;
  const struct {
    const char* name;
    std::function<void(Tree)> write;
    bool contents;
    Change change;
    size_t hits;
  } cases[] = {
      {"folder renamed", folders, false,
       [](Tree t, Tree elsewhere, auto& last) {
         fs::rename(t.Path(last), elsewhere.Path("moved"));
       },
       33},
      {"file removed", files, true,
       [](Tree t, Tree, auto& last) { fs::remove(t.Path(last + "/f.txt")); }, 39},
      {"file replaced", files, true,
       [](Tree t, Tree, auto& last) {
         t.Write(last + "/new.txt", "plain\n");
         fs::rename(t.Path(last + "/new.txt"), t.Path(last + "/f.txt"));
       },
       39},
  };
  for (const auto& c : cases) {
    std::vector<std::vector<std::string>> results;
    for (int threads : {1, 2}) {
      testing::TestTree tree;
      testing::TestTree elsewhere;
      c.write(tree);
      std::string last;  // the folder the walk reaches last
      for (const auto& e : fs::directory_iterator(tree.root())) last = e.path().filename();
      Walk walk(c.contents ? "needle" : "hit", c.contents);
      walk.options.threads = threads;
      walk.after = [&] {
        if (walk.hits.size() != 1) return;
        // Not an assertion: gives helpers the time to go ahead before the change.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        c.change(tree, elsewhere, last);
      };
      walk.Run(tree.root());
      std::vector<std::string> paths;
      for (const ResultRecord& r : walk.hits) {
        paths.push_back(r.path.substr(tree.root().size()) + " " + std::to_string(r.category) + " " +
                        r.matchLine);
        EXPECT_FALSE(r.path.starts_with(tree.Path(last) + "/")) << r.path;
      }
      results.push_back(std::move(paths));
    }
    EXPECT_EQ(results[0].size(), c.hits) << c.name;
    EXPECT_EQ(results[1], results[0]) << c.name;
  }
}

// The walker gets to a folder it handed over only once a helper has opened it, and the folder
// is changed in between: the helper's hits must then be dropped, and the folder walked anew.
TEST(SubtreeSharing, AFolderChangedAfterAHelperOpenedItIsNotTakenAsWalked) {
  namespace fs = std::filesystem;
  using Tree = const testing::TestTree&;
  const struct {
    const char* what;
    std::function<void(Tree)> change;
    bool same;
  } cases[] = {
      {"unchanged", [](Tree) {}, true},
      {"moved away and a new folder made",
       [](Tree t) {
         fs::rename(t.Path("given"), t.Path("old"));
         t.MkdirP("given");
       },
       false},
      {"another folder moved in",
       [](Tree t) {
         fs::rename(t.Path("given"), t.Path("old"));
         fs::rename(t.Path("other"), t.Path("given"));
       },
       false},
      {"replaced by a file",
       [](Tree t) {
         fs::rename(t.Path("given"), t.Path("old"));
         t.Write("given");
       },
       false},
      {"removed", [](Tree t) { fs::remove(t.Path("given")); }, false},
  };
  for (const auto& c : cases) {
    testing::TestTree tree;
    tree.MkdirP("given");
    tree.MkdirP("other");
    const int parent = open(tree.root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::mutex mutex;
    std::condition_variable cv;
    bool opened = false;
    SubtreeSharing* self = nullptr;
    SubtreeSharing sharing(
        1,
        [&](Subtree& subtree) {  // on the helper, with the folder open
          close(subtree.fd());
          std::vector<Subtree::Item> none;
          self->Finish(subtree, none);
          std::lock_guard lock(mutex);
          opened = true;
          cv.notify_all();
        },
        nullptr, 100);
    self = &sharing;
    std::vector<Subtree*> given;
    sharing.Give(parent, tree.root() + "/", 1, {"given"}, given);
    {
      std::unique_lock lock(mutex);
      cv.wait(lock, [&] { return opened; });
    }
    c.change(tree);
    EXPECT_EQ(sharing.Reached(*given.at(0)), c.same) << c.what;
    close(parent);
  }
}

// A folder deeper than the depth where descriptors are given up is moved elsewhere while the
// walk is inside it: only the moved files may be missed.
TEST_P(DirectoryWalk, ADeepFolderMovedMidWalkLosesNothingElse) {
  testing::TestTree tree;
  testing::TestTree elsewhere;
  std::set<std::string> untouched;
  std::string path;
  for (int level = 0; level < 90; ++level) {
    path += "d/";
    if (level < 60) continue;
    for (int k = 0; k < 30; ++k) {
      const std::string file = path + "f" + std::to_string(level) + "_" + std::to_string(k);
      tree.Write(file);
      untouched.insert(file);
    }
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
  std::vector<std::string> missing;
  std::set_difference(untouched.begin(), untouched.end(), found.begin(), found.end(),
                      std::back_inserter(missing));
  EXPECT_TRUE(missing.empty()) << missing.size() << " missing, the first " << missing.front();
  EXPECT_FALSE(std::filesystem::exists(moved));  // the move did happen
}

// Heap bytes in use, counted by the replaced operator new below.
std::atomic<long long> g_heapBytes{0};

// Counts the hits of a walk for "file" on two threads, and the heap's peak while it runs. The
// first `slow` hits take a while (not an assertion: it lets a helper get ahead); the
// `stopAt`-th stops the walk.
struct MemorySink : HitSink {
  void OnHit(ResultRecord&&) override {
    if (hits++ < slow) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    peak = std::max(peak, g_heapBytes.load());
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
    const long long before = g_heapBytes.load();
    peak = before;
    SearchFolder(root, options, *this);
    return peak - before;
  }
  size_t hits = 0, slow = 0, stopAt = 0;
  long long peak = 0;
  std::atomic<bool> stop{false};
};

// One thread reads a wide folder a chunk at a time as it always did; helpers must too.
TEST(DirectoryWalk, AFolderOfAnyWidthTakesBoundedMemory) {
  testing::TestTree tree;
  tree.Fill("wide", "file %06d", 200000);
  tree.Fill("wide", "folder %03d", 200, true);
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
  tree.Fill(first, "file %d", 2);
  tree.Fill(first == "x" ? "y" : "x", "file %06d", 30000);
  for (size_t stopAt : {0u, 2u}) {
    MemorySink sink;
    sink.slow = 2;  // by the first hit a helper is idle and given the other folder
    sink.stopAt = stopAt;
    const size_t descriptors = OpenDescriptors();
    EXPECT_LT(sink.Run(tree.root(), 1000), 3 << 20);  // all of them would take some 9 MB
    EXPECT_EQ(sink.hits, stopAt == 0 ? 30002u : 2u);
    EXPECT_EQ(OpenDescriptors(), descriptors);
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

  // Files on those devices are matched by name and never read: directly, through a link, or
  // under a root inside one. Without the table they would be content hits.
  Walk reading("tgid", true);
  EXPECT_EQ(reading.Run(tree.root()), std::vector<std::string>{"status link"});
  for (const std::string& root : {tree.root(), std::string("/proc/self")}) {
    Walk guarded("tgid", true);
    guarded.options.unreadable = &machine.pseudoDevices;
    EXPECT_TRUE(guarded.Run(root).empty()) << root;
  }
  Walk byName("status", true);
  byName.options.unreadable = &machine.pseudoDevices;
  byName.Run("/proc/self");
  EXPECT_EQ(byName.byPath.count("status"), 1u);
}

// "path\tcategory\tsize\tdate" for each hit, sorted, of a walk by someone who may list the
// folder `locked` but not enter it.
std::vector<std::string> WalkWithoutEntering(const testing::TestTree& tree,
                                             const std::string& query) {
  auto walk = [&] {
    Walk walk(query);
    walk.Run(tree.root());
    std::string out;
    for (const auto& [path, r] : walk.byPath) {
      out +=
          path + '\t' + std::to_string(r.category) + '\t' + r.sizeText + '\t' + r.dateText + '\n';
    }
    return out;
  };
  std::string text;
  if (geteuid() != 0) {
    chmod(tree.Path("locked").c_str(), 0644);
    text = walk();
  } else {
    // Root enters everything: the walk runs as nobody, and the folder is root's, mode 744.
    chmod(tree.root().c_str(), 0755);
    chmod(tree.Path("locked").c_str(), 0744);
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      const std::string out = walk();
      _exit(write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size()) ? 0 : 3);
    }
    close(fds[1]);
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
  }
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_P(DirectoryWalk, AHitThatCannotBeLookedUpIsKeptWithoutSizeAndDate) {
  testing::TestTree tree;
  tree.Write("locked/report.txt", "12345");
  tree.MkdirP("locked/sub report");
  tree.Write("open report.txt", "12345", 1700000000);
  EXPECT_EQ(WalkWithoutEntering(tree, "report"),
            (std::vector<std::string>{"locked/report.txt\t0\t\t", "locked/sub report\t9\t\t",
                                      "open report.txt\t0\t5 bytes\tNovember 14, 2023"}));
}

TEST(Drives, MountinfoGivesUnescapedPseudoAndNetworkMountPoints) {
  const std::string mountinfo =
      "22 1 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
      "23 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
      "25 1 0:5 / /mnt/my\\040sys\\134x rw - sysfs sysfs rw\n"
      "26 1 0:6 / /run rw,nosuid - tmpfs tmpfs rw\n"
      "30 1 0:40 / /home/u/nas rw - fuse.sshfs u@nas:/ rw\n"
      "31 1 0:41 / /srv/share rw - nfs4 nas:/share rw\n"
      "32 1 0:42 / /media/disk rw - fuseblk /dev/sdb1 rw\n"
      "33 1 0:43 / /home/u/Private rw - fuse.gocryptfs x rw\n"
      "34 1 0:44 / /mnt/smb rw - cifs //nas/x rw\n"
      "garbage line\n"
      "28 1 0:8 / /dev rw - devtmpfs udev rw";  // no final line feed
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
// block so that unsized deletes can give it back.
namespace {
constexpr size_t kHeader = alignof(std::max_align_t);
void* CountedNew(size_t n) {
  auto* p = static_cast<char*>(std::malloc(n + kHeader));
  if (p == nullptr) throw std::bad_alloc();
  *reinterpret_cast<size_t*>(p) = n;
  findlark::g_heapBytes.fetch_add(static_cast<long long>(n), std::memory_order_relaxed);
  return p + kHeader;
}
void CountedDelete(void* q) noexcept {
  if (q == nullptr) return;
  char* p = static_cast<char*>(q) - kHeader;
  findlark::g_heapBytes.fetch_sub(static_cast<long long>(*reinterpret_cast<size_t*>(p)),
                                  std::memory_order_relaxed);
  std::free(p);
}
}  // namespace
void* operator new(size_t n) {
  return CountedNew(n);
}
void* operator new[](size_t n) {
  return CountedNew(n);
}
void operator delete(void* p) noexcept {
  CountedDelete(p);
}
void operator delete[](void* p) noexcept {
  CountedDelete(p);
}
void operator delete(void* p, size_t) noexcept {
  CountedDelete(p);
}
void operator delete[](void* p, size_t) noexcept {
  CountedDelete(p);
}
