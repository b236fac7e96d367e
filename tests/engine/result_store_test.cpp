#include "results/result_store.h"

#include <gtest/gtest.h>

#include "hit_records.h"

namespace findlark {
namespace {

using testing::Hit;

TEST(ResultStore, KeepsEveryFieldAndNeverMovesStoredText) {
  ResultStore store;
  const ResultRecord folder = Hit("/w/Project.old", kFolders);
  const ResultRecord found = Hit("/w/plan.txt", kDocuments, "2 KB", "Budget plan for June");
  EXPECT_EQ(store.Append(folder), 0u);
  EXPECT_EQ(store.Append(found), 1u);
  const RecordView early = store.View(1);

  // Enough text to need several blocks, including one record larger than any block.
  for (int i = 0; i < 20000; ++i) store.Append(Hit("/w/" + std::string(100, 'x'), kOther));
  store.Append(Hit("/w/big.txt", kDocuments, "3 MB", std::string(3 << 20, 'L')));

  const RecordView again = store.View(1);
  EXPECT_EQ(again.path.data(), early.path.data());
  EXPECT_EQ(again.matchLine, "Budget plan for June");
  const ResultRecord copy = store.Get(1);
  EXPECT_EQ(copy.path, found.path);
  EXPECT_EQ(copy.sizeText, "2 KB");
  EXPECT_EQ(copy.dateText, "June 04, 2007");
  EXPECT_EQ(copy.extension, "txt");
  EXPECT_EQ(copy.category, kDocuments);
  EXPECT_EQ(store.View(0).Title(), "Project");
  EXPECT_EQ(store.View(0).sizeText, "");
  EXPECT_EQ(store.View(store.size() - 1).matchLine.size(), size_t{3} << 20);

  store.Clear();
  EXPECT_TRUE(store.empty());
  EXPECT_EQ(store.BytesReserved(), 0u);
  EXPECT_THROW(store.View(0), std::out_of_range);
}

TEST(ResultStore, NamesTitlesAndOutOfRangeCategory) {
  ResultStore store;
  ResultRecord odd = Hit("/a b/plan map.jpg", kPictures);
  odd.category = 42;  // would index past the thirteen nodes
  store.Append(odd);
  store.Append(Hit("/etc/.htaccess", kOther));
  store.Append(Hit("bare", kOther));
  EXPECT_EQ(store.View(0).Name(), "plan map.jpg");
  EXPECT_EQ(store.View(0).Title(), "plan map");
  EXPECT_EQ(store.View(0).category, kOther);
  EXPECT_EQ(store.View(1).Title(), "");
  EXPECT_EQ(store.View(2).Name(), "bare");
}

}  // namespace
}  // namespace findlark
