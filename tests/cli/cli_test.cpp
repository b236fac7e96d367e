// Runs the real findlark-cli over small trees and checks what a user or a script sees.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "run_process.h"

namespace findlark::testing {
namespace {

const std::string kCli = FINDLARK_CLI;
constexpr time_t kJune4th2007 = 1180958400;  // noon UTC; the runs use TZ=UTC
const char* const kTypeNames[] = {"Documents",    "Pictures",      "Music",        "Video",
                                  "Webpages",     "PDF Documents", "Spreadsheets", "Presentations",
                                  "Applications", "Folders",       "Archives",     "Source Code",
                                  "Other"};

class TempTree {
 public:
  TempTree() {
    char pattern[] = "/tmp/findlark-cli-test-XXXXXX";
    root_ = mkdtemp(pattern);
  }
  ~TempTree() { std::filesystem::remove_all(root_); }
  const std::string& root() const { return root_; }
  std::string Path(const std::string& rel) const { return root_ + "/" + rel; }

  void Dir(const std::string& rel) { std::filesystem::create_directories(Path(rel)); }
  void File(const std::string& rel, const std::string& content = "hello") {
    std::ofstream(Path(rel), std::ios::binary) << content;
    Stamp(rel);
  }
  void Stamp(const std::string& rel) {  // a fixed date, so date texts can be compared
    timespec times[2] = {{kJune4th2007, 0}, {kJune4th2007, 0}};
    utimensat(AT_FDCWD, Path(rel).c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

 private:
  std::string root_;
};

ProcessResult Cli(std::vector<std::string> args, const std::string& cwd = "",
                  bool stdoutTerminal = false) {
  ProcessSpec spec;
  spec.argv = {kCli};
  spec.argv.insert(spec.argv.end(), args.begin(), args.end());
  spec.cwd = cwd;
  spec.env = {"TZ=UTC"};
  spec.stdoutTerminal = stdoutTerminal;
  return RunProcess(spec);
}

std::multiset<std::string> Split(const std::string& text, char terminator) {
  std::multiset<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(terminator, start)) != std::string::npos; start = end + 1) {
    parts.insert(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "output does not end with its terminator";
  return parts;
}

TEST(CliUsage, ExitStatusAndMessages) {
  TempTree t;
  t.File("needle.txt");
  t.File("-dash.txt");
  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string errHas;
  };
  const Case cases[] = {
      {{"needle", t.root()}, 0, "Search complete. 1 found."},
      {{"zebra", t.root()}, 1, "Search complete. 0 found."},
      {{"needle", t.Path("gone")}, 1, "warning: cannot open folder"},
      {{"needle", t.Path("needle.txt")}, 1, "is not a folder"},
      {{"--", "-dash", t.root()}, 0, "1 found."},
      {{"-dash", t.root()}, 2, "unrecognized option '-d'"},
      {{" \t ", t.root()}, 2, "the search text is empty"},
      {{}, 2, "missing search text"},
      {{"--bogus", "needle"}, 2, "unrecognized option '--bogus'"},
      {{"needle", t.root(), "--all-drives"}, 2, "not both"},
      {{"needle", t.root(), "extra"}, 2, "unexpected argument 'extra'"},
      {{"--format=xml", "needle"}, 2, "unknown format 'xml'"},
      {{"-0", "--format", "tsv", "needle"}, 2, "--print0 goes with --format=paths"},
      {{"needle", "--type"}, 2, "'--type' needs a value"},
      {{"--contents=yes", "needle"}, 2, "takes no value"},
      {{"--html", t.Path("no/such/dir/page.html"), "needle", t.root()}, 2, "cannot write"},
  };
  for (const Case& c : cases) {
    std::string shown = c.args.empty() ? "(none)" : c.args[0] + " ...";
    ProcessResult r = Cli(c.args);
    EXPECT_EQ(r.exitCode, c.exit) << shown << "\n" << r.err;
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << shown << "\n" << r.err;
    if (c.exit == 2) {
      EXPECT_EQ(r.out, "") << shown;
      EXPECT_EQ(r.err.rfind("findlark-cli: ", 0), 0u) << shown << "\n" << r.err;
    }
  }
}

TEST(CliUsage, HelpAndVersion) {
  struct Case {
    std::vector<std::string> args;
    std::string outStart;
  };
  const Case cases[] = {
      {{"--version"}, "findlark-cli 6.1.0.1\n"},
      {{"-V"}, "findlark-cli 6.1.0.1\n"},
      {{"--help"}, "Usage: findlark-cli [OPTIONS] TEXT [FOLDER]\n"},
      {{"needle", "--bogus", "-h"}, "Usage: findlark-cli [OPTIONS] TEXT [FOLDER]\n"},
  };
  for (const Case& c : cases) {
    ProcessResult r = Cli(c.args);
    EXPECT_EQ(r.exitCode, 0) << c.args[0];
    EXPECT_EQ(r.out.rfind(c.outStart, 0), 0u) << c.args[0] << "\n" << r.out;
    EXPECT_EQ(r.err, "") << c.args[0];
  }
}

TEST(CliType, NamesIgnoreCaseAndUnknownListsAll) {
  TempTree t;
  t.Dir("report");
  t.File("report/report.pdf");
  t.File("report.txt");
  for (std::string name : {"pdf documents", "PDF DOCUMENTS", "Pdf Documents"}) {
    ProcessResult r = Cli({"report", t.root(), "--type", name});
    EXPECT_EQ(r.exitCode, 0) << name << r.err;
    EXPECT_EQ(r.out, t.Path("report/report.pdf") + "\n") << name;
  }
  ProcessResult folders = Cli({"-tfolders", "report", t.root()});
  EXPECT_EQ(folders.out, t.Path("report") + "\n");

  ProcessResult unknown = Cli({"report", t.root(), "--type=pdf"});
  EXPECT_EQ(unknown.exitCode, 2);
  EXPECT_NE(unknown.err.find("unknown type 'pdf'"), std::string::npos) << unknown.err;
  for (const char* n : kTypeNames) EXPECT_NE(unknown.err.find(n), std::string::npos) << n;
}

TEST(CliOutput, PathsAreAbsoluteQueryTrimmedAndFolded) {
  TempTree t;
  t.Dir("sub");
  t.File("sub/Needle.c");
  t.File("NEEDLE.txt");
  t.File("hay.txt");
  const std::multiset<std::string> want = {t.Path("sub/Needle.c"), t.Path("NEEDLE.txt")};
  struct Case {
    std::vector<std::string> args;
    std::string cwd;
  };
  const Case cases[] = {
      {{"  nEeDlE \t", t.root()}, ""},
      {{"needle"}, t.root()},  // FOLDER defaults to the current folder
      {{"needle", "."}, t.root()},
      {{"needle", "../sub/..", "--format=paths"}, t.Path("sub")},
  };
  for (const Case& c : cases) {
    ProcessResult r = Cli(c.args, c.cwd);
    EXPECT_EQ(r.exitCode, 0) << c.args.back() << r.err;
    EXPECT_EQ(Split(r.out, '\n'), want) << c.args.back();
  }
}

TEST(CliOutput, TsvEscapesAndPrint0KeepsOddNames) {
  TempTree t;
  const std::vector<std::string> names = {"tab\tx.txt", "new\nline.txt", "back\\slash.txt",
                                          "cr\rname.txt"};
  for (const std::string& n : names) t.File(n);
  t.Dir("txtdir");
  t.File("code.c", "first\nx\ty\\z\rw txt;\r\nlast txt\n");
  t.Stamp("txtdir");

  ProcessResult tsv = Cli({"txt", t.root(), "--format=tsv", "--contents"});
  EXPECT_EQ(tsv.exitCode, 0) << tsv.err;
  const std::string r = t.root();
  const std::string day = "\tJune 04, 2007\t";
  std::multiset<std::string> want = {
      "Documents\t" + r + "/tab\\tx.txt\ttab\\tx\t5 bytes" + day,
      "Documents\t" + r + "/new\\nline.txt\tnew\\nline\t5 bytes" + day,
      "Documents\t" + r + "/back\\\\slash.txt\tback\\\\slash\t5 bytes" + day,
      "Documents\t" + r + "/cr\\rname.txt\tcr\\rname\t5 bytes" + day,
      "Folders\t" + r + "/txtdir\ttxtdir\t" + day,
      "Source Code\t" + r + "/code.c\tcode\t29 bytes" + day + "x\\ty\\\\z\\rw txt;",
  };
  EXPECT_EQ(Split(tsv.out, '\n'), want);

  ProcessResult zero = Cli({"-0", "txt", t.root()});
  std::multiset<std::string> paths = {t.Path("txtdir")};
  for (const std::string& n : names) paths.insert(t.Path(n));
  EXPECT_EQ(Split(zero.out, '\0'), paths);
}

TEST(CliOutput, TreeByCategoryInLabelOrderThenStatus) {
  TempTree t;
  t.Dir("Plans");
  t.File("Plans/b-plan.txt");
  t.File("A-plan.txt");
  t.File("plan.jpg");
  t.File("esc\x1b]0;x\x07plan.txt");  // must not reach a terminal as an escape sequence
  const std::string want = "Documents (3)\n  A-plan  " + t.Path("A-plan.txt") + "\n  b-plan  " +
                           t.Path("Plans/b-plan.txt") + "\n  esc\\x1b]0;x\\x07plan  " +
                           t.Path("esc\\x1b]0;x\\x07plan.txt") + "\nPictures (1)\n  plan  " +
                           t.Path("plan.jpg") + "\nFolders (1)\n  Plans  " + t.Path("Plans") +
                           "\nSearch complete. 5 found.\n";

  ProcessResult forced = Cli({"--format=tree", "PLAN", t.root()});
  EXPECT_EQ(forced.out, want);
  EXPECT_EQ(forced.err, "Search complete. 5 found.\n");
  ProcessResult onTerminal = Cli({"PLAN", t.root()}, "", /*stdoutTerminal=*/true);
  EXPECT_EQ(onTerminal.out, want);
}

TEST(CliOutput, HtmlPageWrittenBesideStreamedOutput) {
  TempTree t;
  t.File("plan.txt");
  t.File("plan.jpg");
  ProcessResult r = Cli({"--html", t.Path("page.html"), "Plan", t.root(), "--format=tsv"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Split(r.out, '\n').size(), 2u);
  std::ifstream in(t.Path("page.html"), std::ios::binary);
  std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(page.find("Findlark Search Results for 'plan' (found 2)"), std::string::npos);
  EXPECT_NE(page.find("<b>Documents</b>"), std::string::npos);
  EXPECT_NE(page.find("<b>Pictures</b>"), std::string::npos);
  EXPECT_NE(page.find(t.Path("plan.jpg")), std::string::npos);
}

TEST(CliRun, ClosedPipeEndsQuietly) {
  TempTree t;  // some 180 KB of paths: more than the pipe holds once head has gone
  for (int d = 0; d < 10; ++d) {
    std::string dir = "dir" + std::to_string(d);
    t.Dir(dir);
    for (int f = 0; f < 400; ++f) {
      std::ofstream(t.Path(dir + "/hit-" + std::to_string(f) + ".txt"));
    }
  }
  ProcessSpec spec;
  spec.argv = {"/bin/bash", "-c",
               "'" + kCli + "' hit '" + t.root() + "' | head -1; echo \"status:${PIPESTATUS[0]}\""};
  ProcessResult r = RunProcess(spec);
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 2) << r.out;
  EXPECT_EQ(r.out.rfind(t.root() + "/dir", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\nstatus:0\n"), std::string::npos) << r.out;
}

// Ctrl-C while the walk is deep inside a huge file: what was found is printed, then 130.
TEST(CliRun, InterruptStopsPrintsWhatWasFoundAnd130) {
  TempTree t;
  t.File("aaa.txt", "");
  t.File("bbb.txt", "");
  // The walk takes entries in listing order: the first gets the match, the second becomes a
  // sparse terabyte that would take minutes to read.
  std::vector<std::string> order;
  DIR* dir = opendir(t.root().c_str());
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] != '.') order.push_back(e->d_name);
  }
  closedir(dir);
  ASSERT_EQ(order.size(), 2u);
  t.File(order[0], "needle\n");
  ASSERT_EQ(truncate(t.Path(order[1]).c_str(), off_t{1} << 40), 0);

  bool sent = false;
  ProcessSpec spec;
  spec.argv = {kCli, "needle", t.root(), "--contents"};
  spec.onOutput = [&](pid_t pid, const std::string& out) {
    if (!sent && out.find('\n') != std::string::npos) {
      kill(pid, SIGINT);
      sent = true;
    }
  };
  ProcessResult r = RunProcess(spec);
  EXPECT_FALSE(r.hung);
  EXPECT_TRUE(sent);
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_EQ(r.out, t.Path(order[0]) + "\n");
  EXPECT_NE(r.err.find("Search cancelled. 1 found."), std::string::npos) << r.err;
}

}  // namespace
}  // namespace findlark::testing
