#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "results/leaf_merger.h"
#include "results/result_record.h"
#include "results/search_results.h"
#include "search/categories.h"
#include "search/hit_batch.h"

namespace findlark {

// The results tree as a Qt item model: thirteen category nodes at the top level (once a search
// has started), each holding its leaves in label order. Rows are never stored twice: the model
// reads the engine's tree and store directly, so a million hits cost the view nothing extra.
class ResultsModel : public QAbstractItemModel {
  Q_OBJECT
 signals:
  void hitsRecorded();  // a merge made new leaves visible; see LastTouched()

 public:
  // The item data of the item-data rule: -1 for category nodes, the record index for leaves.
  static constexpr int kItemDataRole = Qt::UserRole + 1;

  explicit ResultsModel(QObject* parent = nullptr);

  const SearchResults& results() const { return results_; }

  // Empties the store and shows thirteen fresh nodes labelled " (0)".
  void ResetResults();
  // Records a batch of hits in found order, merged on this thread; returns which categories
  // got new leaves. For small runs and tests: the window merges off its thread (below).
  std::array<bool, kCategoryCount> RecordHits(std::vector<ResultRecord>& batch);
  // The same in steps. AppendHits only stores the records: no row appears and no reader sees
  // them, as the found count stays put. RecordAppendedHits gives every stored record its leaf
  // at once. StartMerge instead merges them on a helper thread and returns at once; when the
  // merge is done the new lists are swapped in on this thread, the found count rises, and
  // hitsRecorded() is emitted. The window thread's work per merge is then independent of the
  // number of hits.
  template <typename Hits>  // records, or a batch straight from the worker's queue
  void AppendHits(const Hits& batch) {
    if (results_.tree.HasNodes()) results_.AppendHits(batch);  // else no search has started
  }
  std::array<bool, kCategoryCount> RecordAppendedHits();
  bool StartMerge();  // false when nothing is waiting or a merge is already running
  bool Merging() const { return merging_; }
  // Hands back the memory a finished walk left idle (see findlark::ReleaseIdleMemory) on the
  // helper, after what it was given to free before: unmapping tens of megabytes takes longer
  // than a frame.
  void ReleaseIdleMemory();
  size_t AppendedHits() const { return results_.Appended(); }
  // Which categories the last recording gave new leaves.
  const std::array<bool, kCategoryCount>& LastTouched() const { return lastTouched_; }

  QModelIndex NodeIndex(FileCategory category) const;
  // The item data of `index`, or kNodeData for anything that is not a leaf.
  int64_t ItemData(const QModelIndex& index) const;
  // The record of the hit at `index`, when it is a fully recorded hit (the item-data rule).
  std::optional<RecordView> Record(const QModelIndex& index) const;

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  // Internal id 0 marks a category node; category + 1 marks a leaf of that category.
  static bool IsLeaf(const QModelIndex& index) { return index.internalId() != 0; }
  static FileCategory LeafCategory(const QModelIndex& index) {
    return static_cast<FileCategory>(index.internalId() - 1);
  }

  void FinishMerge();
  void Apply(LeafMerge& merge);

  SearchResults results_;
  std::array<QIcon, kCategoryCount> icons_;
  std::array<bool, kCategoryCount> lastTouched_{};
  bool merging_ = false;
  uint64_t generation_ = 0;  // which run a finished merge belongs to
  LeafMerger merger_;        // last: it is joined before the store it reads goes away
};

// A file or folder name (bytes) as a person should read it: see VisibleName.
QString ShownName(std::string_view bytes);

// Tip text as plain text that Qt never mistakes for rich text.
QString PlainTipHtml(const QString& text);

}  // namespace findlark
