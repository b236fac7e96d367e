#include "ui/results_view_accessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>
#include <climits>

#include "ui/results_model.h"
#include "ui/results_view.h"

namespace findlark {

namespace {

QAccessibleInterface* ItemOf(ResultsView* view, const QModelIndex& index) {
  if (!index.isValid()) return nullptr;
  if (!index.parent().isValid()) return view->AccessibleItem(index.row(), -1);
  return view->AccessibleItem(index.parent().row(), index.row());
}

// A category node or one hit, as a screen reader sees it. A leaf is tied to its record, not to
// its row, so it stays the same object while hits arriving above it move it down.
class ResultsItemAccessible : public QAccessibleInterface,
                              public QAccessibleTableCellInterface,
                              public QAccessibleActionInterface {
 public:
  ResultsItemAccessible(ResultsView* view, FileCategory category, int64_t record)
      : m_view(view), m_category(category), m_record(record) {}

  bool IsNode() const { return m_record < 0; }
  FileCategory Category() const { return m_category; }
  int64_t Row() const {
    if (!m_view || IsNode()) return -1;
    return m_view->AccessibleRowOf(m_category, m_record);
  }
  QModelIndex Index() const {
    if (!m_view) return {};
    const ResultsModel* model = m_view->model();
    const QModelIndex node = model->NodeIndex(m_category);
    if (IsNode()) return node;
    const int64_t row = Row();
    return row < 0 ? QModelIndex() : model->index(static_cast<int>(row), 0, node);
  }

  bool isValid() const override { return m_view && Index().isValid(); }
  QObject* object() const override { return nullptr; }
  QWindow* window() const override { return m_view ? m_view->window()->windowHandle() : nullptr; }
  QAccessibleInterface* parent() const override {
    if (!m_view) return nullptr;
    if (IsNode()) return QAccessible::queryAccessibleInterface(m_view);
    return m_view->AccessibleItem(m_category, -1);
  }
  int childCount() const override {
    if (!m_view || !IsNode() || !m_view->isExpanded(Index())) return 0;
    return m_view->model()->rowCount(Index());
  }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount()) return nullptr;
    return m_view->AccessibleItem(m_category, index);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    const auto* item = dynamic_cast<const ResultsItemAccessible*>(child);
    if (!item || !IsNode() || item->IsNode() || item->m_category != m_category) return -1;
    const int64_t row = item->Row();
    return row < childCount() ? static_cast<int>(row) : -1;
  }
  QAccessibleInterface* childAt(int, int) const override { return nullptr; }
  QString text(QAccessible::Text t) const override {
    // The description is what the tip shows, so hits of one name are told apart by folder.
    if (t == QAccessible::Name) return Index().data(Qt::DisplayRole).toString();
    if (t == QAccessible::Description)
      return Index().data(Qt::AccessibleDescriptionRole).toString();
    return {};
  }
  void setText(QAccessible::Text, const QString&) override {}
  QRect rect() const override {
    if (!m_view) return {};
    const QRect r = m_view->visualRect(Index());
    if (r.isEmpty()) return {};
    return QRect(m_view->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  QAccessible::Role role() const override { return QAccessible::TreeItem; }
  QAccessible::State state() const override {
    QAccessible::State s;
    if (!m_view) {
      s.invalid = true;
      return s;
    }
    const QModelIndex index = Index();
    s.selectable = true;
    s.focusable = true;
    const bool current = index.isValid() && index == m_view->currentIndex();
    s.selected = current;
    s.focused = current && m_view->hasFocus();
    if (IsNode() && m_view->model()->rowCount(index) > 0) {
      s.expandable = true;
      s.expanded = m_view->isExpanded(index);
      s.collapsed = !s.expanded;
    }
    if (m_view->visualRect(index).isEmpty()) s.offscreen = true;
    return s;
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableCellInterface)
      return static_cast<QAccessibleTableCellInterface*>(this);
    if (type == QAccessible::ActionInterface) return static_cast<QAccessibleActionInterface*>(this);
    return nullptr;
  }

  // A cell of the table of rows on show.
  bool isSelected() const override { return m_view && Index() == m_view->currentIndex(); }
  QList<QAccessibleInterface*> columnHeaderCells() const override { return {}; }
  QList<QAccessibleInterface*> rowHeaderCells() const override { return {}; }
  int columnIndex() const override { return 0; }
  int rowIndex() const override {
    if (!m_view) return -1;
    const int64_t row = m_view->VisibleRowOf(Index());
    return row > INT_MAX ? -1 : static_cast<int>(row);
  }
  int columnExtent() const override { return 1; }
  int rowExtent() const override { return 1; }
  QAccessibleInterface* table() const override {
    return m_view ? QAccessible::queryAccessibleInterface(m_view) : nullptr;
  }

  // Actions: a node expands and collapses; any row can take the selection.
  QStringList actionNames() const override {
    if (IsNode() && m_view && m_view->model()->rowCount(Index()) > 0)
      return {m_view->isExpanded(Index()) ? Collapse() : Expand(), setFocusAction()};
    return {setFocusAction()};
  }
  void doAction(const QString& name) override {
    if (!m_view) return;
    const QModelIndex index = Index();
    if (name == Expand() || name == Collapse() || name == toggleAction()) {
      if (!IsNode()) return;
      if (name == Expand() || (name == toggleAction() && !m_view->isExpanded(index))) {
        m_view->expand(index);
      } else {
        m_view->collapse(index);
      }
    } else if (name == setFocusAction()) {
      m_view->setFocus(Qt::OtherFocusReason);
      m_view->setCurrentIndex(index);
      m_view->scrollTo(index);
    }
  }
  QStringList keyBindingsForAction(const QString& name) const override {
    if (name == Expand()) return {QStringLiteral("Right")};
    if (name == Collapse()) return {QStringLiteral("Left")};
    return {};
  }

  static QString Expand() { return QStringLiteral("expand"); }
  static QString Collapse() { return QStringLiteral("collapse"); }

 private:
  QPointer<ResultsView> m_view;
  FileCategory m_category;
  int64_t m_record;  // -1: the category node
};

// The view itself: its children are the thirteen category nodes (the scroll bars stay out);
// as a table, its rows are the rows on show, with the current one selected.
class ResultsViewAccessible : public QAccessibleWidget, public QAccessibleTableInterface {
 public:
  explicit ResultsViewAccessible(ResultsView* view) : QAccessibleWidget(view, QAccessible::Tree) {}

