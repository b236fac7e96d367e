#include "results/results_tree.h"

#include <algorithm>

namespace findlark {

namespace {

unsigned char FoldAscii(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

bool ValidCategory(FileCategory category) {
  return category >= 0 && category < kCategoryCount;
}

// The first eight folded bytes, big-endian and padded with zeros. Keys order labels coarsely:
// a smaller key means a smaller label; equal keys need the full comparison.
uint64_t LabelKey(std::string_view label) {
  uint64_t key = 0;
  for (size_t i = 0; i < 8; ++i) {
    key <<= 8;
    if (i < label.size()) key |= FoldAscii(static_cast<unsigned char>(label[i]));
  }
  return key;
}

}  // namespace

namespace {

// LabelLess for labels whose first `skip` folded bytes are known to be equal.
bool LabelLessFrom(std::string_view a, std::string_view b, size_t skip) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = skip; i < n; ++i) {
    const unsigned char x = FoldAscii(static_cast<unsigned char>(a[i]));
    const unsigned char y = FoldAscii(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  // Same letters in another case: a fixed order keeps the tree deterministic.
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y;
  }
  return false;
}

// Orders two labels by key first. Equal keys of labels that both fill them mean equal first
// eight folded bytes, which the full comparison then skips: names that share a long prefix
// (IMG_2023..., report-...) are common, and ties are where a merge spends its time.
bool KeyedLess(uint64_t keyA, std::string_view a, uint64_t keyB, std::string_view b) {
  if (keyA != keyB) return keyA < keyB;
  return LabelLessFrom(a, b, a.size() >= 8 && b.size() >= 8 ? 8 : 0);
}

}  // namespace

bool LabelLess(std::string_view a, std::string_view b) {
  return LabelLessFrom(a, b, 0);
}

void ResultsTree::Reset() {
  Clear();
  hasNodes_ = true;
}

void ResultsTree::Clear() {
  for (auto& list : leaves_) std::vector<uint32_t>().swap(list);
  for (auto& list : keys_) std::vector<uint64_t>().swap(list);
  for (auto& list : labels_) std::vector<std::string_view>().swap(list);
  hasNodes_ = false;
}

std::string ResultsTree::NodeLabel(FileCategory category) const {
  if (!ValidCategory(category)) return {};
  std::string label = g_categoryNames[category];
  label += " (";
  label += std::to_string(leaves_[category].size());
  label += ')';
  return label;
}

void ResultsTree::InsertLeaves(const ResultStore& store, uint32_t first, RowLists* newRows) {
  if (newRows) {
    for (auto& rows : *newRows) rows.clear();
  }
  if (first >= store.size()) return;
  hasNodes_ = true;

  struct Added {
    uint64_t key;
    std::string_view label;  // points into the store, which never moves its texts
    uint32_t index;
  };
  // Found order within each category; the store keeps categories in range.
  std::array<std::vector<Added>, kCategoryCount> batch;
  for (size_t i = first; i < store.size(); ++i) {
    const RecordView view = store.View(i);
    const std::string_view label = view.Title();
    batch[view.category].push_back({LabelKey(label), label, static_cast<uint32_t>(i)});
  }

  for (FileCategory c = 0; c < kCategoryCount; ++c) {
    std::vector<Added>& added = batch[c];
    if (added.empty()) continue;
    std::stable_sort(added.begin(), added.end(), [](const Added& a, const Added& b) {
      return KeyedLess(a.key, a.label, b.key, b.label);
    });

    std::vector<uint32_t>& leaves = leaves_[c];
    std::vector<uint64_t>& keys = keys_[c];
    std::vector<std::string_view>& labels = labels_[c];
    const size_t oldSize = leaves.size();

    // Each new leaf goes after every existing leaf with an equal label: those were found
    // earlier. The batch is sorted, so each search starts where the previous one ended, and
    // gallops forward before it halves: a batch spread over a large category then costs a few
    // comparisons per leaf instead of a full binary search.
    std::vector<size_t> place(added.size());
    size_t from = 0;
    for (size_t j = 0; j < added.size(); ++j) {
      const Added& a = added[j];
      const auto before = [&](size_t at) {
        return KeyedLess(a.key, a.label, keys[at], labels[at]);
      };
      size_t lo = from, hi = oldSize;  // the place lies in [lo, hi]
      for (size_t step = 1; lo < hi; step *= 2) {
        const size_t probe = std::min(lo + step - 1, hi - 1);
        if (before(probe)) {
          hi = probe;
          break;
        }
        lo = probe + 1;
      }
      while (lo < hi) {
        const size_t mid = lo + (hi - lo) / 2;
        if (before(mid)) {
          hi = mid;
        } else {
          lo = mid + 1;
        }
      }
      place[j] = from = lo;
    }

    // Merge from the back, moving each run of old leaves once.
    leaves.resize(oldSize + added.size());
    keys.resize(oldSize + added.size());
    labels.resize(oldSize + added.size());
    size_t oldEnd = oldSize;
    for (size_t j = added.size(); j-- > 0;) {
      const size_t at = place[j];
      std::move_backward(leaves.begin() + at, leaves.begin() + oldEnd,
                         leaves.begin() + oldEnd + j + 1);
      std::move_backward(keys.begin() + at, keys.begin() + oldEnd, keys.begin() + oldEnd + j + 1);
      std::move_backward(labels.begin() + at, labels.begin() + oldEnd,
                         labels.begin() + oldEnd + j + 1);
      leaves[at + j] = added[j].index;
      keys[at + j] = added[j].key;
      labels[at + j] = added[j].label;
      oldEnd = at;
    }

    if (newRows) {
      auto& rows = (*newRows)[c];
      rows.resize(added.size());
      for (size_t j = 0; j < added.size(); ++j) rows[j] = static_cast<uint32_t>(place[j] + j);
    }
  }
}

std::optional<TreeItem> ResultsTree::FirstChild(std::optional<TreeItem> parent) const {
  if (!parent) {
    if (!hasNodes_) return std::nullopt;
    return TreeItem{0, -1};
  }
  if (!parent->IsNode() || !ValidCategory(parent->category) || !hasNodes_) return std::nullopt;
  if (leaves_[parent->category].empty()) return std::nullopt;
  return TreeItem{parent->category, 0};
}

std::optional<TreeItem> ResultsTree::NextSibling(TreeItem item) const {
  if (!hasNodes_ || !ValidCategory(item.category)) return std::nullopt;
  if (item.IsNode()) {
    if (item.category + 1 >= kCategoryCount) return std::nullopt;
    return TreeItem{item.category + 1, -1};
  }
  const auto next = item.row + 1;
  if (next >= static_cast<int64_t>(leaves_[item.category].size())) return std::nullopt;
  return TreeItem{item.category, next};
}

int64_t ResultsTree::ItemData(TreeItem item) const {
  if (item.IsNode() || !ValidCategory(item.category)) return kNodeData;
  const auto& leaves = leaves_[item.category];
  if (item.row >= static_cast<int64_t>(leaves.size())) return kNodeData;
  return leaves[static_cast<size_t>(item.row)];
}

std::string ResultsTree::ItemText(TreeItem item, const ResultStore& store) const {
  if (item.IsNode()) return NodeLabel(item.category);
  const int64_t data = ItemData(item);
  if (data < 0 || static_cast<uint64_t>(data) >= store.size()) return {};
  return std::string(store.View(static_cast<size_t>(data)).Title());
}

size_t ResultsTree::BytesReserved() const {
  size_t bytes = 0;
  for (const auto& list : leaves_) bytes += list.capacity() * sizeof(uint32_t);
  for (const auto& list : keys_) bytes += list.capacity() * sizeof(uint64_t);
  for (const auto& list : labels_) bytes += list.capacity() * sizeof(std::string_view);
  return bytes;
}

void SearchResults::ResetResults() {
  store.Clear();
  tree.Reset();
  foundCount = 0;
}

void SearchResults::RecordHits(std::vector<ResultRecord>& batch, ResultsTree::RowLists* newRows) {
  if (!tree.HasNodes()) tree.Reset();
  const auto first = static_cast<uint32_t>(store.size());
  for (const ResultRecord& record : batch) store.Append(record);
  tree.InsertLeaves(store, first, newRows);
  foundCount += static_cast<int>(batch.size());
}

}  // namespace findlark
