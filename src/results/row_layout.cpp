#include "results/row_layout.h"

#include "results/results_tree.h"

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

}  // namespace findlark
