#include "ui/results_model.h"

#include <algorithm>

#include "results/hit_info.h"
#include "ui/icons.h"

namespace findlark {

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
  results_.ResetResults();
  endResetModel();
}

std::array<bool, kCategoryCount> ResultsModel::RecordHits(std::vector<ResultRecord>& batch) {
  AppendHits(batch);
  return RecordAppendedHits();
}

void ResultsModel::AppendHits(const std::vector<ResultRecord>& batch) {
  if (!results_.tree.HasNodes()) return;  // no search has started
  for (const ResultRecord& record : batch) results_.store.Append(record);
}

std::array<bool, kCategoryCount> ResultsModel::RecordAppendedHits() {
  std::array<bool, kCategoryCount> touched{};
  if (!results_.tree.HasNodes() || AppendedHits() == 0) return touched;

  // One layout change per merge: far cheaper for the view than one insert per run of rows,
  // and persistent indexes (selection, current item) follow their leaves to their new rows.
  emit layoutAboutToBeChanged();
  ResultsTree::RowLists newRows;
  results_.tree.InsertLeaves(results_.store, static_cast<uint32_t>(AppendedFrom()), &newRows);
  // Last, as the recording steps require: only now do readers see the new records.
  results_.foundCount = static_cast<int>(results_.store.size());

  // A leaf at old row r moves down by the number of new rows placed before it. New row n_j
  // (the j-th new row, ascending) lies before old row r exactly when n_j - j <= r.
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& old : from) {
    if (!old.isValid() || !IsLeaf(old)) {
      to.append(old);
      continue;
    }
    const auto& rows = newRows[LeafCategory(old)];
    int64_t lo = 0;
    int64_t hi = static_cast<int64_t>(rows.size());
    while (lo < hi) {
      const int64_t mid = (lo + hi) / 2;
      if (static_cast<int64_t>(rows[mid]) - mid <= old.row()) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    to.append(createIndex(old.row() + static_cast<int>(lo), old.column(), old.internalId()));
  }
  changePersistentIndexList(from, to);
  emit layoutChanged();

  for (int c = 0; c < kCategoryCount; ++c) {
    touched[c] = !newRows[c].empty();
    if (touched[c]) {
      const QModelIndex node = NodeIndex(c);
      emit dataChanged(node, node, {Qt::DisplayRole});
    }
  }
  return touched;
}

QModelIndex ResultsModel::NodeIndex(FileCategory category) const {
  if (!results_.tree.HasNodes() || category < 0 || category >= kCategoryCount) return {};
  return createIndex(category, 0, quintptr{0});
}

int64_t ResultsModel::ItemData(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != this || !IsLeaf(index)) return kNodeData;
  const FileCategory category = LeafCategory(index);
  if (index.row() < 0 || static_cast<size_t>(index.row()) >= results_.tree.ChildCount(category))
    return kNodeData;
  return results_.tree.ChildData(category, static_cast<size_t>(index.row()));
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
      const std::string_view title = record.Title();
      return QString::fromUtf8(title.data(), static_cast<qsizetype>(title.size()));
    }
    case Qt::DecorationRole:
      return icons_[LeafCategory(index)];
    case Qt::ToolTipRole: {
      const auto tip = InfoTipText(results_, item);
      if (!tip) return {};
      return PlainTipHtml(QString::fromUtf8(tip->data(), static_cast<qsizetype>(tip->size())));
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
