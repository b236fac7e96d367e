#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "results/label_order.h"
#include "results/result_store.h"
#include "search/categories.h"
#include "search/hit_memory.h"

namespace findlark {

// Category nodes carry this as item data; leaves carry their record's index.
inline constexpr int64_t kNodeData = -1;

// The item-data rule: `data` refers to a record exactly when -1 < data < foundCount.
inline bool RefersToRecord(int64_t data, int64_t foundCount) {
  return data > -1 && data < foundCount;
}

// A tree position: a category node (row == -1) or the row-th leaf under it.
struct TreeItem {
  FileCategory category = 0;
  int64_t row = -1;
  bool IsNode() const { return row < 0; }
  friend bool operator==(const TreeItem&, const TreeItem&) = default;
};

// The leaves of one category in display order. Per leaf, its record and its key, which orders
// most pairs of leaves without a visit to the store (names often share eight bytes, rarely
// sixteen). A published list never changes: a merge builds a new one.
struct LeafList {
  // Made anew by every merge, up to hundreds of megabytes: from large pages.
  std::vector<LeafKey, LargePageAllocator<LeafKey>> keys;
  std::vector<uint32_t, LargePageAllocator<uint32_t>> records;
  size_t size() const { return records.size(); }
};
using LeafLists = std::array<std::shared_ptr<const LeafList>, kCategoryCount>;

// One merge of new records into the leaf lists: what it reads, and then what it made.
struct LeafMerge {
  LeafLists lists;  // the lists to merge into; after RunMerge the merged ones (null: untouched)
  ResultStore::Reader store;  // stays valid when the store object is moved away
  uint32_t first = 0;         // the new records are [first, last)
  uint32_t last = 0;
  std::array<bool, kCategoryCount> touched{};
};

// Thirteen category nodes (once reset), each holding its leaves sorted by label ignoring case.
class ResultsTree {
 public:
  void Reset();  // thirteen nodes, counts 0, no leaves
  void Clear();  // no nodes at all, as before the first search
  bool HasNodes() const { return hasNodes_; }

  int Count(FileCategory category) const { return static_cast<int>(ChildCount(category)); }
  std::string NodeLabel(FileCategory category) const;  // "%s (%d)"
  size_t ChildCount(FileCategory category) const;
  uint32_t ChildData(FileCategory category, size_t row) const {
    return lists_[category]->records[row];
  }

  // Adds leaves for store records [first, last) at their sorted places; leaves with equal labels
  // keep the order in which they were found. In three steps, so the merge itself can run on
  // another thread: PlanMerge and ApplyMerge on the owner's thread, RunMerge anywhere, while the
  // owner goes on appending to the store (records [first, last) must be in it before
  // PlanMerge). RunMerge returns false when `cancel` was raised. ApplyMerge leaves the replaced
  // lists in `merge`, so whoever frees them can do it elsewhere.
  LeafMerge PlanMerge(const ResultStore& store, uint32_t first, uint32_t last) const;
  static bool RunMerge(LeafMerge& merge, const std::atomic<bool>* cancel = nullptr);
  void ApplyMerge(LeafMerge& merge);

  // The row of `record`'s leaf under `category`, found by its label; -1 when it has none.
  int64_t RowOf(FileCategory category, uint32_t record, const ResultStore& store) const;

  // Walking: FirstChild of nullopt is the first category node.
  std::optional<TreeItem> FirstChild(std::optional<TreeItem> parent) const;
  std::optional<TreeItem> NextSibling(TreeItem item) const;
  int64_t ItemData(TreeItem item) const;
  std::string ItemText(TreeItem item, const ResultStore& store) const;

  size_t BytesReserved() const;  // heap held by the leaf lists

 private:
  bool hasNodes_ = false;
  LeafLists lists_;
};

}  // namespace findlark
