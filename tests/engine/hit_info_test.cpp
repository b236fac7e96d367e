#include "results/hit_info.h"

#include <gtest/gtest.h>

#include "hit_records.h"
#include "results/results_tree.h"

namespace findlark {
namespace {

using testing::Hit;

TEST(InfoTip, ThreeFormsAndNothingForNodes) {
  SearchResults r;
  r.ResetResults();
  ResultRecord folder = Hit("/w/Old", kFolders);
  folder.matchLine = "ignored";  // a folder shows its path alone whatever its record holds
  std::vector<ResultRecord> hits = {folder, Hit("/w/plan.txt", kDocuments, "2 KB"),
                                    Hit("/w/plan.txt", kDocuments, "2 KB", "Budget plan")};
  r.RecordHits(hits);
  EXPECT_EQ(InfoTipText(r, 0), "/w/Old");
  EXPECT_EQ(InfoTipText(r, 1), "/w/plan.txt\n\nSize: 2 KB\nLast Modified: June 04, 2007");
  EXPECT_EQ(InfoTipText(r, 2),
            "/w/plan.txt\n\nSize: 2 KB\nLast Modified: June 04, 2007\n\nContents:\nBudget plan");
  EXPECT_EQ(InfoTipText(r, kNodeData), std::nullopt);
  EXPECT_EQ(InfoTipText(r, 3), std::nullopt);
  r.foundCount = 1;  // a record stored but not yet counted is not offered
  EXPECT_EQ(InfoTipText(r, 1), std::nullopt);
}

TEST(InfoTip, CutToTheBufferWithoutSplittingCharacters) {
  SearchResults r;
  r.ResetResults();
  std::vector<ResultRecord> hits = {Hit("/w/" + std::string(197, 'p'), kFolders)};
  r.RecordHits(hits);
  EXPECT_EQ(InfoTipText(r, 0, 79)->size(), 79u);
  EXPECT_EQ(InfoTipText(r, 0, 200)->size(), 200u);  // exact fit is whole
  EXPECT_EQ(*InfoTipText(r, 0, 199), std::string("/w/") + std::string(196, 'p'));

  const std::string text = "ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a b é € 😀
  const struct {
    size_t max;
    size_t kept;
  } cuts[] = {{0, 0}, {2, 2}, {3, 2}, {4, 4}, {5, 4}, {6, 4}, {7, 7}, {10, 7}, {11, 11}};
  for (const auto& c : cuts) EXPECT_EQ(CutUtf8(text, c.max).size(), c.kept) << c.max;
  // Stray continuation bytes are not a character to keep whole.
  EXPECT_EQ(CutUtf8("a\x80\x80\x80\x80\x80", 4).size(), 4u);
  EXPECT_EQ(CutUtf8("\xE2\x82", 1).size(), 0u);
}

TEST(HitInfo, PreviewableKindsAndFolderOfAPath) {
  const struct {
    ResultRecord hit;
    bool previewable;
  } kinds[] = {
      {Hit("/d/notes.txt", kDocuments), true},      {Hit("/d/Photo.jpg", kPictures), true},
      {Hit("/d/index.htm", kWebpages), true},       {Hit("/d/letter.doc", kDocuments), false},
      {Hit("/d/report.pdf", kPdfDocuments), false}, {Hit("/d/song.mp3", kMusic), false},
      {Hit("/d/notes.txt", kFolders), true},        {Hit("/d/notes.TXT.bak", kOther), false},
  };
  ResultStore store;
  for (const auto& k : kinds) {
    EXPECT_EQ(IsPreviewable(store.View(store.Append(k.hit))), k.previewable) << k.hit.path;
  }
  EXPECT_EQ(FolderOf("/work/plan.txt"), "/work");
  EXPECT_EQ(FolderOf("/work/Old"), "/work");
  EXPECT_EQ(FolderOf("/plan.txt"), "/");
  EXPECT_EQ(FolderOf("plan.txt"), "");
}

}  // namespace
}  // namespace findlark
