// The settings file and the exported results page.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <cstring>
#include <random>

#include "persist/atomic_file.h"
#include "persist/html_export.h"
#include "persist/settings.h"
#include "results/results_tree.h"
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

TEST(Settings, WritesOneLineThatReadsBack) {
  testing::TestTree dir;
  dir.Write("settings.ini", "0|/old\r\nsecond line\r\n");
  chmod(dir.Path("settings.ini").c_str(), 0640);
  ASSERT_TRUE(WriteSettings(dir.Path("settings.ini"), {true, "/home/ann/My Docs", ""}));
  EXPECT_EQ(dir.Read("settings.ini"), "1|/home/ann/My Docs\r\n");
  struct stat st {};
  stat(dir.Path("settings.ini").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  Settings back;
  ReadSettings(dir.Path("settings.ini"), back);
  EXPECT_EQ(std::tie(back.searchContents, back.folderName), std::make_tuple(true, "My Docs"));
  EXPECT_EQ(SettingsLine({false, "", ""}), "0|\r\n");
}

const std::string kStamp = "Sunday, June 24, 2007 03:07 PM";  // 1182697620 in UTC

std::string Head(const std::string& query, int found) {
  return "<html><head><meta charset=\"utf-8\"><title>Findlark Search Results for '" + query +
         "'</title><style type=\"text/css\">\r\n"
         "body,td { font:10pt Arial }\r\n"
         "h1 { font-size:14pt;margin-bottom:0px }\r\n"
         "td { background-color:white }\r\n"
         "td.cat { color:white;background-color:gray }\r\n"
         "a { color:navy;text-decoration:none }\r\n"
         "a:hover { text-decoration:underline }\r\n"
         "</style></head><body><h1>Findlark Search Results for '" +
         query + "' (found " + std::to_string(found) + ")</h1>Saved on " + kStamp +
         "<br/><br/>\r\n";
}

TEST(ResultsPage, TheWorkedRunByteForByteAndOddTextsEscaped) {
  SearchResults r;
  r.ResetResults();
  std::vector<ResultRecord> hits = {
      {"/d/Work/plan.txt", "2 KB", "June 04, 2007", "", "txt", kDocuments},
      {"/d/Pics/plan map.jpg", "1 MB", "May 30, 2007", "", "jpg", kPictures},
      {"/d/Work/Plans", "", "June 01, 2007", "", "", kFolders}};
  r.RecordHits(hits);
  const std::string table =
      "<table width=\"100%\" cellspacing=\"1\" cellpadding=\"3\">\r\n"
      "<tr><td colspan=\"3\" class=\"cat\"><b>";
  EXPECT_EQ(
      BuildResultsPage(r, "plan", kStamp),
      Head("plan", 3) + table + "Documents</b></td></tr>\r\n" +
          "<tr><td width=\"50%\"><a href=\"file:///d/Work/plan.txt\" title=\"/d/Work/plan.txt\" "
          "target=\"_blank\">plan</a></td><td width=\"25%\">2 KB</td><td width=\"25%\">June 04, "
          "2007</td></tr>\r\n</table><br/>" +
          table + "Pictures</b></td></tr>\r\n" +
          "<tr><td width=\"50%\"><a href=\"file:///d/Pics/plan%20map.jpg\" "
          "title=\"/d/Pics/plan map.jpg\" target=\"_blank\">plan map</a></td><td width=\"25%\">"
          "1 MB</td><td width=\"25%\">May 30, 2007</td></tr>\r\n</table><br/>" +
          table + "Folders</b></td></tr>\r\n" +
          "<tr><td width=\"50%\"><a href=\"file:///d/Work/Plans\" title=\"/d/Work/Plans\" "
          "target=\"_blank\">Plans</a></td><td width=\"25%\"></td><td width=\"25%\">June 01, "
          "2007</td></tr>\r\n</table><br/></body></html>");
  // Runs without hits have no tables, before the first search too.
  EXPECT_EQ(BuildResultsPage(SearchResults{}, "", kStamp), Head("", 0) + "</body></html>");

  r.ResetResults();  // texts are escaped and links percent-encoded
  hits = {{"/t/<script>x&'y\".htm", "", "", "", "htm", kWebpages},
          {"/t/a #1?%20\xC3\xA9.txt", "", "", "", "txt", kDocuments}};
  r.RecordHits(hits);
  const std::string page = BuildResultsPage(r, "<b>&'", kStamp);
  for (const char* part :
       {"Results for '&lt;b&gt;&amp;&#39;' (found 2)", ">&lt;script&gt;x&amp;&#39;y&quot;</a>",
        "title=\"/t/&lt;script&gt;x&amp;&#39;y&quot;.htm\"",
        "href=\"file:///t/%3Cscript%3Ex%26%27y%22.htm\"",
        "href=\"file:///t/a%20%231%3F%2520%C3%A9.txt\""}) {
    EXPECT_NE(page.find(part), std::string::npos) << part;
  }
  EXPECT_EQ(page.find("<script>"), std::string::npos);
}

// Both files are replaced whole or not at all, with the reason reported.
TEST(AtomicWrites, FailuresKeepTheOldFileAndLeaveNoTemporary) {
  setenv("TZ", "UTC", 1);
  tzset();
  testing::TestTree dir;
  SearchResults r;
  r.ResetResults();
  std::string error;
  ASSERT_TRUE(WriteResultsPage(dir.Path("page.html"), r, "q", 1182697620, &error)) << error;
  EXPECT_EQ(dir.Read("page.html"), Head("q", 0) + "</body></html>");
  dir.Write("settings.ini", "0|/old\r\n");
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
  EXPECT_EQ(dir.Read("page.html"), Head("q", 0) + "</body></html>");
  EXPECT_EQ(dir.Read("settings.ini"), "0|/old\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.root()), {}), 2);

  EXPECT_FALSE(WriteResultsPage(dir.root(), r, "q", 0, &error));  // a folder
  EXPECT_EQ(error, std::strerror(EISDIR));
  EXPECT_FALSE(WriteResultsPage(dir.Path("gone/out.html"), r, "q", 0, &error));
  EXPECT_EQ(error, std::strerror(ENOENT));
  dir.Mkfifo("fifo");  // never replaced by a plain file
  EXPECT_FALSE(WriteFileAtomically(dir.Path("fifo"), "x"));
  EXPECT_TRUE(std::filesystem::is_fifo(dir.Path("fifo")));
  dir.Symlink("settings.ini", "link.ini");  // the file a link points to is replaced
  ASSERT_TRUE(WriteFileAtomically(dir.Path("link.ini"), "new"));
  EXPECT_EQ(dir.Read("settings.ini"), "new");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link.ini")));
}

}  // namespace
}  // namespace findlark
