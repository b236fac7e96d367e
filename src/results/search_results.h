#pragma once

#include <cstdint>
#include <vector>

#include "results/result_store.h"
#include "results/results_tree.h"

namespace findlark {

// The store, the tree and the count of fully recorded hits, written on one thread only.
struct SearchResults {
  ResultStore store;
  ResultsTree tree;
  int foundCount = 0;

  void ResetResults();  // empties the store, thirteen fresh nodes, count 0
  // The recording steps for a batch, in order: append, insert leaves, counts and labels, count.
  void RecordHits(std::vector<ResultRecord>& batch);
  // The same in two steps, for a caller that shows nothing until the end: appending is cheap,
  // and one insert of everything appended costs a sort, where an insert per batch would copy
  // the growing leaf lists again each time.
  template <typename Hits>  // any range of records or views of them
  void AppendHits(const Hits& batch) {
    for (const auto& record : batch) store.Append(record);
  }
  void RecordAppended();
  size_t Appended() const { return store.size() - static_cast<size_t>(foundCount); }

  // RecordAppended with the merge run elsewhere (ResultsTree::RunMerge, say on a LeafMerger):
  // PlanMerge takes every appended record; ApplyMerge swaps in the merged lists, then raises
  // the count, so no reader meets a counted record without its leaf. It hands back the lists it
  // replaced, for the caller to free where it likes.
  LeafMerge PlanMerge() const;
  LeafLists ApplyMerge(LeafMerge& merge);

  bool RefersToRecord(int64_t data) const { return findlark::RefersToRecord(data, foundCount); }
};

}  // namespace findlark
