// Runs the real findlark-cli over small trees and checks what a user or a script sees.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <set>
#include <vector>

#include "test_tree.h"

namespace findlark::testing {
namespace {

constexpr time_t kJune4th2007 = 1180958400;  // noon UTC; the runs use TZ=UTC

struct Outcome {
  int exit = -1;
  std::string out, err;
};

std::string Quote(const std::string& text) {  // for the shell, whatever the bytes
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs `script` in bash under TZ=UTC, its CLI standing for findlark-cli with `args` started in
// `cwd`; returns what the script leaves in the files out, err and status.
Outcome Exec(const std::vector<std::string>& args, const std::string& cwd = "/",
             std::string script = "CLI >out 2>err; echo $? >status") {
  TestTree io;
  std::string cli = "(cd " + Quote(cwd) + " && exec " + Quote(FINDLARK_CLI);
  for (const std::string& a : args) cli += " " + Quote(a);
  // CLIQ: the same command as one quoted word, for `script -c` (a terminal for the program).
  if (size_t at = script.find("CLIQ"); at != std::string::npos) {
    script.replace(at, 4, Quote(cli + ")"));
  } else {
    script.replace(script.find("CLI"), 3, cli + ")");
  }
  const std::string command = "cd " + Quote(io.root()) + " && TZ=UTC bash -c " + Quote(script);
  EXPECT_EQ(std::system(command.c_str()), 0) << script;
  return {std::stoi("0" + io.Read("status")), io.Read("out"), io.Read("err")};
}

// A terminal's output without the progress line, which a slow run shows (and clears) on it.
std::string WithoutProgress(const std::string& shown) {
  static const std::regex progress("\r?(Searching\\.\\.\\. [0-9]+ found so far\\.)?\x1b\\[K");
  return std::regex_replace(shown, progress, "");
}

std::multiset<std::string> Split(const std::string& text, char terminator) {
  std::multiset<std::string> parts;
  size_t start = 0;
  for (size_t end; (end = text.find(terminator, start)) != std::string::npos; start = end + 1)
    parts.insert(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "output does not end with its terminator";
  return parts;
}

TEST(Cli, ExitStatusAndMessages) {
  TestTree t;
  t.Write("needle.txt");
  t.Write("-dash.txt");
  t.Mkfifo("fifo");  // a page written there would block or be lost
  const struct {
    std::vector<std::string> args;
    int exit;
    std::string has;  // in stderr, or in stdout for help and version
  } cases[] = {
      {{"needle", t.root()}, 0, "Search complete. 1 found."},
      {{"zebra", t.root()}, 1, "Search complete. 0 found."},
      {{"--", "-dash", t.root()}, 0, "1 found."},
      {{"-dash", t.root()}, 2, "unrecognized option '-d'"},
      {{" \t ", t.root()}, 2, "the search text is empty"},
      {{}, 2, "missing search text"},
      {{"needle", t.root(), "--all-drives"}, 2, "not both"},
      {{"needle", t.root(), ""}, 2, "the folder name is empty"},
      {{"--format=xml", "needle"}, 2, "unknown format 'xml'"},
      {{"-0", "--format", "tsv", "needle"}, 2, "--print0 goes with --format=paths"},
      {{"needle", "--type"}, 2, "'--type' needs a value"},
      {{"--contents=yes", "needle"}, 2, "takes no value"},
      {{"--html", t.Path("no/dir/page.html"), "needle", t.root()}, 2, "cannot write"},
      {{"--html", t.Path("fifo"), "needle", t.root()}, 2, "fifo': not a regular file"},
      {{"--color=sometimes", "needle"}, 2, "use auto, always or never"},
      {{"--type=\x1b[2J", "needle"}, 2, "unknown type '\\x1b[2J'"},
      {{"--size", "10MB", "needle"}, 2, "invalid size '10MB' for --size; use +N"},
      {{"-S", "+10 parsecs", "needle"}, 2, "invalid size '+10 parsecs' for -S"},
      {{"--changed-within=soon", "needle"}, 2, "invalid time 'soon' for --changed-within"},
      {{"--changed-before", "2026-02-30", "needle"}, 2, "invalid time '2026-02-30'"},
      {{"--exclude=", "needle"}, 2, "option --exclude needs a pattern"},
      {{"needle", t.root(), "-x", "--word", "-E", "*.txt", "--size=-1KB"}, 1, "0 found."},
      {{"needle", t.root(), "--changed-within", "1w", "-S", "-1KB"}, 0, "1 found."},
      {{"-V"}, 0, "findlark-cli 6.1.0.1\n"},
      {{"needle", "--bogus", "-h"}, 0, "Usage: findlark-cli [OPTIONS] TEXT [FOLDER...]\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    const Outcome r = Exec(c.args);
    EXPECT_EQ(r.exit, c.exit) << r.err;
    EXPECT_NE((r.out + r.err).find(c.has), std::string::npos) << r.out << r.err;
    EXPECT_TRUE(c.exit != 2 || (r.out.empty() && r.err.starts_with("findlark-cli: "))) << r.err;
  }
}

TEST(Cli, TypeNamesIgnoreCaseAndAnUnknownOneListsAll) {
  TestTree t;
  t.Write("report/report.pdf");
  t.Write("report.txt");
  for (std::string name : {"pdf documents", "PDF Documents"}) {
    const Outcome r = Exec({"report", t.root(), "--type", name});
    EXPECT_EQ(r.exit, 0) << name << r.err;
    EXPECT_EQ(r.out, t.Path("report/report.pdf") + "\n") << name;
  }
  EXPECT_EQ(Exec({"-tfolders", "report", t.root()}).out, t.Path("report") + "\n");

  const Outcome unknown = Exec({"report", t.root(), "--type=pdf"});
  for (const char* n : {"Music", "PDF Documents", "Source Code", "Other"})
    EXPECT_NE(unknown.err.find(n), std::string::npos) << n;
}

TEST(Cli, PathsAreAbsoluteQueryTrimmedAndFolded) {
  TestTree t;
  t.Write("sub/Needle.c");
  t.Write("NEEDLE.txt");
  t.Write("hay.txt");
  const std::multiset<std::string> want = {t.Path("sub/Needle.c"), t.Path("NEEDLE.txt")};
  EXPECT_EQ(Split(Exec({"  nEeDlE \t", t.root()}).out, '\n'), want);
  EXPECT_EQ(Split(Exec({"needle", "../sub/.."}, t.Path("sub")).out, '\n'), want);
  EXPECT_EQ(Split(Exec({"needle"}, t.root()).out, '\n'), want);  // the current folder
}

TEST(Cli, TsvEscapesAndPrint0KeepsOddNames) {
  TestTree t;
  const std::vector<std::string> names = {"tab\tx.txt", "new\nline.txt", "back\\slash.txt",
                                          "cr\rname.txt"};
  for (const std::string& n : names) t.Write(n, "hello", kJune4th2007);
  t.MkdirP("txtdir");
  t.Stamp("txtdir", kJune4th2007);
  t.Write("code.c", "first\nx\ty\\z\rw txt;\r\nlast txt\n", kJune4th2007);

  const Outcome tsv = Exec({"txt", t.root(), "--format=tsv", "--contents"});
  EXPECT_EQ(tsv.exit, 0) << tsv.err;
  const std::string r = t.root(), day = "\tJune 04, 2007\t";
  EXPECT_EQ(Split(tsv.out, '\n'),
            (std::multiset<std::string>{
                "Documents\t" + r + "/tab\\tx.txt\ttab\\tx\t5 bytes" + day,
                "Documents\t" + r + "/new\\nline.txt\tnew\\nline\t5 bytes" + day,
                "Documents\t" + r + "/back\\\\slash.txt\tback\\\\slash\t5 bytes" + day,
                "Documents\t" + r + "/cr\\rname.txt\tcr\\rname\t5 bytes" + day,
                "Folders\t" + r + "/txtdir\ttxtdir\t" + day,
                "Source Code\t" + r + "/code.c\tcode\t29 bytes" + day + "x\\ty\\\\z\\rw txt;"}));

  std::multiset<std::string> paths = {t.Path("txtdir")};
  for (const std::string& n : names) paths.insert(t.Path(n));
  EXPECT_EQ(Split(Exec({"-0", "txt", t.root()}).out, '\0'), paths);
}

TEST(Cli, TreeByCategoryInLabelOrderStatusOnStderr) {
  TestTree t;
  t.Write("Plans/b-plan.txt");
  t.Write("A-plan.txt");
  t.Write("plan.jpg");
  t.Write("esc\x1b]0;x\x07plan.txt");  // must not reach a terminal as an escape sequence
  const std::string want = "Documents (3)\n  A-plan  " + t.Path("A-plan.txt") + "\n  b-plan  " +
                           t.Path("Plans/b-plan.txt") + "\n  esc\\x1b]0;x\\x07plan  " +
                           t.Path("esc\\x1b]0;x\\x07plan.txt") + "\nPictures (1)\n  plan  " +
                           t.Path("plan.jpg") + "\nFolders (1)\n  Plans  " + t.Path("Plans") + "\n";
  const Outcome forced = Exec({"--format=tree", "PLAN", t.root(), "--html", t.Path("p.html")});
  EXPECT_EQ(forced.out, want);
  EXPECT_EQ(forced.err, "Search complete. 5 found.\n");
  const std::string page = t.Read("p.html");  // the page is written beside the streamed output
  EXPECT_NE(page.find("Findlark Search Results for 'plan' (found 5)"), std::string::npos);
  EXPECT_NE(page.find("<b>Pictures</b>"), std::string::npos);
}

TEST(Cli, ClosedPipeEndsQuietly) {
  TestTree t;  // some 180 KB of paths: more than the pipe holds once head has gone
  for (int f = 0; f < 4000; ++f)
    t.Write("dir" + std::to_string(f % 10) + "/hit-" + std::to_string(f) + ".txt");
  const Outcome r =
      Exec({"hit", t.root()}, "/", "CLI 2>err | head -1 >out; echo ${PIPESTATUS[0]} >status");
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind(t.root() + "/dir", 0), 0u) << r.out;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
}

// Every FOLDER is searched in the order given; one that cannot be searched is named, and the
// run ends with 2 once the others are done.
TEST(Cli, FoldersInOrderAndTroubleExitsTwo) {
  TestTree t;
  t.Write("a/needle-a.txt");
  t.Write("b/needle-b.txt");
  t.Write("locked/needle.txt");
  t.Write("file.txt");
  ASSERT_EQ(chmod(t.root().c_str(), 0755), 0);
  ASSERT_EQ(chmod(t.Path("locked").c_str(), 0), 0);
  const std::string a = t.Path("a/needle-a.txt\n"), b = t.Path("b/needle-b.txt\n");
  const auto cannot = [&](const char* name, int error) {
    return "findlark-cli: cannot open folder '" + t.Path(name) + "': " + std::strerror(error) +
           "\n";
  };
  const std::string none = "Search complete. 0 found.\n";
  const struct {
    std::vector<std::string> folders;
    int exit;
    std::string out, err;
  } cases[] = {
      {{"b", "a"}, 0, b + a, "Search complete. 2 found.\n"},
      {{"a", "b", "a"}, 0, a + b + a, "Search complete. 3 found.\n"},
      {{"gone"}, 2, "", cannot("gone", ENOENT) + none},
      {{"file.txt"}, 2, "", "findlark-cli: '" + t.Path("file.txt") + "' is not a folder\n" + none},
      {{"locked"}, 2, "", cannot("locked", EACCES) + none},
      {{"a", "gone", "b"}, 2, a + b, cannot("gone", ENOENT) + "Search complete. 2 found.\n"},
  };
  // Root may list anything; run as nobody then.
  const std::string as =
      geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  for (const auto& c : cases) {
    std::vector<std::string> args = {"needle"};
    args.insert(args.end(), c.folders.begin(), c.folders.end());
    const Outcome r = Exec(args, t.root(), as + "bash -c CLIQ >out 2>err; echo $? >status");
    SCOPED_TRACE(c.folders.front() + " ... " + c.folders.back());
    EXPECT_EQ(r.exit, c.exit);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
  // The tree holds every folder's hits as one run, and --quiet leaves out the status line.
  const Outcome tree = Exec({"-q", "--format=tree", "needle", "b", "gone", "a"}, t.root());
  EXPECT_EQ(tree.exit, 2);
  EXPECT_EQ(tree.out, "Documents (2)\n  needle-a  " + t.Path("a/needle-a.txt") + "\n  needle-b  " +
                          t.Path("b/needle-b.txt") + "\n");
  EXPECT_EQ(tree.err, cannot("gone", ENOENT));
}

// Each JSON line, read by Python's own parser: the exact bytes of path and line (from the
// base64 field when there is one), category, size and date. It also checks that the lossy
// text is what the bytes give with U+FFFD for each bad byte, that no base64 field comes with
// valid UTF-8, and that no control character is written raw (a terminal would act on it).
constexpr const char* kReadJsonLines = R"(python3 -c '
import base64, json, sys
for text in sys.stdin.buffer.read().split(b"\n")[:-1]:
    assert not any(c < 32 or c == 127 for c in text) and b"\xc2\x9b" not in text, text
    o = json.loads(text)
    def exact(name):
        if o.get(name) is None: return None
        raw = o[name].encode()
        if name + "_base64" in o:
            raw = base64.b64decode(o[name + "_base64"], validate=True)
            assert raw.decode("utf-8", "replace") == o[name], name
            assert raw != o[name].encode(), name
        return raw
    print(repr(exact("path").rsplit(b"/", 1)[1]), o["category"], o["size"], o["modified"],
          repr(exact("line")), sorted(o))
')";

TEST(Cli, JsonLinesKeepEveryNameAndLine) {
  TestTree t;
  for (const char* n : {"bad\xff\xfe.txt", "new\nline.txt", "quote\"back\\slash.txt",
                        "ctl\x01\x1b\x7f\xc2\x9b.txt", "caf\xc3\xa9.txt"})
    t.Write(n, "hello", kJune4th2007);
  t.MkdirP("txtdir");
  t.Stamp("txtdir", kJune4th2007);
  t.Write("code.c", "first\nbad \xff txt\ttab\r\n", kJune4th2007);
  const std::string keys = "['category', 'line', 'modified', 'path', 'size']";
  const std::string keys64 = "['category', 'line', 'modified', 'path', 'path_base64', 'size']";
  const std::string day = " 5 2007-06-04T12:00:00+00:00 None ";
  const struct {
    std::string zone;
    std::multiset<std::string> want;
  } cases[] = {
      {"UTC",
       {"b'bad\\xff\\xfe.txt' Documents" + day + keys64, "b'new\\nline.txt' Documents" + day + keys,
        "b'quote\"back\\\\slash.txt' Documents" + day + keys,
        "b'ctl\\x01\\x1b\\x7f\\xc2\\x9b.txt' Documents" + day + keys,
        "b'caf\\xc3\\xa9.txt' Documents" + day + keys,
        "b'txtdir' Folders None 2007-06-04T12:00:00+00:00 None " + keys,
        "b'code.c' Source Code 21 2007-06-04T12:00:00+00:00 b'bad \\xff txt\\ttab' "
        "['category', 'line', 'line_base64', 'modified', 'path', 'size']"}},
      // A zone half an hour off, west of Greenwich in POSIX terms: 17:30 at +05:30.
      {"XST-5:30", {"b'txtdir' Folders None 2007-06-04T17:30:00+05:30 None " + keys}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.zone);
    const std::vector<std::string> args =
        c.zone == "UTC" ? std::vector<std::string>{"txt", t.root(), "--format=json", "-c"}
                        : std::vector<std::string>{"txtdir", t.root(), "--format=json"};
    const Outcome r = Exec(args, "/",
                           "export TZ=" + c.zone + "; CLI >json 2>err; echo $? >status; " +
                               kReadJsonLines + " <json >out 2>>err");
    EXPECT_EQ(r.exit, 0) << r.err;
    EXPECT_EQ(Split(r.out, '\n'), c.want) << r.err;
  }
}

// On a terminal no name sends a control sequence, whatever the format; through a pipe every
// format but the tree gives the exact bytes.
TEST(Cli, NamesReachATerminalEscapedAndAPipeExact) {
  TestTree t;
  // ESC, BEL, DEL, and CSI both as UTF-8 (U+009B) and as a raw byte.
  // And a right-to-left override that would show "hit.jpg".
  const std::vector<std::string> names = {"esc\x1b]0;x\x07hit.txt", "csi\302\2332Jhit.txt",
                                          "raw\2332Jhit.txt", "del\x7fhit.txt", "hit\u202Egpj.js"};
  for (const std::string& n : names) t.Write(n);
  for (const char* format : {"--format=paths", "--format=tsv", "--format=tree", "-0"}) {
    SCOPED_TRACE(format);
    Outcome shown =
        Exec({format, "--color=never", "hit", t.root()}, "/", "script -qec CLIQ /dev/null >out");
    shown.out = WithoutProgress(shown.out);
    EXPECT_NE(shown.out.find("esc\\x1b]0;x\\x07hit"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("hit<U+202E>gpj"), std::string::npos) << shown.out;
    for (const char* raw : {"\x1b", "\x9b", "\x7f", "\x07", "\u202E"}) {
      EXPECT_EQ(shown.out.find(raw), std::string::npos) << shown.out;
    }
    const Outcome piped = Exec({format, "hit", t.root()});
    if (std::string_view(format) == "--format=tree") continue;
    for (const std::string& n : names) {
      EXPECT_NE(piped.out.find(t.Path(n)), std::string::npos) << n;
    }
  }
}

TEST(Cli, ColorOnlyForTheTreeAndOnlyWhenWanted) {
  TestTree t;
  t.Write("Plans/plan.txt");
  const std::string bold = "\x1b[1mDocuments (1)\x1b[0m";
  const std::string blue = "\x1b[01;34m" + t.Path("Plans/") + "\x1b[0mplan.txt";
  const struct {
    std::string how;  // how the program is started
    std::vector<std::string> args;
    std::vector<std::string> want;  // empty: no escape sequence at all
  } cases[] = {
      {"CLI >out 2>/dev/null", {"--color=always", "--format=tree"}, {bold, blue}},
      {"export TERM=xterm; script -qec CLIQ /dev/null >out", {}, {bold, blue}},
      {"NO_COLOR=1 script -qec CLIQ /dev/null >out", {}, {}},
      {"export NO_COLOR=1; CLI >out 2>/dev/null", {"--color=always", "--format=tree"}, {bold}},
      {"script -qec CLIQ /dev/null >out", {"--color=never"}, {}},
      {"script -qec CLIQ /dev/null >out", {"--color=always", "--format=paths"}, {}},
      {"CLI >out 2>/dev/null", {"--color=always", "--format=tsv"}, {}},
      {"export LS_COLORS='rs=0:di=01;32:*.txt=31'; CLI >out 2>/dev/null",
       {"--color=always", "--format=tree"},
       {"\x1b[01;32m" + t.Path("Plans") + "\x1b[0m"}},
      {"export LS_COLORS='di=5;1m\x1b[2J'; CLI >out 2>/dev/null",
       {"--color=always", "--format=tree"},
       {blue}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"plan", t.root()});
    Outcome r = Exec(args, "/", c.how);
    r.out = WithoutProgress(r.out);
    SCOPED_TRACE(c.how + " " + args.front() + "\n" + r.out);
    for (const std::string& part : c.want) EXPECT_NE(r.out.find(part), std::string::npos) << part;
    if (c.want.empty()) {
      EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    }
    EXPECT_EQ(r.out.find("\x1b[2J"), std::string::npos);
  }
}

// Ctrl-C while the walk is deep inside a huge file: what was found is printed, then 130.
TEST(Cli, InterruptPrintsWhatWasFoundAndExits130) {
  TestTree t;
  t.Write("aaa.txt", "");
  t.Write("bbb.txt", "");
  // The walk takes entries in listing order: the first gets the match, the second becomes a
  // sparse terabyte that would take minutes to read.
  std::vector<std::string> order;
  for (const auto& e : std::filesystem::directory_iterator(t.root())) order.push_back(e.path());
  std::ofstream(order[0]) << "needle\n";
  ASSERT_EQ(truncate(order[1].c_str(), off_t{1} << 40), 0);

  // Job control on, or the shell would start the program with Ctrl-C ignored.
  const Outcome r = Exec({"needle", t.root(), "--contents"}, "/",
                         "set -m; CLI >out 2>err & until [ -s out ]; do sleep 0.01; done; "
                         "kill -INT $!; wait $!; echo $? >status");
  EXPECT_EQ(r.exit, 130) << r.err;
  EXPECT_EQ(r.out, order[0] + "\n");
  EXPECT_NE(r.err.find("Search cancelled. 1 found."), std::string::npos) << r.err;
}

// The stand-in extractor says "<what> blocked Kingfisher" for "%PDF-<what>", or crashes.
TEST(CliPdf, PdfTextOnlyWithPdfAndFailuresCountedOnStderr) {
  TestTree t;
  t.Write("a.pdf", "%PDF-plain\n");
  t.Write("b.pdf", "%PDF-crash\n");
  const std::string standIn = "export FINDLARK_PDF_EXTRACTOR=" FINDLARK_PDF_STANDIN "; ";
  const std::string missing = "export FINDLARK_PDF_EXTRACTOR=/nonexistent; ";
  const std::string script = "CLI >out 2>err; echo $? >status";
  const struct {
    std::string env, option;
    int exit;
    std::string out, err;
  } cases[] = {
      {standIn, "--pdf", 0, t.Path("a.pdf") + "\n",
       "1 PDF document was not read to the end (damaged, too large or too slow)"},
      {standIn, "-c", 1, "", "0 found."},
      {missing, "--pdf", 1, "", "pdftotext is not installed"},
  };
  for (const auto& c : cases) {
    const Outcome o = Exec({c.option, "kingfisher", t.root()}, "/", c.env + script);
    EXPECT_EQ(o.exit, c.exit) << c.option << o.err;
    EXPECT_EQ(o.out, c.out) << c.option;
    EXPECT_NE(o.err.find(c.err), std::string::npos) << c.option << o.err;
  }
}

}  // namespace
}  // namespace findlark::testing
