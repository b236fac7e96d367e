#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <QModelIndex>
#include <QPersistentModelIndex>
#include <QPoint>
#include <array>
#include <cstdint>
#include <string_view>
#include <unordered_map>

#include "results/row_layout.h"
#include "search/categories.h"
#include "ui/type_ahead.h"

class QAccessibleInterface;
class QMimeData;

namespace findlark {

class ResultsModel;

// The results tree at any size. Rows are laid out by arithmetic over the thirteen category
// counts, so an update costs the same for ten hits as for ten million, and only the rows on
// screen are ever asked for. It draws with the platform style as a tree view does (branch
// arrows, icons, selection highlight) and is readable by screen readers. Right clicks and the
// menu key reach the owner as customContextMenuRequested, at a point in viewport coordinates.
class ResultsView : public QAbstractScrollArea {
  Q_OBJECT
 signals:
  void currentChanged(const QModelIndex& current);
  void doubleClicked(const QModelIndex& index);  // left button only

 public:
  explicit ResultsView(ResultsModel* model, QWidget* parent = nullptr);
  ~ResultsView() override;

  ResultsModel* model() const { return m_model; }
  QModelIndex currentIndex() const { return m_current; }
  void setCurrentIndex(const QModelIndex& index);

  bool isExpanded(const QModelIndex& index) const;
  void expand(const QModelIndex& index);
  void collapse(const QModelIndex& index);

  QModelIndex indexAt(const QPoint& viewportPos) const;
  QRect visualRect(const QModelIndex& index) const;  // viewport coordinates; empty when hidden
  void scrollTo(const QModelIndex& index);

  // The rows a screen shows, all categories included; for paging and for tests.
  int64_t VisibleRowCount() const;
  // The row `index` stands in among them (-1 when hidden in a collapsed node), and back.
  int64_t VisibleRowOf(const QModelIndex& index) const;
  QModelIndex IndexAtVisibleRow(int64_t row) const;
  int RowHeight() const { return m_rowHeight; }
  // How many leaves the view has asked the model about since the last reset of this counter:
  // the rows on screen, never the rest.
  uint64_t LeafQueries() const { return m_leafQueries; }
  void ResetLeafQueries() { m_leafQueries = 0; }

  // Accessibility: the interface of a category node (row -1) or leaf, made once and kept.
  QAccessibleInterface* AccessibleItem(FileCategory category, int64_t row);
  int64_t AccessibleRowOf(FileCategory category, int64_t record) const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  bool event(QEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void changeEvent(QEvent* event) override;

 private:
  using Row = RowLayout::Row;
  Row RowAt(int64_t row) const;  // row < VisibleRowCount()
  int64_t RowOf(const QModelIndex& index) const;
  QModelIndex IndexOf(Row row) const;
  int64_t CurrentRow() const { return RowOf(m_current); }
  void MoveTo(int64_t row);
  void SetExpanded(FileCategory category, bool expanded);
  // Keys and clicks: also says the new state to a screen reader.
  void SetExpandedByUser(FileCategory category, bool expanded);
  bool OnBranch(const QPoint& viewportPos, Row row) const;
  QModelIndex LeftButtonItem(QMouseEvent* event, QPoint& pos) const;
  void UpdateScrollBars();
  int ScrolledX() const;
  void UpdateMetrics();
  void KeyboardSearch(const QString& typed);
  void StartDrag();
  void CopyCurrent();
  void OnModelReset();
  void OnLayoutChanged();
  void OnLabelsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight);
  QAccessibleInterface* AccessibleItemOf(const QModelIndex& index);
  void NotifySelected(const QModelIndex& previous);  // state changes of the old and new row
  void NotifyCurrent(bool focus);
  void DropAccessibleItems();

  ResultsModel* m_model;
  QPersistentModelIndex m_current;
  RowLayout m_layout;  // which rows are on show
  int m_rowHeight = 20;
  int m_indent = 20;
  int m_contentWidth = 0;  // the widest row drawn since the last reset
  QPoint m_pressPos;
  QPersistentModelIndex m_pressed;  // a left press on a leaf that may become a drag
  TypeAhead m_typeAhead;
  mutable uint64_t m_leafQueries = 0;
  std::unordered_map<uint64_t, unsigned> m_accessibleIds;  // item key -> QAccessible::Id
};

// What a hit offers to a drag or the clipboard: its path as text and as a file URL whose
// percent-escapes keep the name's exact bytes.
QMimeData* HitMimeData(std::string_view path);

}  // namespace findlark
