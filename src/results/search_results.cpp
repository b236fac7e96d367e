#include "results/search_results.h"

#include <utility>

namespace findlark {

void SearchResults::ResetResults() {
  store.Clear();
  tree.Reset();
  foundCount = 0;
}

void SearchResults::RecordHits(std::vector<ResultRecord>& batch) {
  AppendHits(batch);
  RecordAppended();
}

void SearchResults::RecordAppended() {
  if (!tree.HasNodes()) tree.Reset();
  LeafMerge merge = PlanMerge();
  ResultsTree::RunMerge(merge);
  ApplyMerge(merge);
}

LeafMerge SearchResults::PlanMerge() const {
  return tree.PlanMerge(store, static_cast<uint32_t>(foundCount),
                        static_cast<uint32_t>(store.size()));
}

LeafLists SearchResults::ApplyMerge(LeafMerge& merge) {
  tree.ApplyMerge(merge);
  // Last: only now may readers reach the new records.
  foundCount = static_cast<int>(merge.last);
  return std::move(merge.lists);
}

}  // namespace findlark
