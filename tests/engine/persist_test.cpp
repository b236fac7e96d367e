// The settings file and the exported results page.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <random>

#include "persist/atomic_file.h"
#include "persist/html_export.h"
#include "persist/options_file.h"
#include "persist/settings.h"
#include "persist/text_escape.h"
#include "results/display_text.h"
#include "results/hit_info.h"
#include "results/search_results.h"
#include "test_tree.h"

namespace findlark {
namespace {

TEST(Settings, FirstLineGivesFlagFolderAndNameWhateverTheFileHolds) {
  const struct {
    std::string file;
    bool contents;
    std::string folder, name;
  } cases[] = {
      {"1\r\n", true, "", ""},
      {"0|/\r\n", false, "/", "/"},
      {"1|/home/ann/Docs\r\n", true, "/home/ann/Docs", "Docs"},
      {"1|Docs", true, "Docs", "Docs"},
      {"x|/srv/A\r\n", false, "/srv/A", "A"},
      {"1;/srv/A\n", true, "/srv/A", "A"},
      {"1| /a b \r\n0|/other\r\n", true, " /a b ", "a b "},
      {"\r\n1|/later\r\n", false, "", ""},
      {"1|/" + std::string(200000, 'h') + "\r\n", false, "", ""},  // ignored whole
  };
  testing::TestTree dir;
  for (const auto& c : cases) {
    dir.Write("settings.ini", c.file);
    Settings s;
    ReadSettings(dir.Path("settings.ini"), s);
    EXPECT_EQ(std::tie(s.searchContents, s.searchFolder, s.folderName),
              std::tie(c.contents, c.folder, c.name))
        << c.file;
  }
  dir.MkdirP("folder");
  dir.Mkfifo("fifo");  // must not block waiting for a writer
  for (const char* name : {"missing", "folder", "fifo"}) {
    Settings s{true, "/keep", "keep"};
    ReadSettings(dir.Path(name), s);
    EXPECT_TRUE(s.searchContents && s.searchFolder == "/keep") << name;
  }
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    std::string bytes(rng() % 64, '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    dir.Write("random", bytes);
    Settings s;
    ReadSettings(dir.Path("random"), s);
    EXPECT_EQ(s.searchContents, !bytes.empty() && bytes[0] == '1');
  }
}

TEST(Settings, WritesOneLine) {
  testing::TestTree dir;
  dir.Write("settings.ini", "0|/old\r\nsecond line\r\n");
  chmod(dir.Path("settings.ini").c_str(), 0640);
  ASSERT_TRUE(WriteSettings(dir.Path("settings.ini"), {true, "/home/ann/My Docs", ""}));
  EXPECT_EQ(dir.Read("settings.ini"), "1|/home/ann/My Docs\r\n");
  struct stat st {};
  stat(dir.Path("settings.ini").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Folders that the one-line file cannot hold are not kept at all.
  for (const char* folder : {"", "/a\nb", "/a\n", "/a\r", "/a\r\n/b"})
    EXPECT_EQ(SettingsLine({false, folder, ""}), "0|\r\n") << folder;
  EXPECT_EQ(SettingsLine({false, "/a\rb", ""}), "0|/a\rb\r\n");
}

TEST(OptionsFile, KeepsEveryKeyAndWritesItBack) {
  testing::TestTree dir;
  dir.Write("options.ini",
            "# comment\r\nsearch_pdf=1\r\nno equals sign\n\nfuture_key=a=b \nsearch_pdf=0");
  OptionsFile options;
  options.Read(dir.Path("options.ini"));
  EXPECT_FALSE(options.GetFlag(kOptionSearchPdf));  // the last line for a key counts
  EXPECT_EQ(options.Get("future_key"), "a=b ");
  EXPECT_EQ(options.Get("missing", "dflt"), "dflt");
  options.SetFlag(kOptionSearchPdf, true);
  options.Set("bad", "line\nbreak");
  options.Set("a=b", "x");
  ASSERT_TRUE(options.Write(dir.Path("options.ini")));
  EXPECT_EQ(dir.Read("options.ini"), "future_key=a=b \nsearch_pdf=1\n");
  dir.Write("big", "search_pdf=1\n" + std::string(2 << 20, '#'));
  dir.Mkfifo("fifo");
  for (const char* name : {"missing", "big", "fifo"}) {
    OptionsFile none;
    none.Read(dir.Path(name));
    EXPECT_EQ(none.Text(), "") << name;
  }
}

const std::string kStamp = "Sunday, June 24, 2007 03:07 PM";
constexpr time_t kStampTime = 1182697620;  // kStamp in UTC

std::string ReadGolden(const std::string& name) {
  std::ifstream in(std::string(FINDLARK_GOLDEN_DIR) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in) << name;
  return {std::istreambuf_iterator<char>(in), {}};
}

// A whole golden page: its first line, the style sheet every page shares, then its own rest.
std::string Golden(const std::string& name) {
  const std::string page = ReadGolden(name);
  const size_t second = page.find('\n') + 1;
  return page.substr(0, second) + ReadGolden("page_style.css") + page.substr(second);
}

struct PageCase {
  const char* golden;
  std::string query;
  std::vector<ResultRecord> hits;
};

std::vector<PageCase> PageCases() {
  return {
      {"worked_run.html",
       "plan",
       {{"/d/Work/plan.txt", "2 KB", "June 04, 2007", "", "txt", kDocuments},
        {"/d/Pics/plan map.jpg", "1 MB", "May 30, 2007", "", "jpg", kPictures},
        {"/d/Work/Plans", "", "June 01, 2007", "", "", kFolders}}},
      {"no_hits.html", "", {}},
      // Markup, invalid UTF-8 (stray bytes, an overlong form, a surrogate) and controls (ESC,
      // BEL, the C1 CSI) and a right-to-left override in names: the page stays valid UTF-8, the
      // override shows as a mark, and the links are exact.
      {"odd_names.html",
       "<b>&'",
       {{"/t/<script>x&'y\".htm", "", "", "", "htm", kWebpages},
        {"/t/esc\x1b[31mred\x07.txt", "", "", "", "txt", kDocuments},
        {"/t/a #1?%20\xC3\xA9.txt", "", "", "", "txt", kDocuments},
        {"/t/c1\xC2\x9Bx.txt", "", "", "", "txt", kDocuments},
        {"/t/bad\xFF\xFE name.txt", "", "", "", "txt", kDocuments},
        {"/t/ov\xC0\xAFx\xED\xA0\x80.txt", "", "", "", "txt", kDocuments},
        {"/t/invoice\u202Etxt.exe", "", "", "", "exe", kApplications}}},
  };
}

// The page in memory and the page streamed to a file both match the golden pages.
TEST(ResultsPage, MatchesTheGoldenPagesInMemoryAndStreamed) {
  setenv("TZ", "UTC", 1);
  tzset();
  testing::TestTree dir;
  for (PageCase& c : PageCases()) {
    SCOPED_TRACE(c.golden);
    SearchResults r;
    if (!c.hits.empty()) r.ResetResults();  // a page before the first search has no nodes
    r.RecordHits(c.hits);
    const std::string want = Golden(c.golden);
    EXPECT_EQ(BuildResultsPage(r, c.query, kStamp), want);
    std::string error;
    ASSERT_TRUE(WriteResultsPage(dir.Path("page.html"), r, c.query, kStampTime, &error)) << error;
    EXPECT_EQ(dir.Read("page.html"), want);
  }
}

// A page far larger than one streamed piece arrives whole and in order.
TEST(ResultsPage, ABigPageStreamsInPiecesThatAddUpToTheWholePage) {
  SearchResults r;
  r.ResetResults();
  std::vector<ResultRecord> hits;
  for (int i = 0; i < 6000; ++i) {
    const std::string n = std::to_string(i * 7919 % 6000);
    hits.push_back({"/big/" + n + ".txt", n + " bytes", "June 04, 2007", "", "txt",
                    static_cast<FileCategory>(i % kCategoryCount)});
  }
  r.RecordHits(hits);
  std::string streamed;
  size_t pieces = 0, largest = 0;
  ASSERT_TRUE(StreamResultsPage(r, "q", kStamp, [&](std::string_view piece) {
    streamed += piece;
    ++pieces;
    largest = std::max(largest, piece.size());
    return true;
  }));
  EXPECT_EQ(streamed, BuildResultsPage(r, "q", kStamp));
  EXPECT_GT(pieces, 4u);
  EXPECT_LT(largest, streamed.size() / 2);
  // A sink that fails ends the page at once.
  pieces = 0;
  EXPECT_FALSE(StreamResultsPage(r, "q", kStamp, [&](std::string_view) { return ++pieces > 2; }));
  EXPECT_EQ(pieces, 1u);

  testing::TestTree dir;
  std::string error;
  setenv("TZ", "UTC", 1);
  tzset();
  ASSERT_TRUE(WriteResultsPage(dir.Path("big.html"), r, "q", kStampTime, &error)) << error;
  EXPECT_EQ(dir.Read("big.html"), streamed);
}

// Bidirectional and invisible characters in a name are shown as marks by every writer meant
// for a person; the page's link keeps the exact bytes.
TEST(VisibleNames, EveryWriterShowsDisguisingCharactersAsMarks) {
  struct Case {
    std::string name, shown, html;
  };
  const Case cases[] = {
      {"invoice\u202Egpj.js", "invoice<U+202E>gpj.js", "invoice&lt;U+202E&gt;gpj.js"},
      {"re\u200Dport.txt", "re<U+200D>port.txt", "re&lt;U+200D&gt;port.txt"},
      {"\u200E\u200F\u061C\u202A\u2066\u2069", "<U+200E><U+200F><U+061C><U+202A><U+2066><U+2069>",
       "&lt;U+200E&gt;&lt;U+200F&gt;&lt;U+061C&gt;&lt;U+202A&gt;&lt;U+2066&gt;&lt;U+2069&gt;"},
      {"\u200B\u2060\uFEFF\u00AD", "<U+200B><U+2060><U+FEFF><U+00AD>",
       "&lt;U+200B&gt;&lt;U+2060&gt;&lt;U+FEFF&gt;&lt;U+00AD&gt;"},
      // Neighbours of the ranges, and letters of right-to-left scripts, stay as they are.
      {"\u200A\u2010\u2029\u202F\u2065\u206A\u05D0", "\u200A\u2010\u2029\u202F\u2065\u206A\u05D0",
       "\u200A\u2010\u2029\u202F\u2065\u206A\u05D0"},
      // A control is a mark on the screen; the page keeps its \xNN. Stray bytes stay for the
      // display to replace.
      {"a\nb\xFF", "a<U+000A>b\xFF", "a\\x0ab\xEF\xBF\xBD"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(VisibleName(c.name), c.shown);
    std::string html;
    AppendHtmlText(html, c.name);
    EXPECT_EQ(html, c.html);
  }

  SearchResults r;
  r.ResetResults();
  std::vector<ResultRecord> hits = {
      {"/t/invoice\u202Etxt.exe", "1 KB", "June 04, 2007", "", "exe", kApplications}};
  r.RecordHits(hits);
  EXPECT_EQ(InfoTipText(r, 0),
            "/t/invoice<U+202E>txt.exe\n\nSize: 1 KB\nLast Modified: June 04, 2007");
}

// Both files are replaced whole or not at all, with the reason reported.
TEST(AtomicWrites, FailuresKeepTheOldFileAndLeaveNoTemporary) {
  testing::TestTree dir;
  SearchResults r;
  const std::string page = Golden("no_hits.html");
  dir.Write("page.html", page);
  dir.Write("settings.ini", "0|/old\r\n");
  std::string error;
  // A file size limit makes the writes fail even for root.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 16;
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  const bool pageWritten = WriteResultsPage(dir.Path("page.html"), r, "q2", 0, &error);
  const bool settingsWritten =
      WriteSettings(dir.Path("settings.ini"), {true, "/a/long/folder", ""});
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  EXPECT_FALSE(pageWritten || settingsWritten);
  EXPECT_EQ(error, std::strerror(EFBIG));
  EXPECT_EQ(dir.Read("page.html"), page);
  EXPECT_EQ(dir.Read("settings.ini"), "0|/old\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 2);
}

// A link names the file the user meant: that file is replaced, beside itself, and the link
// stays a link, even when it dangles or points through another link.
TEST(AtomicWrites, ThroughALinkTheTargetIsWrittenAndTheLinkKept) {
  const struct {
    const char* link;
    const char* pointsTo;  // relative to the scratch folder, or absolute when it starts "/"
    const char* target;    // the file that must hold the new bytes
  } cases[] = {
      {"to-file", "real/file", "real/file"},
      {"dangling", "real/new", "real/new"},
      {"chain", "to-file", "real/file"},
      {"real/relative", "../elsewhere/rel", "elsewhere/rel"},
      {"absolute", "/ABS/real/abs", "real/abs"},
  };
  for (int writer = 0; writer < 2; ++writer) {
    testing::TestTree dir;
    dir.Write("real/file", "old");
    dir.MkdirP("elsewhere");
    for (const auto& c : cases) {
      SCOPED_TRACE(c.link);
      std::string to = c.pointsTo;
      if (to.starts_with("/ABS/")) to = dir.Path(to.substr(5));
      dir.Symlink(to, c.link);
      const std::string bytes =
          writer == 0 ? SettingsLine({true, c.link, ""})
                      : BuildResultsPage(SearchResults{}, c.link, FormatExportStamp(0));
      std::string error;
      ASSERT_TRUE(writer == 0
                      ? WriteSettings(dir.Path(c.link), {true, c.link, ""})
                      : WriteResultsPage(dir.Path(c.link), SearchResults{}, c.link, 0, &error))
          << error;
      EXPECT_EQ(dir.Read(c.target), bytes);
      EXPECT_TRUE(std::filesystem::is_symlink(dir.Path(c.link)));
    }
    // Nothing but the links and their targets: no temporaries anywhere.
    for (const char* folder : {"", "real", "elsewhere"}) {
      for (const auto& e : std::filesystem::directory_iterator(dir.Path(folder))) {
        EXPECT_FALSE(e.path().filename().string().starts_with(".")) << e.path();
      }
    }
  }
  testing::TestTree dir;
  dir.Symlink("loop", "loop");
  EXPECT_FALSE(WriteSettings(dir.Path("loop"), {}));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("loop")));
}

// The check made before a long search gives the reason the write would fail, and leaves
// nothing behind.
TEST(AtomicWrites, CheckWritableNamesTheReason) {
  testing::TestTree dir;
  dir.Write("file.html", "keep");
  dir.MkdirP("folder");
  dir.Mkfifo("fifo");
  dir.Symlink("gone/x.html", "dangling-into-nothing");
  dir.Symlink("new.html", "dangling");
  const struct {
    std::string path;
    std::string error;  // empty: writable
  } cases[] = {
      {dir.Path("file.html"), ""},
      {dir.Path("new.html"), ""},
      {dir.Path("dangling"), ""},
      {dir.Path("folder"), std::strerror(EISDIR)},
      {dir.Path("fifo"), "not a regular file"},
      {"/dev/full", "not a regular file"},
      {dir.Path("gone/out.html"), std::strerror(ENOENT)},
      {dir.Path("dangling-into-nothing"), std::strerror(ENOENT)},
      {"", std::strerror(ENOENT)},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(CheckWritable(c.path, &error), c.error.empty()) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
  }
  EXPECT_EQ(dir.Read("file.html"), "keep");
  EXPECT_TRUE(std::filesystem::is_fifo(dir.Path("fifo")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 5);
}

}  // namespace
}  // namespace findlark