  ResultsView* View() const { return static_cast<ResultsView*>(widget()); }
  int childCount() const override { return View()->model()->rowCount(); }
  QAccessibleInterface* child(int index) const override {
    if (index < 0 || index >= childCount()) return nullptr;
    return View()->AccessibleItem(index, -1);
  }
  int indexOfChild(const QAccessibleInterface* child) const override {
    const auto* item = dynamic_cast<const ResultsItemAccessible*>(child);
    return item && item->IsNode() ? int{item->Category()} : -1;
  }
  QAccessibleInterface* childAt(int x, int y) const override {
    ResultsView* view = View();
    const QModelIndex index = view->indexAt(view->viewport()->mapFromGlobal(QPoint(x, y)));
    if (!index.isValid()) return nullptr;
    const QModelIndex node = index.parent().isValid() ? index.parent() : index;
    return view->AccessibleItem(node.row(), -1);
  }
  QAccessibleInterface* focusChild() const override {
    ResultsView* view = View();
    if (!view->hasFocus()) return nullptr;
    return ItemOf(view, view->currentIndex());
  }
  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TableInterface) return static_cast<QAccessibleTableInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  // The table.
  QAccessibleInterface* caption() const override { return nullptr; }
  QAccessibleInterface* summary() const override { return nullptr; }
  QAccessibleInterface* cellAt(int row, int column) const override {
    if (column != 0 || row < 0 || row >= rowCount()) return nullptr;
    return ItemOf(View(), View()->IndexAtVisibleRow(row));
  }
  int columnCount() const override { return 1; }
  int rowCount() const override {
    return static_cast<int>(std::min<int64_t>(View()->VisibleRowCount(), INT_MAX));
  }
  QString columnDescription(int) const override { return {}; }
  QString rowDescription(int) const override { return {}; }
  int selectedCellCount() const override { return CurrentRow() < 0 ? 0 : 1; }
  QList<QAccessibleInterface*> selectedCells() const override {
    if (CurrentRow() < 0) return {};
    return {ItemOf(View(), View()->currentIndex())};
  }
  int selectedColumnCount() const override { return 0; }
  int selectedRowCount() const override { return selectedCellCount(); }
  QList<int> selectedColumns() const override { return {}; }
  QList<int> selectedRows() const override {
    const int row = CurrentRow();
    return row < 0 ? QList<int>() : QList<int>{row};
  }
  bool isColumnSelected(int) const override { return false; }
  bool isRowSelected(int row) const override { return row >= 0 && row == CurrentRow(); }
  bool selectRow(int row) override {
    const QModelIndex index = View()->IndexAtVisibleRow(row);
    if (!index.isValid()) return false;
    View()->setCurrentIndex(index);
    return true;
  }
  bool selectColumn(int) override { return false; }
  bool unselectRow(int) override { return false; }  // one row is always current, as in a tree
  bool unselectColumn(int) override { return false; }
  void modelChange(QAccessibleTableModelChangeEvent*) override {}

 private:
  int CurrentRow() const {
    const int64_t row = View()->VisibleRowOf(View()->currentIndex());
    return row > INT_MAX ? -1 : static_cast<int>(row);
  }
};

QAccessibleInterface* ResultsViewFactory(const QString&, QObject* object) {
  if (auto* view = qobject_cast<ResultsView*>(object)) return new ResultsViewAccessible(view);
  return nullptr;
}

}  // namespace

void InstallResultsViewAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(ResultsViewFactory);
    return true;
  }();
  (void)installed;
}

QAccessibleInterface* NewResultsItemAccessible(ResultsView* view, int category, long long record) {
  return new ResultsItemAccessible(view, category, record);
}

}  // namespace findlark
