#include "ui/results_model.h"

#include <QMetaObject>
#include <algorithm>
#include <memory>
#include <optional>

#include "persist/text_escape.h"
#include "results/hit_info.h"
#include "search/hit_memory.h"
#include "ui/icons.h"

namespace findlark {

QString ShownName(std::string_view bytes) {
  const std::string shown = VisibleName(bytes);
  return QString::fromUtf8(shown.data(), static_cast<qsizetype>(shown.size()));
}

QString PlainTipHtml(const QString& text) {
  // A file named "<b>x" must show as typed, so the text is escaped and wrapped in a block that
  // keeps its line breaks.
  return QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() +
         QStringLiteral("</p>");
}

ResultsModel::ResultsModel(QObject* parent) : QAbstractItemModel(parent) {
  for (int c = 0; c < kCategoryCount; ++c) icons_[c] = CategoryIcon(c);
}

void ResultsModel::ResetResults() {
  beginResetModel();
  // A merge still reading the old store is dropped; the old store and leaves are freed on the
  // helper once it has ended, as dropping millions of them takes longer than a frame.
  merger_.Abandon();
  merging_ = false;
  ++generation_;
  merger_.Dispose(std::make_shared<SearchResults>(std::move(results_)));
  results_.ResetResults();
  lastTouched_ = {};
  endResetModel();
}

std::array<bool, kCategoryCount> ResultsModel::RecordHits(std::vector<ResultRecord>& batch) {
  AppendHits(batch);
  return RecordAppendedHits();
}

std::array<bool, kCategoryCount> ResultsModel::RecordAppendedHits() {
  if (merging_) {
    merger_.Cancel();
    merging_ = false;
  }
  lastTouched_ = {};
  if (!results_.tree.HasNodes() || AppendedHits() == 0) return lastTouched_;
  LeafMerge merge = results_.PlanMerge();
  ResultsTree::RunMerge(merge);
  Apply(merge);
  return lastTouched_;
}

void ResultsModel::ReleaseIdleMemory() {
  merger_.Dispose(std::shared_ptr<void>(nullptr, [](void*) { findlark::ReleaseIdleMemory(); }));
}

bool ResultsModel::StartMerge() {
  if (merging_ || !results_.tree.HasNodes() || AppendedHits() == 0) return false;
  merging_ = true;
  const uint64_t generation = generation_;
  merger_.Start(results_.PlanMerge(), [this, generation] {
    // On the helper: the swap itself happens on this model's thread.
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
          if (generation == generation_) FinishMerge();
        },
        Qt::QueuedConnection);
  });
  return true;
}

void ResultsModel::FinishMerge() {
  std::optional<LeafMerge> merge = merger_.Take();
  if (!merge) return;
  merging_ = false;
  Apply(*merge);
  emit hitsRecorded();
}

void ResultsModel::Apply(LeafMerge& merge) {
  // One layout change per merge, and persistent indexes (the view's current item) follow their
  // leaves to their new rows: each is found again by its label, in logarithmic time.
  emit layoutAboutToBeChanged();
  const QModelIndexList from = persistentIndexList();
  std::vector<int64_t> records;
  records.reserve(static_cast<size_t>(from.size()));
  for (const QModelIndex& old : from) records.push_back(ItemData(old));

  merger_.Dispose(std::make_shared<LeafLists>(results_.ApplyMerge(merge)));
  lastTouched_ = merge.touched;

  QModelIndexList to;
  to.reserve(from.size());
  for (qsizetype i = 0; i < from.size(); ++i) {
    const QModelIndex& old = from[i];
    if (!old.isValid() || !IsLeaf(old) || records[static_cast<size_t>(i)] < 0) {
      to.append(old);
      continue;
    }
    const FileCategory category = LeafCategory(old);
    const int64_t row = results_.tree.RowOf(
        category, static_cast<uint32_t>(records[static_cast<size_t>(i)]), results_.store);
    to.append(row < 0 ? QModelIndex()
                      : createIndex(static_cast<int>(row), old.column(), old.internalId()));
  }
  changePersistentIndexList(from, to);
  emit layoutChanged();

  for (int c = 0; c < kCategoryCount; ++c) {
    if (lastTouched_[c]) {
      const QModelIndex node = NodeIndex(c);
      emit dataChanged(node, node, {Qt::DisplayRole});
    }
  }
}

