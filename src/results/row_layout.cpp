#include "results/row_layout.h"

#include <algorithm>

#include "results/result_store.h"
#include "results/results_tree.h"
#include "search/case_fold.h"

namespace findlark {

int RowLayout::Nodes() const {
  return tree_.HasNodes() ? kCategoryCount : 0;
}

int64_t RowLayout::Leaves(FileCategory category) const {
  return expanded_[category] ? static_cast<int64_t>(tree_.ChildCount(category)) : 0;
}

int64_t RowLayout::Count() const {
  int64_t rows = Nodes();
  for (FileCategory c = 0; c < Nodes(); ++c) rows += Leaves(c);
  return rows;
}

RowLayout::Row RowLayout::At(int64_t row) const {
  for (FileCategory c = 0; c < Nodes(); ++c) {
    if (row == 0) return {c, -1};
    --row;
    if (row < Leaves(c)) return {c, row};
    row -= Leaves(c);
  }
  return {kCategoryCount - 1, -1};
}

int64_t RowLayout::RowOf(Row row) const {
  if (row.category < 0 || row.category >= Nodes()) return -1;
  if (row.leaf >= 0 && row.leaf >= Leaves(row.category)) return -1;
  int64_t at = 0;
  for (FileCategory c = 0; c < row.category; ++c) at += 1 + Leaves(c);
  return row.leaf < 0 ? at : at + 1 + row.leaf;
}

std::optional<RowLayout::Row> RowLayout::FindPrefix(const ResultStore& store,
                                                    std::optional<Row> current, bool extending,
                                                    std::string_view foldedPrefix) const {
  const int nodes = Nodes();
  if (nodes == 0) return std::nullopt;
  const auto startsWith = [&](std::string_view label) {
    return FoldCase(label).compare(0, foldedPrefix.size(), foldedPrefix) == 0;
  };
  FileCategory category = 0;
  int64_t from = -1;  // in `category`: -1 the node, else the first leaf row to consider
  if (current) {
    category = current->category;
    from = current->leaf;
    if (!extending) ++from;
  }
  for (int step = 0; step <= nodes; ++step, category = (category + 1) % nodes, from = -1) {
    if (from < 0) {
      if (startsWith(tree_.NodeLabel(category))) return Row{category, -1};
      from = 0;
    }
    const int64_t count = Leaves(category);
    const auto title = [&](int64_t row) {
      return store.View(tree_.ChildData(category, static_cast<size_t>(row))).Title();
    };
    int64_t lo = 0, hi = count;
    while (lo < hi) {
      const int64_t mid = lo + (hi - lo) / 2;
      if (FoldCase(title(mid)) < foldedPrefix) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    const int64_t row = std::max(lo, from);
    if (row < count && startsWith(title(row))) return Row{category, row};
  }
  return std::nullopt;
}

}  // namespace findlark
