// findlark-cli's --threads, and its walk where a folder may be listed but not entered.
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <utility>

#include "cases.h"
#include "test_tree.h"

namespace findlark {
namespace {

// Runs findlark-cli with `args` (after `as`, under TZ=UTC); its exit status, and stdout then
// stderr.
std::pair<int, std::string> Cli(const std::string& args, const std::string& as = "") {
  const std::string command = as + "env TZ=UTC " + FINDLARK_CLI + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  std::string output;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) output.append(buf, n);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(CliWalk, ThreadsIsCheckedAndLeavesTheHitsAsTheyAre) {
  testing::TestTree tree;
  tree.Build({"a/needle.txt", "a/b/f.txt=the Needle\n", "c/needle/", "d.txt=nothing"});
  const std::string folder = "'" + tree.root() + "'";
  const auto one = Cli("-q -c --threads 1 needle " + folder);
  EXPECT_EQ(one.first, 0);
  EXPECT_EQ(std::count(one.second.begin(), one.second.end(), '\n'), 3) << one.second;
  for (const char* threads : {"--threads 3", "--threads=4", "--threads 256"}) {
    EXPECT_EQ(Cli("-q -c " + std::string(threads) + " needle " + folder), one) << threads;
  }
  for (const auto& c : testing::Cases("cli_threads_errors.tsv", 2)) {
    const auto [status, text] = Cli(c[0]);
    EXPECT_EQ(status, 2) << c[0];
    EXPECT_NE(text.find(c[1]), std::string::npos) << c[0] << ": " << text;
  }
  EXPECT_NE(Cli("--help").second.find("--threads N"), std::string::npos);
}

// A hit that cannot be looked up is kept, without size and date. Root enters every folder: the
// run is made as nobody then.
TEST(CliWalk, AFolderListedButNotEnteredGivesItsHitsWithoutSizeAndDate) {
  testing::TestTree tree;
  tree.Build({"locked/report.txt=12345", "locked/sub report/", "open report.txt=12345"});
  tree.Stamp("open report.txt", 1700000000);
  chmod(tree.root().c_str(), 0755);
  chmod(tree.Path("locked").c_str(), 0444);
  const std::string as =
      geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  const std::string r = tree.root();
  EXPECT_EQ(Cli("-q --format=tsv report '" + r + "' | sort", as).second,
            "Documents\t" + r + "/locked/report.txt\treport\t\t\t\nDocuments\t" + r +
                "/open report.txt\topen report\t5 bytes\tNovember 14, 2023\t\nFolders\t" + r +
                "/locked/sub report\tsub report\t\t\t\n");
}

// A root inside /proc is walked by name, and nothing there is read: some files never end
// (/proc/PID/pagemap), some are used up by reading (/proc/kmsg).
TEST(CliWalk, AFolderInsideProcIsSearchedByNameOnly) {
  if (access("/proc/self/status", R_OK) != 0) GTEST_SKIP() << "no /proc here";
  EXPECT_EQ(Cli("-c tgid /proc/self"), std::pair(1, std::string("Search complete. 0 found.\n")));
  const std::string named = Cli("-c -q status /proc/self").second;
  EXPECT_NE(named.find("/proc/self/status\n"), std::string::npos) << named;
}

}  // namespace
}  // namespace findlark
