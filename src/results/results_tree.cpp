#include "results/results_tree.h"

#include <algorithm>
#include <utility>

namespace findlark {

namespace {

std::string_view LabelOf(const ResultStore::Reader& store, uint32_t record) {
  return store.View(record).Title();
}

// How often a long loop looks at the cancel flag.
constexpr size_t kCancelStride = 1 << 16;

bool Cancelled(const std::atomic<bool>* cancel) {
  return cancel && cancel->load(std::memory_order_relaxed);
}

}  // namespace

void ResultsTree::Reset() {
  Clear();
  hasNodes_ = true;
}

void ResultsTree::Clear() {
  for (auto& list : lists_) list.reset();
  hasNodes_ = false;
}

size_t ResultsTree::ChildCount(FileCategory category) const {
  if (!category.Valid() || !lists_[category]) return 0;
  return lists_[category]->size();
}

std::string ResultsTree::NodeLabel(FileCategory category) const {
  if (!category.Valid()) return {};
  std::string label = g_categoryNames[category];
  label += " (";
  label += std::to_string(ChildCount(category));
  label += ')';
  return label;
}

LeafMerge ResultsTree::PlanMerge(const ResultStore& store, uint32_t first, uint32_t last) const {
  LeafMerge merge;
  merge.lists = lists_;
  merge.store = store.MakeReader();
  merge.first = first;
  merge.last = std::max(first, std::min(last, static_cast<uint32_t>(store.size())));
  return merge;
}

bool ResultsTree::RunMerge(LeafMerge& merge, const std::atomic<bool>* cancel) {
  struct Added {
    LeafKey key;
    std::string_view label;  // points into the store, which never moves its texts
    uint32_t record;
  };
  const ResultStore::Reader& store = merge.store;
  // Found order within each category; the store keeps categories in range.
  using AddedList = std::vector<Added, LargePageAllocator<Added>>;
  std::array<AddedList, kCategoryCount> batch;
  // Counted first, so that each list is made once at its size: grown by doubling, a list of a
  // million would be copied a dozen times, into fresh memory each time.
  std::array<size_t, kCategoryCount> counts{};
  for (uint32_t i = merge.first; i < merge.last; ++i) {
    if ((i & (kCancelStride - 1)) == 0 && Cancelled(cancel)) return false;
    ++counts[store.CategoryOf(i)];
  }
  for (FileCategory c = 0; c < kCategoryCount; ++c) batch[c].reserve(counts[c]);
  for (uint32_t i = merge.first; i < merge.last; ++i) {
    if ((i & (kCancelStride - 1)) == 0 && Cancelled(cancel)) return false;
    const RecordView view = store.View(i);
    const std::string_view label = view.Title();
    batch[view.category].push_back({LabelKey(label), label, i});
  }

  for (FileCategory c = 0; c < kCategoryCount; ++c) {
    AddedList& added = batch[c];
    merge.touched[c] = !added.empty();
    if (added.empty()) {
      merge.lists[c].reset();
      continue;
    }
    if (Cancelled(cancel)) return false;
    // Equal labels keep found order, which is record order.
    std::sort(added.begin(), added.end(), [](const Added& a, const Added& b) {
      if (a.key != b.key) return a.key < b.key;
      const int order = LabelOrder(a.label, b.label);
      return order != 0 ? order < 0 : a.record < b.record;
    });

    static const LeafList kEmpty;
    const LeafList& old = merge.lists[c] ? *merge.lists[c] : kEmpty;
    const size_t oldSize = old.size();
    auto merged = std::make_shared<LeafList>();
    merged->keys.reserve(oldSize + added.size());
    merged->records.reserve(oldSize + added.size());

    // Each new leaf goes after every old leaf with an equal label: those were found earlier.
    // The batch is sorted, so each search starts where the previous one ended and gallops
    // forward before it halves; the old leaves in between are copied as one run.
    size_t from = 0;
    for (size_t j = 0; j < added.size(); ++j) {
      if ((j & (kCancelStride - 1)) == 0 && Cancelled(cancel)) return false;
      const Added& a = added[j];
      const auto before = [&](size_t at) {
        const LeafKey& key = old.keys[at];
        if (a.key != key) return a.key < key;
        return LabelLess(a.label, LabelOf(store, old.records[at]));
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
      merged->keys.insert(merged->keys.end(), old.keys.begin() + from, old.keys.begin() + lo);
      merged->records.insert(merged->records.end(), old.records.begin() + from,
                             old.records.begin() + lo);
      merged->keys.push_back(a.key);
      merged->records.push_back(a.record);
      from = lo;
    }
    merged->keys.insert(merged->keys.end(), old.keys.begin() + from, old.keys.end());
    merged->records.insert(merged->records.end(), old.records.begin() + from, old.records.end());
    merge.lists[c] = std::move(merged);
    AddedList().swap(added);
  }
  return true;
}

void ResultsTree::ApplyMerge(LeafMerge& merge) {
  hasNodes_ = true;
  for (FileCategory c = 0; c < kCategoryCount; ++c) {
    if (merge.touched[c]) std::swap(lists_[c], merge.lists[c]);
  }
}

int64_t ResultsTree::RowOf(FileCategory category, uint32_t record, const ResultStore& store) const {
  if (!category.Valid() || !lists_[category] || record >= store.size()) return -1;
  const LeafList& list = *lists_[category];
  const std::string_view label = store.View(record).Title();
  const LeafKey key = LabelKey(label);
  // Leaves stand in (label, found order) order, and found order is record order.
  size_t lo = 0, hi = list.size();
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    const uint32_t other = list.records[mid];
    bool less;  // the leaf at mid stands before `record`'s
    if (list.keys[mid] != key) {
      less = list.keys[mid] < key;
    } else {
      const std::string_view otherLabel = store.View(other).Title();
      less = LabelLess(otherLabel, label) || (!LabelLess(label, otherLabel) && other < record);
    }
    if (less) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo < list.size() && list.records[lo] == record ? static_cast<int64_t>(lo) : -1;
}

std::optional<TreeItem> ResultsTree::FirstChild(std::optional<TreeItem> parent) const {
  if (!parent) {
    if (!hasNodes_) return std::nullopt;
    return TreeItem{0, -1};
  }
  if (!parent->IsNode() || !parent->category.Valid() || !hasNodes_) return std::nullopt;
  if (ChildCount(parent->category) == 0) return std::nullopt;
  return TreeItem{parent->category, 0};
}

std::optional<TreeItem> ResultsTree::NextSibling(TreeItem item) const {
  if (!hasNodes_ || !item.category.Valid()) return std::nullopt;
  if (item.IsNode()) {
    if (item.category + 1 >= kCategoryCount) return std::nullopt;
    return TreeItem{item.category + 1, -1};
  }
  const auto next = item.row + 1;
  if (next >= static_cast<int64_t>(ChildCount(item.category))) return std::nullopt;
  return TreeItem{item.category, next};
}

int64_t ResultsTree::ItemData(TreeItem item) const {
  if (item.IsNode() || !item.category.Valid()) return kNodeData;
  if (item.row >= static_cast<int64_t>(ChildCount(item.category))) return kNodeData;
  return lists_[item.category]->records[static_cast<size_t>(item.row)];
}

std::string ResultsTree::ItemText(TreeItem item, const ResultStore& store) const {
  if (item.IsNode()) return NodeLabel(item.category);
  const int64_t data = ItemData(item);
  if (data < 0 || static_cast<uint64_t>(data) >= store.size()) return {};
  return std::string(store.View(static_cast<size_t>(data)).Title());
}

size_t ResultsTree::BytesReserved() const {
  size_t bytes = 0;
  for (const auto& list : lists_) {
    if (!list) continue;
    bytes += sizeof(LeafList) + list->keys.capacity() * sizeof(LeafKey) +
             list->records.capacity() * sizeof(uint32_t);
  }
  return bytes;
}

}  // namespace findlark
