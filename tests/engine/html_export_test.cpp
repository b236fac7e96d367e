#include "persist/html_export.h"

#include <gtest/gtest.h>

#include <cstring>

#include "hit_records.h"
#include "results/results_tree.h"

namespace findlark {
namespace {

using testing::Hit;
using testing::Slurp;
using testing::TempDir;

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
         query + "' (found " + std::to_string(found) +
         ")</h1>Saved on Sunday, June 24, 2007 03:07 PM<br/><br/>\r\n";
}

std::string Page(const SearchResults& r, std::string_view query) {
  return BuildResultsPage(r, query, "Sunday, June 24, 2007 03:07 PM");
}

TEST(ResultsPage, TheWorkedRunByteForByte) {
  SearchResults r;
  r.ResetResults();
  ResultRecord plan = Hit("/d/Work/plan.txt", kDocuments, "2 KB");
  ResultRecord map = Hit("/d/Pics/plan map.jpg", kPictures, "1 MB");
  map.dateText = "May 30, 2007";
  ResultRecord plans = Hit("/d/Work/Plans", kFolders);
  plans.dateText = "June 01, 2007";
  std::vector<ResultRecord> hits = {plan, map, plans};
  r.RecordHits(hits);

  const std::string table =
      "<table width=\"100%\" cellspacing=\"1\" cellpadding=\"3\">\r\n"
      "<tr><td colspan=\"3\" class=\"cat\"><b>";
  EXPECT_EQ(
      Page(r, "plan"),
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
}

TEST(ResultsPage, TextsAreEscapedAndLinksEncoded) {
  SearchResults r;
  r.ResetResults();
  std::vector<ResultRecord> hits = {Hit("/t/<script>x&'y\".htm", kWebpages),
                                    Hit("/t/a #1?%20\xC3\xA9.txt", kDocuments)};
  r.RecordHits(hits);
  const std::string page = Page(r, "<b>&'");
  EXPECT_NE(page.find("Results for '&lt;b&gt;&amp;&#39;' (found 2)"), std::string::npos);
  EXPECT_NE(page.find(">&lt;script&gt;x&amp;&#39;y&quot;</a>"), std::string::npos);
  EXPECT_NE(page.find("title=\"/t/&lt;script&gt;x&amp;&#39;y&quot;.htm\""), std::string::npos);
  EXPECT_NE(page.find("href=\"file:///t/%3Cscript%3Ex%26%27y%22.htm\""), std::string::npos);
  EXPECT_NE(page.find("href=\"file:///t/a%20%231%3F%2520%C3%A9.txt\""), std::string::npos);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
}

// Runs without hits have no tables, before the first search too.
TEST(ResultsPage, EmptyRunsWrittenWithTheLocalStampOrNotAtAll) {
  setenv("TZ", "UTC", 1);
  tzset();
  SearchResults r;
  EXPECT_EQ(Page(r, ""), Head("", 0) + "</body></html>");
  r.ResetResults();
  TempDir dir;
  std::string error;
  ASSERT_TRUE(WriteResultsPage(dir.File("out.html"), r, "q", 1182697620, &error)) << error;
  EXPECT_EQ(Slurp(dir.File("out.html")), Head("q", 0) + "</body></html>");
  EXPECT_FALSE(WriteResultsPage(dir.path.string(), r, "q", 0, &error));  // a folder
  EXPECT_EQ(error, std::strerror(EISDIR));
  EXPECT_FALSE(WriteResultsPage(dir.File("gone/out.html"), r, "q", 0, &error));
  EXPECT_EQ(error, std::strerror(ENOENT));
}

}  // namespace
}  // namespace findlark
