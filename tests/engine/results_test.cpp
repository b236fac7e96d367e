// What a hit shows: size and date texts, the sorted tree and the tips.
#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <random>

#include "cases.h"
#include "results/display_text.h"
#include "results/hit_info.h"
#include "results/row_layout.h"
#include "results/search_results.h"

namespace findlark {
namespace {

ResultRecord Hit(std::string path, FileCategory category, std::string size = "1 KB",
                 std::string match = {}) {
  return {std::move(path), std::move(size), "June 04, 2007", std::move(match), "", category};
}

TEST(FormatSize, DecimalThresholdsBinaryDivisorsHalvesRoundUp) {
  for (const auto& c : testing::Cases("sizes.tsv", 2))
    EXPECT_EQ(FormatSize(std::stoll(c[0])), c[1]) << c[0];
}

// English names and local time, even for a user whose locale names months in German. (The
// export stamp of an afternoon is in the saved pages' golden files.)
TEST(DateText, EnglishNamesFixedFieldsLocalZone) {
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  std::setlocale(LC_ALL, "");
  EXPECT_EQ(FormatHitDate(1180951200), "June 04, 2007");  // 10:00 UTC
  EXPECT_EQ(FormatExportStamp(1182902400), "Wednesday, June 27, 2007 12:00 AM");
  setenv("TZ", "EST5", 1);  // five hours behind: early on New Year's Day is still the old year
  tzset();
  EXPECT_EQ(FormatExportStamp(1167620400), "Sunday, December 31, 2006 10:00 PM");  // 03:00 UTC
  std::setlocale(LC_ALL, "C");
  setenv("TZ", "UTC", 1);
  tzset();
}

std::vector<uint32_t> Leaves(const ResultsTree& tree, FileCategory c) {
  std::vector<uint32_t> out;
  for (auto leaf = tree.FirstChild(TreeItem{c, -1}); leaf; leaf = tree.NextSibling(*leaf))
    out.push_back(static_cast<uint32_t>(tree.ItemData(*leaf)));
  return out;
}

// Merged batches must give what one stable sort of everything in found order gives.
TEST(ResultsTree, BatchesMatchAStableSortOfAllHits) {
  for (const auto& c : testing::Cases("label_order.tsv", 2)) {
    EXPECT_TRUE(LabelLess(c[0], c[1])) << c[0] << " < " << c[1];
    EXPECT_FALSE(LabelLess(c[1], c[0])) << c[1] << " < " << c[0];
  }
  EXPECT_FALSE(LabelLess("plan", "plan"));

  std::mt19937 rng(7);
  // Some labels order differently once folded, within and past the first eight bytes; the
  // neighbours of the capitals ('@', '[', '`', '{') fold to themselves.
  const char* names[] = {
      "a",   "A",     "b",     "readme", "README", "Readme",          "zz",
      "",    "m.tar", "Été",   "Éz",     "éa",     "report-2023-Éz",  "Report-2023-éa-long",
      "Zed", "[x]",   "@home", "`q",     "{y}",    "notes-2024-Zulu", "notes-2024-[a]"};
  SearchResults r;
  r.ResetResults();
  // Now and then a big batch, so that the store spans several of its chunks. What was found is
  // kept here too, so the expected order does not read the store under test.
  std::vector<std::pair<FileCategory, const char*>> found;
  for (int round = 0; round < 300; ++round) {
    std::vector<ResultRecord> batch(round % 60 == 59 ? 40000 : rng() % 40);
    for (auto& hit : batch) {
      found.emplace_back(rng() % 3, names[rng() % std::size(names)]);
      hit = Hit("/x/" + std::string(found.back().second) + ".e", found.back().first);
    }
    r.RecordHits(batch);
  }
  EXPECT_EQ(r.tree.RowOf(kVideo, 0, r.store), -1);
  EXPECT_EQ(r.foundCount, static_cast<int>(found.size()));
  EXPECT_TRUE(r.RefersToRecord(0) && !r.RefersToRecord(r.foundCount) &&
              !r.RefersToRecord(kNodeData));
  for (FileCategory c = 0; c < 3; ++c) {
    std::vector<uint32_t> expected;
    for (uint32_t i = 0; i < found.size(); ++i)
      if (found[i].first == c) expected.push_back(i);
    std::stable_sort(expected.begin(), expected.end(), [&](uint32_t a, uint32_t b) {
      return LabelLess(found[a].second, found[b].second);
    });
    EXPECT_EQ(Leaves(r.tree, c), expected) << c;
    EXPECT_EQ(r.tree.RowOf((c + 1) % 3, expected[0], r.store), -1);  // a leaf of another node
    // Read back from every chunk; every leaf is found again by its record, as the view finds
    // its current item.
    for (size_t row = 0; row < expected.size(); ++row) {
      ASSERT_EQ(r.tree.ItemText({c, int64_t(row)}, r.store), found[expected[row]].second) << row;
      ASSERT_EQ(r.tree.RowOf(c, expected[row], r.store), int64_t(row));
    }
  }
}

// Each node reads its name and count. A category from outside the thirteen can index nothing:
// the store files it under Other, and the tree answers for no such node.
TEST(ResultsTree, NodeLabelsAndCategoriesOutOfRange) {
  SearchResults r;
  r.ResetResults();
  std::vector<ResultRecord> hits = {Hit("/a/x.q", -1),     Hit("/a/y.q", kCategoryCount),
                                    Hit("/a/z.q", 1000),   Hit("/a/d", kFolders),
                                    Hit("/a/e", kFolders), Hit("/a/m.mp3", kMusic)};
  r.RecordHits(hits);
  std::string labels;
  for (FileCategory c = 0; c < kCategoryCount; ++c) labels += r.tree.NodeLabel(c) + ", ";
  EXPECT_EQ(labels,
            "Documents (0), Pictures (0), Music (1), Video (0), Webpages (0), PDF Documents (0), "
            "Spreadsheets (0), Presentations (0), Applications (0), Folders (2), Archives (0), "
            "Source Code (0), Other (3), ");
  for (const int c : {kTypeFilterAll, kCategoryCount}) {
    EXPECT_EQ(r.tree.NodeLabel(c), "");
    EXPECT_EQ(r.tree.ChildCount(c), 0u);
    EXPECT_EQ(r.tree.ItemData({c, 0}), kNodeData);
    EXPECT_EQ(r.tree.RowOf(c, 0, r.store), -1);
  }
}

// The three forms of a tip are in the window's model tests and the saved page's.
TEST(InfoTip, CutToFitNothingForNodesOrUncountedHits) {
  SearchResults r;
  r.ResetResults();
  ResultRecord folder = Hit("/w/" + std::string(197, 'p'), kFolders, "");
  folder.matchLine = "ignored";  // a folder shows its path alone whatever its record holds
  std::vector<ResultRecord> hits = {folder, Hit("/w/plan.txt", kDocuments, "2 KB")};
  r.RecordHits(hits);
  EXPECT_EQ(InfoTipText(r, 0), folder.path);
  EXPECT_EQ(InfoTipText(r, 0, 79), folder.path.substr(0, 79));
  EXPECT_EQ(InfoTipText(r, 0, 200), folder.path);  // an exact fit is whole
  EXPECT_EQ(InfoTipText(r, kNodeData), std::nullopt);
  EXPECT_EQ(InfoTipText(r, 2), std::nullopt);
  r.foundCount = 1;  // stored but not yet counted: not offered
  EXPECT_EQ(InfoTipText(r, 1), std::nullopt);

  const std::string text = "ab\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // a b é € 😀
  const std::pair<size_t, size_t> cuts[] = {{2, 2}, {3, 2},  {5, 4},  {6, 4},
                                            {7, 7}, {10, 7}, {11, 11}};
  for (const auto& [max, kept] : cuts) EXPECT_EQ(CutUtf8(text, max).size(), kept) << max;
  EXPECT_EQ(CutUtf8("a\x80\x80\x80\x80\x80", 4).size(), 4u);  // stray bytes cut as bytes
}

// Rows on show: a node, then its leaves while it is expanded, in category order. The window's
// view tests read every row of an expanded tree; here the edges.
TEST(RowLayout, RowsFollowTheCountsAndWhatIsExpanded) {
  SearchResults r;
  RowLayout layout(r.tree);
  EXPECT_EQ(layout.Count(), 0);  // before the first search
  r.ResetResults();
  std::vector<ResultRecord> hits = {Hit("/d/a.txt", kDocuments), Hit("/d/b.txt", kDocuments),
                                    Hit("/d/m.mp3", kMusic)};
  r.RecordHits(hits);
  EXPECT_EQ(layout.Count(), 13);
  EXPECT_EQ(layout.RowOf({kDocuments, 0}), -1);  // hidden in its collapsed node
  layout.SetExpanded(kDocuments, true);
  layout.SetExpanded(kMusic, true);
  EXPECT_EQ(layout.Count(), 16);
  EXPECT_EQ(layout.At(5), (RowLayout::Row{kMusic, 0}));
  EXPECT_EQ(layout.RowOf({kMusic, 0}), 5);
  EXPECT_EQ(layout.RowOf({kDocuments, 2}), -1);  // past the node's leaves
  EXPECT_EQ(layout.RowOf({kCategoryCount, -1}), -1);
  layout.CollapseAll();
  EXPECT_EQ(layout.Count(), 13);
}

}  // namespace
}  // namespace findlark
