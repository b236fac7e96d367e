#include "results/result_store.h"

#include <gtest/gtest.h>

#include "hit_records.h"

namespace findlark {
namespace {

TEST(ResultStore, KeepsEveryFieldAndNeverMovesStoredText) {
  ResultStore store;
  const ResultRecord found =
      testing::Hit("/w/plan.txt", kDocuments, "2 KB", "Budget plan for June");
  store.Append(testing::Hit("/w/Project.old", kFolders));
  ResultRecord odd = testing::Hit("/w/x", 42);  // would index past the thirteen nodes
  store.Append(odd);
  EXPECT_EQ(store.Append(found), 2u);
  const RecordView early = store.View(2);

  // Enough text for several blocks, and one record larger than any block.
  for (int i = 0; i < 20000; ++i) store.Append(testing::Hit("/" + std::string(100, 'x'), 0));
  store.Append(testing::Hit("/big.txt", kDocuments, "3 MB", std::string(3 << 20, 'L')));

  EXPECT_EQ(store.View(2).path.data(), early.path.data());
  const ResultRecord copy = store.Get(2);
  EXPECT_EQ(std::tie(copy.path, copy.sizeText, copy.dateText, copy.matchLine, copy.extension),
            std::tie(found.path, found.sizeText, found.dateText, found.matchLine, found.extension));
  EXPECT_EQ(copy.category, kDocuments);
  EXPECT_EQ(store.View(0).Title(), "Project");
  EXPECT_EQ(store.View(1).category, kOther);
  EXPECT_EQ(store.View(store.size() - 1).matchLine.size(), size_t{3} << 20);

  store.Clear();
  EXPECT_TRUE(store.empty());
  EXPECT_EQ(store.BytesReserved(), 0u);
}

}  // namespace
}  // namespace findlark
