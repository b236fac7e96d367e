// The walk on any number of threads, and findlark-cli's --threads.
#include <gtest/gtest.h>
#include <sched.h>
#include <stdio.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "search/case_fold.h"
#include "search/directory_walk.h"
#include "test_tree.h"

namespace findlark {
namespace {

// Eight top folders of twenty folders each, every one with a folder two deep: enough folders
// that idle threads are handed some whatever the count.
void WriteWideTree(const testing::TestTree& tree) {
  for (int a = 0; a < 8; ++a) {
    for (int b = 0; b < 20; ++b) {
      const std::string dir = "a" + std::to_string(a) + "/b" + std::to_string(b) + "/";
      const std::string id = std::to_string(a) + "_" + std::to_string(b);
      tree.Write(dir + "needle" + id + ".txt", "x");
      tree.Write(dir + "f" + id + ".txt", "line one\nthe Needle " + id + "\r\nlast");
      tree.Write(dir + "other" + id + ".txt", "nothing here");
      tree.MkdirP(dir + "needle_dir");
      tree.Write(dir + "deep/needle_sub/needle_deep" + id + ".md", "y");
    }
  }
}

size_t ThreadsNow() {
  return static_cast<size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// The hits, and the most threads this process had as they came.
struct Collected : HitSink {
  void OnHit(ResultRecord&& record) override {
    hits.emplace_back(record.path, record.matchLine);
    mostThreads = std::max(mostThreads, ThreadsNow());
  }
  std::vector<std::pair<std::string, std::string>> hits;
  size_t mostThreads = 0;
};

struct Walked {
  std::vector<std::pair<std::string, std::string>> hits;
  size_t mostThreads;  // that walked at once, the calling one included
};

// Every look at the blocks read finds a megabyte more: the walk behaves as on a disk that keeps
// it waiting.
std::atomic<long> g_blocks{0};
long EverMoreBlocks() {
  return g_blocks.fetch_add(2048, std::memory_order_relaxed) + 2048;
}

Walked Walk(const std::string& root, bool contents, int threads, bool slowDisk) {
  const QueryMatcher matcher("needle");
  WalkOptions options;
  options.query = &matcher;
  options.searchContents = contents;
  options.threads = threads;
  if (slowDisk) options.blocksRead = EverMoreBlocks;
  Collected sink;
  // Threads the process had already (a sanitizer's own among them), this one included.
  const size_t already = ThreadsNow();
  SearchFolder(root, options, sink);
  for (auto& [path, line] : sink.hits) path.erase(0, root.size() + 1);
  return {sink.hits, sink.mostThreads - already + 1};
}

// CPUs this process may run on, as the machine says.
size_t Cpus() {
  cpu_set_t set;
  return sched_getaffinity(0, sizeof set, &set) == 0 ? static_cast<size_t>(CPU_COUNT(&set)) : 1;
}

size_t IndexOf(const std::vector<std::pair<std::string, std::string>>& hits,
               const std::string& path) {
  for (size_t i = 0; i < hits.size(); ++i)
    if (hits[i].first == path) return i;
  return hits.size();
}

TEST(WalkThreads, AnyThreadCountGivesTheOneThreadHitsInTheirOrder) {
  testing::TestTree tree;
  WriteWideTree(tree);
  // A sanitizer starts a thread of its own with the first thread made; let that be before any
  // count.
  std::thread([] {}).join();
  struct Case {
    bool contents;
    size_t hits;
  };
  for (const Case c : {Case{false, 640}, Case{true, 800}}) {
    const auto one = Walk(tree.root(), c.contents, 1, false).hits;
    ASSERT_EQ(one.size(), c.hits);
    // A folder's hits come before the folder itself.
    EXPECT_LT(IndexOf(one, "a3/b17/deep/needle_sub/needle_deep3_17.md"),
              IndexOf(one, "a3/b17/deep/needle_sub"));
    EXPECT_LT(IndexOf(one, "a3/b17/deep/needle_sub"), one.size());
    if (c.contents) {
      EXPECT_EQ(one[IndexOf(one, "a2/b15/f2_15.txt")].second, "the Needle 2_15");
      EXPECT_EQ(IndexOf(one, "a2/b15/other2_15.txt"), one.size());
    }
    // 0 is the walk's own choice: one thread per CPU, at least eight while the disk is slow.
    struct Count {
      int threads;
      bool slowDisk;
      size_t least, most;
    };
    for (const Count n :
         {Count{2, false, 2, 2}, Count{3, false, 3, 3}, Count{4, false, 4, 4}, Count{4, true, 4, 4},
          Count{0, false, 1, Cpus()}, Count{0, true, 8, std::max<size_t>(8, Cpus())}}) {
      const Walked walked = Walk(tree.root(), c.contents, n.threads, n.slowDisk);
      EXPECT_EQ(walked.hits, one) << n.threads << " threads, slow disk " << n.slowDisk
                                  << ", contents " << c.contents;
      EXPECT_GE(walked.mostThreads, n.least) << n.threads << " " << n.slowDisk;
      EXPECT_LE(walked.mostThreads, n.most) << n.threads << " " << n.slowDisk;
    }
  }
}

// Runs findlark-cli with `args`; its exit status, and stdout then stderr.
std::pair<int, std::string> Cli(const std::string& args) {
  const std::string command = std::string(FINDLARK_CLI) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) output.append(buf, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(WalkThreads, CliThreadsIsCheckedAndLeavesTheHitsAsTheyAre) {
  testing::TestTree tree;
  WriteWideTree(tree);
  const std::string folder = "'" + tree.root() + "'";
  const auto [status, one] = Cli("-q -c --threads 1 needle " + folder);
  ASSERT_EQ(status, 0);
  EXPECT_EQ(std::count(one.begin(), one.end(), '\n'), 800);
  for (const char* threads : {"--threads 3", "--threads=4", "--threads 256"}) {
    EXPECT_EQ(Cli("-q -c " + std::string(threads) + " needle " + folder),
              std::pair(0, std::string(one)))
        << threads;
  }

  struct Bad {
    const char* args;
    const char* message;
  };
  for (const Bad& bad : {
           Bad{"--threads 0 x",
               "findlark-cli: invalid number '0' for --threads; use a whole "
               "number from 1 to 256\n"},
           Bad{"--threads=257 x",
               "findlark-cli: invalid number '257' for --threads; use a "
               "whole number from 1 to 256\n"},
           Bad{"--threads -2 x", "findlark-cli: invalid number '-2' for --threads"},
           Bad{"--threads=1.5 x", "findlark-cli: invalid number '1.5' for --threads"},
           Bad{"--threads= x", "findlark-cli: invalid number '' for --threads"},
           Bad{"--threads 99999999999999999999 x", "invalid number '99999999999999999999'"},
           Bad{"x --threads", "findlark-cli: option '--threads' needs a value"},
       }) {
    const auto [badStatus, text] = Cli(bad.args);
    EXPECT_EQ(badStatus, 2) << bad.args;
    EXPECT_NE(text.find(bad.message), std::string::npos) << bad.args << ": " << text;
  }
  EXPECT_NE(Cli("--help").second.find("--threads N"), std::string::npos);
}

}  // namespace
}  // namespace findlark
