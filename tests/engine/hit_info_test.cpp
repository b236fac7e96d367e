#include "results/hit_info.h"

#include <gtest/gtest.h>

#include "hit_records.h"
#include "results/results_tree.h"

namespace findlark {
namespace {

using testing::Hit;

TEST(InfoTip, ThreeFormsNothingForNodesAndCutToFit) {
  SearchResults r;
  r.ResetResults();
  ResultRecord folder = Hit("/w/" + std::string(197, 'p'), kFolders);
  folder.matchLine = "ignored";  // a folder shows its path alone whatever its record holds
  std::vector<ResultRecord> hits = {folder, Hit("/w/plan.txt", kDocuments, "2 KB"),
                                    Hit("/w/plan.txt", kDocuments, "2 KB", "Budget plan")};
  r.RecordHits(hits);
  EXPECT_EQ(InfoTipText(r, 0), folder.path);
  EXPECT_EQ(InfoTipText(r, 1), "/w/plan.txt\n\nSize: 2 KB\nLast Modified: June 04, 2007");
  EXPECT_EQ(InfoTipText(r, 2),
            "/w/plan.txt\n\nSize: 2 KB\nLast Modified: June 04, 2007\n\nContents:\nBudget plan");
  EXPECT_EQ(InfoTipText(r, 0, 79), folder.path.substr(0, 79));
  EXPECT_EQ(InfoTipText(r, 0, 200), folder.path);  // an exact fit is whole
  EXPECT_EQ(InfoTipText(r, kNodeData), std::nullopt);
  EXPECT_EQ(InfoTipText(r, 3), std::nullopt);
  r.foundCount = 1;  // stored but not yet counted: not offered
  EXPECT_EQ(InfoTipText(r, 1), std::nullopt);
}

TEST(CutUtf8, NeverSplitsACharacter) {
  const std::string text = "ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a b é € 😀
  const std::pair<size_t, size_t> cuts[] = {{0, 0}, {2, 2}, {3, 2},  {5, 4},
                                            {6, 4}, {7, 7}, {10, 7}, {11, 11}};
  for (const auto& [max, kept] : cuts) EXPECT_EQ(CutUtf8(text, max).size(), kept) << max;
  EXPECT_EQ(CutUtf8("a\x80\x80\x80\x80\x80", 4).size(), 4u);  // stray bytes cut as bytes
}

TEST(HitInfo, PreviewableKindsAndFolderOfAPath) {
  const std::pair<ResultRecord, bool> kinds[] = {
      {Hit("/notes.txt", kDocuments), true},      {Hit("/Photo.jpg", kPictures), true},
      {Hit("/index.htm", kWebpages), true},       {Hit("/letter.doc", kDocuments), false},
      {Hit("/report.pdf", kPdfDocuments), false}, {Hit("/notes.txt", kFolders), true}};
  ResultStore store;
  for (const auto& [hit, ok] : kinds) EXPECT_EQ(IsPreviewable(store.View(store.Append(hit))), ok);
  EXPECT_EQ(FolderOf("/work/plan.txt"), "/work");
  EXPECT_EQ(FolderOf("/plan.txt"), "/");
  EXPECT_EQ(FolderOf("plan.txt"), "");
}

}  // namespace
}  // namespace findlark
