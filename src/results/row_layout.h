#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "search/categories.h"

namespace findlark {

class ResultStore;
class ResultsTree;

// The rows a results view shows, worked out from the thirteen category counts and which
// categories are expanded: row r stands for a category node or one of its leaves. Costs the
// same for ten hits as for ten million, as nothing is kept per row.
class RowLayout {
 public:
  struct Row {
    FileCategory category = 0;
    int64_t leaf = -1;  // -1: the category node
    bool operator==(const Row&) const = default;
  };

  explicit RowLayout(const ResultsTree& tree) : tree_(tree) {}

  bool Expanded(FileCategory category) const { return expanded_[category]; }
  void SetExpanded(FileCategory category, bool expanded) { expanded_[category] = expanded; }
  void CollapseAll() { expanded_ = {}; }

  int64_t Count() const;  // rows on show
  // The row at `row` (< Count()), and back: -1 for a leaf of a collapsed node or past the end.
  Row At(int64_t row) const;
  int64_t RowOf(Row row) const;

  // Type-ahead: the first row on show whose label starts with `foldedPrefix` (folded as
  // FoldCase folds), in display order from `current` and wrapping once: from the row after it
  // for a new prefix, from itself when `extending` the prefix typed before. Leaves stand sorted
  // by their folded labels, so the matches in a category are one run, found by halving.
  std::optional<Row> FindPrefix(const ResultStore& store, std::optional<Row> current,
                                bool extending, std::string_view foldedPrefix) const;

 private:
  int Nodes() const;
  int64_t Leaves(FileCategory category) const;

  const ResultsTree& tree_;
  std::array<bool, kCategoryCount> expanded_{};
};

}  // namespace findlark