QModelIndex ResultsModel::NodeIndex(FileCategory category) const {
  if (!results_.tree.HasNodes() || !category.Valid()) return {};
  return createIndex(category, 0, quintptr{0});
}

int64_t ResultsModel::ItemData(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this || !IsLeaf(index)) return kNodeData;
  const FileCategory category = LeafCategory(index);
  if (index.row() < 0 || static_cast<size_t>(index.row()) >= results_.tree.ChildCount(category))
    return kNodeData;
  return results_.tree.ChildData(category, static_cast<size_t>(index.row()));
}

std::optional<RecordView> ResultsModel::Record(const QModelIndex& index) const {
  const int64_t data = ItemData(index);
  if (!results_.RefersToRecord(data)) return std::nullopt;
  return results_.store.View(static_cast<size_t>(data));
}

QModelIndex ResultsModel::index(int row, int column, const QModelIndex& parent) const {
  // The view asks for every row of the expanded categories each time it lays them out, so this
  // checks the bounds itself instead of through two more virtual calls.
  if (row < 0 || column != 0 || !results_.tree.HasNodes()) return {};
  if (!parent.isValid())
    return row < kCategoryCount ? createIndex(row, 0, quintptr{0}) : QModelIndex();
  if (IsLeaf(parent) || parent.column() != 0 || parent.row() >= kCategoryCount ||
      static_cast<size_t>(row) >= results_.tree.ChildCount(parent.row()))
    return {};
  return createIndex(row, 0, static_cast<quintptr>(parent.row() + 1));
}

QModelIndex ResultsModel::parent(const QModelIndex& child) const {
  if (!child.isValid() || !IsLeaf(child)) return {};
  return createIndex(LeafCategory(child), 0, quintptr{0});
}

int ResultsModel::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return results_.tree.HasNodes() ? kCategoryCount : 0;
  if (parent.column() != 0 || IsLeaf(parent)) return 0;
  return static_cast<int>(results_.tree.ChildCount(parent.row()));
}

int ResultsModel::columnCount(const QModelIndex&) const {
  return 1;
}

bool ResultsModel::hasChildren(const QModelIndex& parent) const {
  return rowCount(parent) > 0;
}

QVariant ResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.model() != this) return {};
  if (!IsLeaf(index)) {
    const FileCategory category = index.row();
    switch (role) {
      case Qt::DisplayRole:
        return QString::fromUtf8(results_.tree.NodeLabel(category));
      case Qt::DecorationRole:
        return icons_[category];
      case kItemDataRole:
        return QVariant::fromValue<qlonglong>(kNodeData);
      default:
        return {};
    }
  }
  const int64_t item = ItemData(index);
  if (!results_.RefersToRecord(item)) return {};
  switch (role) {
    case Qt::DisplayRole: {
      const RecordView record = results_.store.View(static_cast<size_t>(item));
      return ShownName(record.Title());
    }
    case Qt::DecorationRole:
      return icons_[LeafCategory(index)];
    case Qt::ToolTipRole:
    case Qt::AccessibleDescriptionRole: {
      const auto tip = InfoTipText(results_, item);
      if (!tip) return {};
      const QString text = QString::fromUtf8(tip->data(), static_cast<qsizetype>(tip->size()));
      return role == Qt::ToolTipRole ? PlainTipHtml(text) : text;
    }
    case kItemDataRole:
      return QVariant::fromValue<qlonglong>(item);
    default:
      return {};
  }
}

Qt::ItemFlags ResultsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags result = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (IsLeaf(index)) result |= Qt::ItemNeverHasChildren;
  return result;
}

}  // namespace findlark
