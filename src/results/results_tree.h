#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
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

// Thirteen category nodes (once reset), each holding its leaves sorted by label ignoring case.
class ResultsTree {
 public:
  using RowLists = std::array<std::vector<uint32_t>, kCategoryCount>;

  void Reset();  // thirteen nodes, counts 0, no leaves
  void Clear();  // no nodes at all, as before the first search
  bool HasNodes() const { return hasNodes_; }

  int Count(FileCategory category) const { return static_cast<int>(leaves_[category].size()); }
  std::string NodeLabel(FileCategory category) const;  // "%s (%d)"
  size_t ChildCount(FileCategory category) const { return leaves_[category].size(); }
  uint32_t ChildData(FileCategory category, size_t row) const { return leaves_[category][row]; }

  // Adds leaves for store records [first, store.size()) at their sorted places, by merging.
  // If `newRows` is given it receives, per category, the rows the new leaves now occupy,
  // ascending. Leaves with equal labels keep the order in which they were found.
  void InsertLeaves(const ResultStore& store, uint32_t first, RowLists* newRows = nullptr);

  // Walking: FirstChild of nullopt is the first category node.
  std::optional<TreeItem> FirstChild(std::optional<TreeItem> parent) const;
  std::optional<TreeItem> NextSibling(TreeItem item) const;
  int64_t ItemData(TreeItem item) const;
  std::string ItemText(TreeItem item, const ResultStore& store) const;

  size_t BytesReserved() const;  // heap held by the leaf lists

 private:
  bool hasNodes_ = false;
  std::array<std::vector<uint32_t>, kCategoryCount> leaves_;
  // Per leaf, the first bytes of its folded label and the label itself (it lives in the store,
  // which never moves its texts): sorted insertion compares without visiting the records.
  std::array<std::vector<uint64_t>, kCategoryCount> keys_;
  std::array<std::vector<std::string_view>, kCategoryCount> labels_;
};

// Orders leaf labels as the tree does: byte-wise after folding ASCII letters.
bool LabelLess(std::string_view a, std::string_view b);

// The store, the tree and the count of fully recorded hits, written on one thread only.
struct SearchResults {
  ResultStore store;
  ResultsTree tree;
  int foundCount = 0;

  void ResetResults();  // empties the store, thirteen fresh nodes, count 0
  // The recording steps for a batch, in order: append, insert leaves, counts and labels, count.
  void RecordHits(std::vector<ResultRecord>& batch, ResultsTree::RowLists* newRows = nullptr);
  bool RefersToRecord(int64_t data) const { return findlark::RefersToRecord(data, foundCount); }
};

}  // namespace findlark
