// The settings file and the exported results page.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <random>

#include "cases.h"
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
  testing::TestTree dir;
  for (const auto& c : testing::Cases("settings_read.tsv", 4)) {
    dir.Write("settings.ini", c[0]);
    Settings s;
    ReadSettings(dir.Path("settings.ini"), s);
    EXPECT_EQ(std::tie(s.searchContents, s.searchFolder, s.folderName),
              std::make_tuple(c[1] == "contents", c[2], c[3]))
        << c[0];
  }
  dir.Write("settings.ini", "1|/" + std::string(200000, 'h') + "\r\n");  // ignored whole
  Settings huge;
  ReadSettings(dir.Path("settings.ini"), huge);
  EXPECT_EQ(std::tie(huge.searchContents, huge.searchFolder, huge.folderName),
            std::make_tuple(false, "", ""));
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
  EXPECT_EQ(std::filesystem::status(dir.Path("settings.ini")).permissions(),
            std::filesystem::perms(0640));
  for (const auto& c : testing::Cases("settings_lines.tsv", 2))
    EXPECT_EQ(SettingsLine({false, c[0], ""}), c[1]) << c[0];
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

// The page in memory and the page streamed to a file both match the golden pages.
TEST(ResultsPage, MatchesTheGoldenPagesInMemoryAndStreamed) {
  testing::TestTree dir;
  std::map<std::string, std::pair<std::string, std::vector<ResultRecord>>> pages;
  for (const auto& c : testing::Cases("pages.tsv", 7)) {
    pages[c[0]].first = c[1];
    if (!c[2].empty())
      pages[c[0]].second.push_back({c[2], c[3], c[4], "", c[5], testing::Category(c[6])});
  }
  for (auto& [golden, page] : pages) {
    auto& [query, hits] = page;
    SCOPED_TRACE(golden);
    SearchResults r;
    if (!hits.empty()) r.ResetResults();  // a page before the first search has no nodes
    r.RecordHits(hits);
    const std::string want = Golden(golden);
    EXPECT_EQ(BuildResultsPage(r, query, kStamp), want);
    std::string error;
    ASSERT_TRUE(WriteResultsPage(dir.Path("page.html"), r, query, kStampTime, &error)) << error;
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
  ASSERT_TRUE(WriteResultsPage(dir.Path("big.html"), r, "q", kStampTime, &error)) << error;
  EXPECT_EQ(dir.Read("big.html"), streamed);
}

// Bidirectional and invisible characters in a name are shown as marks by every writer meant
// for a person; the page's link keeps the exact bytes.
TEST(VisibleNames, EveryWriterShowsDisguisingCharactersAsMarks) {
  for (const auto& c : testing::Cases("visible_names.tsv", 3)) {
    SCOPED_TRACE(c[0]);
    EXPECT_EQ(VisibleName(c[0]), c[1]);
    std::string html;
    AppendHtmlText(html, c[0]);
    EXPECT_EQ(html, c[2]);
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
  for (int writer = 0; writer < 2; ++writer) {
    testing::TestTree dir;
    dir.Write("real/file", "old");
    dir.MkdirP("elsewhere");
    for (const auto& c : testing::Cases("written_links.tsv", 3)) {
      SCOPED_TRACE(c[0]);
      const std::string to = c[1].starts_with("/ABS/") ? dir.Path(c[1].substr(5)) : c[1];
      dir.Symlink(to, c[0]);
      const std::string bytes = writer == 0
                                    ? SettingsLine({true, c[0], ""})
                                    : BuildResultsPage(SearchResults{}, c[0], FormatExportStamp(0));
      std::string error;
      ASSERT_TRUE(writer == 0 ? WriteSettings(dir.Path(c[0]), {true, c[0], ""})
                              : WriteResultsPage(dir.Path(c[0]), SearchResults{}, c[0], 0, &error))
          << error;
      EXPECT_EQ(dir.Read(c[2]), bytes);
      EXPECT_TRUE(std::filesystem::is_symlink(dir.Path(c[0])));
    }
    // Nothing but the links and their targets: no temporaries anywhere.
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir.root()))
      EXPECT_FALSE(e.path().filename().string().starts_with(".")) << e.path();
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
  for (const auto& c : testing::Cases("check_writable.tsv", 2)) {
    const std::string path = c[0].empty() || c[0][0] == '/' ? c[0] : dir.Path(c[0]);
    std::string error;
    EXPECT_EQ(CheckWritable(path, &error), c[1].empty()) << path;
    EXPECT_EQ(error, c[1]) << path;
  }
  EXPECT_EQ(dir.Read("file.html"), "keep");
  EXPECT_TRUE(std::filesystem::is_fifo(dir.Path("fifo")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 5);
}

}  // namespace
}  // namespace findlark
