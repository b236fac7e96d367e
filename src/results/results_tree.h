#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "results/result_store.h"
#include "search/categories.h"

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

// The first sixteen bytes of a folded label as two big-endian numbers, padded with zeros.
using LeafKey = std::array<uint64_t, 2>;

// The leaves of one category in display order. Per leaf, its record and its key, which orders
// most pairs of leaves without a visit to the store (names often share eight bytes, rarely
// sixteen). A published list never changes: a merge builds a new one.
struct LeafList {
  std::vector<LeafKey> keys;
  std::vector<uint32_t> records;
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

  // Adds leaves for store records [first, store.size()) at their sorted places. Leaves with
  // equal labels keep the order in which they were found.
  void InsertLeaves(const ResultStore& store, uint32_t first);

  // The same in three steps, so the merge itself can run on another thread: PlanMerge and
  // ApplyMerge on the owner's thread, RunMerge anywhere, while the owner goes on appending to
  // the store (records [first, last) must be in it before PlanMerge). RunMerge returns false
  // when `cancel` was raised. ApplyMerge leaves the replaced lists in `merge`, so whoever frees
  // them can do it elsewhere.
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

// Orders leaf labels as the tree does: byte-wise after the one case fold of matching, then
// byte-wise as they stand, so labels that differ only in case keep a fixed order.
bool LabelLess(std::string_view a, std::string_view b);
int LabelOrder(std::string_view a, std::string_view b);  // <0, 0, >0 in that order

// One helper thread that runs merges away from the owner's thread, and frees big things there
// too: dropping ten million leaves or records takes longer than a frame.
class LeafMerger {
 public:
  LeafMerger();
  ~LeafMerger();  // cancels a running merge and joins
  LeafMerger(const LeafMerger&) = delete;
  LeafMerger& operator=(const LeafMerger&) = delete;

  bool Busy() const;  // a merge is running or its result not yet taken
  // Runs `merge` on the helper; `done` is called there once it is finished (not if cancelled).
  void Start(LeafMerge merge, std::function<void()> done);
  std::optional<LeafMerge> Take();  // the finished merge, once
  // Drops the pending and finished merges and ends the running one early, without waiting:
  // what it reads stays alive, as things disposed of are freed on the helper between merges.
  void Abandon();
  void Cancel();                                // Abandon, and wait until the helper is idle
  void Dispose(std::shared_ptr<void> garbage);  // released on the helper

 private:
  void Loop();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::optional<LeafMerge> pending_;
  std::function<void()> done_;
  std::optional<LeafMerge> finished_;
  std::vector<std::shared_ptr<void>> garbage_;
  bool running_ = false;
  bool dropRunning_ = false;  // the running merge was abandoned
  bool quit_ = false;
  std::atomic<bool> cancel_{false};
  std::thread thread_;
};

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
  void AppendHits(const std::vector<ResultRecord>& batch);
  void RecordAppended();
  bool RefersToRecord(int64_t data) const { return findlark::RefersToRecord(data, foundCount); }
};

}  // namespace findlark
