#include "ui/results_view.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDrag>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOption>
#include <QStyleOptionViewItem>
#include <QToolTip>
#include <algorithm>
#include <climits>

#include "persist/html_export.h"
#include "results/search_results.h"
#include "ui/announcer.h"
#include "ui/results_model.h"
#include "ui/results_view_accessible.h"
#include "ui/scroll_bar_style.h"

namespace findlark {

namespace {

uint64_t ItemKey(FileCategory category, int64_t record) {
  return (static_cast<uint64_t>(category) << 33) | static_cast<uint64_t>(record + 1);
}

}  // namespace

QMimeData* HitMimeData(std::string_view path) {
  auto* mime = new QMimeData;
  mime->setData(QStringLiteral("text/uri-list"), QByteArray::fromStdString(FileUrl(path) + "\r\n"));
  mime->setText(QString::fromUtf8(path.data(), static_cast<qsizetype>(path.size())));
  return mime;
}

ResultsView::ResultsView(ResultsModel* model, QWidget* parent)
    : QAbstractScrollArea(parent), m_model(model), m_layout(model->results().tree) {
  InstallResultsViewAccessibility();

  setFocusPolicy(Qt::StrongFocus);
  // A name wider than the view can be scrolled into sight, as in a stock tree.
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setMouseTracking(false);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  verticalScrollBar()->setSingleStep(1);
  verticalScrollBar()->setStyle(ScrollBarStyle::Shared());
  horizontalScrollBar()->setStyle(ScrollBarStyle::Shared());
  UpdateMetrics();

  connect(m_model, &QAbstractItemModel::modelReset, this, &ResultsView::OnModelReset);
  connect(m_model, &QAbstractItemModel::layoutChanged, this, &ResultsView::OnLayoutChanged);
  connect(m_model, &QAbstractItemModel::dataChanged, this, &ResultsView::OnLabelsChanged);
}

ResultsView::~ResultsView() {
  DropAccessibleItems();
}

int64_t ResultsView::VisibleRowOf(const QModelIndex& index) const {
  return RowOf(index);
}

QModelIndex ResultsView::IndexAtVisibleRow(int64_t row) const {
  if (row < 0 || row >= VisibleRowCount()) return {};
  return IndexOf(RowAt(row));
}

int64_t ResultsView::VisibleRowCount() const {
  return m_layout.Count();
}

ResultsView::Row ResultsView::RowAt(int64_t row) const {
  return m_layout.At(row);
}

int64_t ResultsView::RowOf(const QModelIndex& index) const {
  if (!index.isValid() || index.model() != m_model) return -1;
  const QModelIndex parent = index.parent();
  if (!parent.isValid()) return m_layout.RowOf({index.row(), -1});
  return m_layout.RowOf({parent.row(), index.row()});
}

QModelIndex ResultsView::IndexOf(Row row) const {
  const QModelIndex node = m_model->NodeIndex(row.category);
  if (row.leaf < 0) return node;
  ++m_leafQueries;
  return m_model->index(static_cast<int>(row.leaf), 0, node);
}

void ResultsView::setCurrentIndex(const QModelIndex& index) {
  if (index.isValid() && index.model() != m_model) return;
  if (QModelIndex(m_current) == index) return;
  const QModelIndex previous = m_current;
  m_current = index;
  if (index.parent().isValid()) m_layout.SetExpanded(index.parent().row(), true);
  UpdateScrollBars();
  viewport()->update();
  NotifySelected(previous);
  NotifyCurrent(hasFocus());
  emit currentChanged(index);
}

bool ResultsView::isExpanded(const QModelIndex& index) const {
  return index.isValid() && index.model() == m_model && !index.parent().isValid() &&
         m_layout.Expanded(index.row());
}

void ResultsView::expand(const QModelIndex& index) {
  if (index.isValid() && index.model() == m_model && !index.parent().isValid())
    SetExpanded(index.row(), true);
}

void ResultsView::collapse(const QModelIndex& index) {
  if (index.isValid() && index.model() == m_model && !index.parent().isValid())
    SetExpanded(index.row(), false);
}

void ResultsView::SetExpanded(FileCategory category, bool expanded) {
  if (m_layout.Expanded(category) == expanded) return;
  // Keep the first row on screen where it is, unless it is one of the leaves that go away.
  const int64_t top = verticalScrollBar()->value();
  const Row topRow = top < VisibleRowCount() ? RowAt(top) : Row{};
  m_layout.SetExpanded(category, expanded);
  const QModelIndex current = m_current;
  if (!expanded && current.isValid() && current.parent().isValid() &&
      current.parent().row() == category) {
    setCurrentIndex(m_model->NodeIndex(category));  // as a tree does: the node takes it
  }
  UpdateScrollBars();
  if (!(topRow.category == category && topRow.leaf >= 0)) {
    const int64_t newTop = RowOf(IndexOf(topRow));
    if (newTop >= 0)
      verticalScrollBar()->setValue(static_cast<int>(std::min<int64_t>(newTop, INT_MAX)));
  }
  viewport()->update();
  if (QAccessible::isActive()) {
    if (QAccessibleInterface* node = AccessibleItem(category, -1)) {
      QAccessible::State changed;
      changed.expanded = true;
      changed.collapsed = true;
      QAccessibleStateChangeEvent event(node, changed);
      QAccessible::updateAccessibility(&event);
    }
  }
}

void ResultsView::SetExpandedByUser(FileCategory category, bool expanded) {
  if (m_layout.Expanded(category) == expanded) return;
  SetExpanded(category, expanded);
  Announcer::Say(this, expanded ? QStringLiteral("expanded") : QStringLiteral("collapsed"));
}

QModelIndex ResultsView::indexAt(const QPoint& viewportPos) const {
  if (viewportPos.y() < 0 || viewportPos.x() < 0 || viewportPos.x() >= viewport()->width())
    return {};
  const int64_t row = verticalScrollBar()->value() + viewportPos.y() / m_rowHeight;
  if (row >= VisibleRowCount()) return {};
  return IndexOf(RowAt(row));
}

QRect ResultsView::visualRect(const QModelIndex& index) const {
  const int64_t row = RowOf(index);
  if (row < 0) return {};
  const int64_t offset = row - verticalScrollBar()->value();
  if (offset < 0 || offset * m_rowHeight >= viewport()->height()) return {};
  const int x = (index.parent().isValid() ? 2 * m_indent : m_indent) - ScrolledX();
  return QRect(x, static_cast<int>(offset) * m_rowHeight, std::max(0, viewport()->width() - x),
               m_rowHeight);
}

void ResultsView::scrollTo(const QModelIndex& index) {
  const int64_t row = RowOf(index);
  if (row < 0) return;
  const int64_t top = verticalScrollBar()->value();
  const int64_t page = std::max(1, viewport()->height() / m_rowHeight);
  int64_t newTop = top;
  if (row < top) newTop = row;
  if (row >= top + page) newTop = row - page + 1;
  verticalScrollBar()->setValue(static_cast<int>(std::min<int64_t>(newTop, INT_MAX)));
}

void ResultsView::UpdateMetrics() {
  m_indent = style()->pixelMetric(QStyle::PM_TreeViewIndentation, nullptr, this);
  if (m_indent <= 0) m_indent = 20;
  QStyleOptionViewItem option;
  option.initFrom(this);
  option.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
  option.text = QStringLiteral("Xg");
  option.decorationSize = QSize(16, 16);
  option.icon = QIcon();
  const QSize size = style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this);
  m_rowHeight = std::max({size.height(), fontMetrics().height(), 16});
  UpdateScrollBars();
}

int ResultsView::ScrolledX() const {
  return horizontalScrollBar()->value();
}

void ResultsView::UpdateScrollBars() {
  const int64_t rows = VisibleRowCount();
  const int page = std::max(1, viewport()->height() / m_rowHeight);
  const int64_t max = std::max<int64_t>(0, rows - page);
  verticalScrollBar()->setRange(0, static_cast<int>(std::min<int64_t>(max, INT_MAX)));
  verticalScrollBar()->setPageStep(page);
  horizontalScrollBar()->setRange(0, std::max(0, m_contentWidth - viewport()->width()));
  horizontalScrollBar()->setPageStep(viewport()->width());
  horizontalScrollBar()->setSingleStep(m_indent);
}

void ResultsView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const int64_t rows = VisibleRowCount();
  const int64_t top = verticalScrollBar()->value();
  // Rows are drawn as wide as the widest seen so far, shifted by the horizontal scroll.
  const int scrolled = ScrolledX();
  painter.translate(-scrolled, 0);
  const int width = std::max(viewport()->width() + scrolled, m_contentWidth);
  const QRect area = event->rect();
  int widest = m_contentWidth;
  const QModelIndex current = m_current;
  QStyle* s = style();
  const bool decorationSelected =
      s->styleHint(QStyle::SH_ItemView_ShowDecorationSelected, nullptr, this);

  for (int64_t r = top + area.top() / m_rowHeight; r < rows; ++r) {
    const int y = static_cast<int>(r - top) * m_rowHeight;
    if (y > area.bottom()) break;
    const Row row = RowAt(r);
    const QModelIndex index = IndexOf(row);
    const bool node = row.leaf < 0;
    const int count = static_cast<int>(m_model->results().tree.ChildCount(row.category));
    const bool lastNode = row.category == m_model->rowCount() - 1;

    // Branch column(s): the arrow of a node, the guide lines of a leaf.
    QStyleOption branch;
    branch.initFrom(this);
    branch.state &= ~QStyle::State_HasFocus;
    if (node) {
      branch.rect = QRect(0, y, m_indent, m_rowHeight);
      branch.state |= QStyle::State_Item;
      if (!lastNode) branch.state |= QStyle::State_Sibling;
      if (count > 0) branch.state |= QStyle::State_Children;
      if (m_layout.Expanded(row.category)) branch.state |= QStyle::State_Open;
      s->drawPrimitive(QStyle::PE_IndicatorBranch, &branch, &painter, this);
    } else {
      if (!lastNode) {
        branch.rect = QRect(0, y, m_indent, m_rowHeight);
        branch.state |= QStyle::State_Sibling;
        s->drawPrimitive(QStyle::PE_IndicatorBranch, &branch, &painter, this);
        branch.state &= ~QStyle::State_Sibling;
      }
      branch.rect = QRect(m_indent, y, m_indent, m_rowHeight);
      branch.state |= QStyle::State_Item;
      if (row.leaf + 1 < count) branch.state |= QStyle::State_Sibling;
      s->drawPrimitive(QStyle::PE_IndicatorBranch, &branch, &painter, this);
    }

    QStyleOptionViewItem option;
    option.initFrom(this);
    option.widget = this;
    option.index = index;
    option.state &= ~QStyle::State_HasFocus;
    option.features = QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    option.text = index.data(Qt::DisplayRole).toString();
    option.icon = index.data(Qt::DecorationRole).value<QIcon>();
    option.decorationSize = QSize(16, 16);
    option.decorationPosition = QStyleOptionViewItem::Left;
    option.decorationAlignment = Qt::AlignCenter;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    option.textElideMode = Qt::ElideRight;
    option.viewItemPosition = QStyleOptionViewItem::OnlyOne;
    option.showDecorationSelected = decorationSelected;
    const int x = node ? m_indent : 2 * m_indent;
    option.rect = QRect(x, y, std::max(0, width - x), m_rowHeight);
    widest = std::max(
        widest, x + s->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), this).width());
    if (index == current) {
      option.state |= QStyle::State_Selected;
      if (hasFocus()) option.state |= QStyle::State_HasFocus;
    }
    s->drawControl(QStyle::CE_ItemViewItem, &option, &painter, this);
  }

  if (widest > m_contentWidth) {
    m_contentWidth = widest;
    UpdateScrollBars();
  }

  // Focused with nothing selected yet: the style's focus frame on the first row, where Down or
  // a typed letter starts, or a plain frame on the view's edge while there is no such row on
  // screen; else Tab into the tree would show nothing at all.
  if (hasFocus() && !current.isValid()) {
    if (rows > 0 && top == 0) {
      QStyleOptionFocusRect focus;
      focus.initFrom(this);
      focus.backgroundColor = palette().color(QPalette::Base);
      focus.rect = QRect(m_indent, 0, std::max(0, width - m_indent), m_rowHeight);
      s->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    } else {
      painter.setPen(palette().color(QPalette::Highlight));
      painter.resetTransform();
      painter.drawRect(viewport()->rect().adjusted(0, 0, -1, -1));
    }
  }
}

void ResultsView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollBars();
}

void ResultsView::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::StyleChange || event->type() == QEvent::FontChange) UpdateMetrics();
}

void ResultsView::scrollContentsBy(int, int) {
  viewport()->update();
}

void ResultsView::MoveTo(int64_t row) {
  const int64_t rows = VisibleRowCount();
  if (rows == 0) return;
  row = std::clamp<int64_t>(row, 0, rows - 1);
  const QModelIndex index = IndexOf(RowAt(row));
  setCurrentIndex(index);
  scrollTo(index);
}

void ResultsView::keyPressEvent(QKeyEvent* event) {
  if (event == QKeySequence::Copy) {
    CopyCurrent();
    event->accept();
    return;
  }
  const int64_t rows = VisibleRowCount();
  const int64_t row = CurrentRow();
  const int64_t page = std::max(1, viewport()->height() / m_rowHeight);
  const QModelIndex current = m_current;
  const bool isNode = current.isValid() && !current.parent().isValid();
  if (event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier)) {
    QAbstractScrollArea::keyPressEvent(event);
    return;
  }
  switch (event->key()) {
    case Qt::Key_Up:
      MoveTo(row < 0 ? 0 : row - 1);
      break;
    case Qt::Key_Down:
      MoveTo(row < 0 ? 0 : row + 1);
      break;
    case Qt::Key_PageUp:
      MoveTo(row < 0 ? 0 : row - (page - 1 > 0 ? page - 1 : 1));
      break;
    case Qt::Key_PageDown:
      MoveTo(row < 0 ? 0 : row + (page - 1 > 0 ? page - 1 : 1));
      break;
    case Qt::Key_Home:
      MoveTo(0);
      break;
    case Qt::Key_End:
      MoveTo(rows - 1);
      break;
    case Qt::Key_Left:
    case Qt::Key_Minus:
      if (isNode && m_layout.Expanded(current.row())) {
        SetExpandedByUser(current.row(), false);
      } else if (current.isValid() && !isNode) {
        MoveTo(RowOf(current.parent()));
      }
      break;
    case Qt::Key_Right:
    case Qt::Key_Plus:
      if (isNode && m_model->rowCount(current) > 0) {
        if (!m_layout.Expanded(current.row())) {
          SetExpandedByUser(current.row(), true);
        } else if (event->key() == Qt::Key_Right) {
          MoveTo(row + 1);
        }
      }
      break;
    default:
      if (!event->text().isEmpty() && event->text().at(0).isPrint() &&
          !(event->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier))) {
        KeyboardSearch(event->text());
        break;
      }
      // Enter and the rest belong to the window.
      event->ignore();
      return;
  }
  event->accept();
}

void ResultsView::KeyboardSearch(const QString& typed) {
  bool extending = false;
  const std::string prefix = m_typeAhead.Type(typed, &extending);
  const QModelIndex current = m_current;
  std::optional<Row> from;
  if (current.isValid()) {
    from = current.parent().isValid() ? Row{current.parent().row(), current.row()}
                                      : Row{current.row(), -1};
  }
  if (const auto found = m_layout.FindPrefix(m_model->results().store, from, extending, prefix))
    MoveTo(m_layout.RowOf(*found));
}

bool ResultsView::OnBranch(const QPoint& viewportPos, Row row) const {
  return row.leaf < 0 && viewportPos.x() + ScrolledX() < m_indent;
}

// The item under a left-button event (and the event's place); other buttons are ignored, so
// that they go on to the parent.
QModelIndex ResultsView::LeftButtonItem(QMouseEvent* event, QPoint& pos) const {
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return {};
  }
  pos = event->position().toPoint();
  return indexAt(pos);
}

void ResultsView::mousePressEvent(QMouseEvent* event) {
  m_pressed = QPersistentModelIndex();
  QPoint pos;
  const QModelIndex index = LeftButtonItem(event, pos);
  if (!index.isValid()) return;
  const int64_t row = RowOf(index);
  if (OnBranch(pos, RowAt(row))) {
    if (m_model->rowCount(index) > 0)
      SetExpandedByUser(index.row(), !m_layout.Expanded(index.row()));
    return;
  }
  setCurrentIndex(index);
  if (index.parent().isValid()) {
    m_pressed = index;
    m_pressPos = pos;
  }
}

void ResultsView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton) || !m_pressed.isValid()) return;
  if ((event->position().toPoint() - m_pressPos).manhattanLength() <
      QApplication::startDragDistance())
    return;
  StartDrag();
}

void ResultsView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) m_pressed = QPersistentModelIndex();
}

void ResultsView::mouseDoubleClickEvent(QMouseEvent* event) {
  // Only the left button opens: a middle or right double click does nothing here.
  QPoint pos;
  const QModelIndex index = LeftButtonItem(event, pos);
  if (!index.isValid()) return;
  if (OnBranch(pos, RowAt(RowOf(index)))) {
    mousePressEvent(event);  // a quick second click on the arrow toggles again
    return;
  }
  setCurrentIndex(index);
  if (!index.parent().isValid() && m_model->rowCount(index) > 0)
    SetExpandedByUser(index.row(), !m_layout.Expanded(index.row()));
  emit doubleClicked(index);
}

void ResultsView::StartDrag() {
  const QModelIndex index = m_pressed;
  m_pressed = QPersistentModelIndex();
  const auto record = m_model->Record(index);
  if (!record) return;
  const std::string_view path = record->path;
  auto* drag = new QDrag(this);
  drag->setMimeData(HitMimeData(path));
  drag->setPixmap(index.data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16));
  drag->exec(Qt::CopyAction | Qt::LinkAction, Qt::CopyAction);
}

void ResultsView::CopyCurrent() {
  if (const auto record = m_model->Record(m_current))
    QGuiApplication::clipboard()->setMimeData(HitMimeData(record->path));
}

void ResultsView::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
  NotifyCurrent(true);
}

void ResultsView::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

bool ResultsView::event(QEvent* event) {
  // The menu key asks for the menu of the selected row, where a click on it would.
  if (event->type() == QEvent::ContextMenu &&
      static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard &&
      contextMenuPolicy() == Qt::CustomContextMenu) {
    const QRect rect = visualRect(m_current);
    if (!rect.isEmpty()) emit customContextMenuRequested(rect.center());
    event->accept();
    return true;
  }
  return QAbstractScrollArea::event(event);
}

bool ResultsView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    const QString tip = index.isValid() ? index.data(Qt::ToolTipRole).toString() : QString();
    if (tip.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(index));
    }
    return true;
  }
  return QAbstractScrollArea::viewportEvent(event);
}

void ResultsView::OnModelReset() {
  DropAccessibleItems();
  m_current = QPersistentModelIndex();
  m_pressed = QPersistentModelIndex();
  m_layout.CollapseAll();
  m_contentWidth = 0;
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  UpdateScrollBars();
  viewport()->update();
  emit currentChanged({});
  if (QAccessible::isActive()) {
    QAccessibleEvent event(this, QAccessible::ObjectReorder);
    QAccessible::updateAccessibility(&event);
  }
}

void ResultsView::OnLayoutChanged() {
  // Rows only ever come in, so the scroll position in rows is kept, as a tree view keeps it;
  // nothing here depends on how many rows there are.
  UpdateScrollBars();
  viewport()->update();
}

void ResultsView::OnLabelsChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight) {
  viewport()->update();
  if (!QAccessible::isActive() || topLeft.parent().isValid()) return;
  for (int c = topLeft.row(); c <= bottomRight.row(); ++c) {
    const auto found = m_accessibleIds.find(ItemKey(c, -1));
    if (found == m_accessibleIds.end()) continue;
    if (QAccessibleInterface* node = QAccessible::accessibleInterface(found->second)) {
      QAccessibleEvent event(node, QAccessible::NameChanged);
      QAccessible::updateAccessibility(&event);
    }
  }
}

QAccessibleInterface* ResultsView::AccessibleItem(FileCategory category, int64_t row) {
  if (category < 0 || category >= m_model->rowCount()) return nullptr;
  int64_t record = -1;
  if (row >= 0) {
    record =
        m_model->ItemData(m_model->index(static_cast<int>(row), 0, m_model->NodeIndex(category)));
    if (!m_model->results().RefersToRecord(record)) return nullptr;
  }
  const uint64_t key = ItemKey(category, record);
  if (const auto found = m_accessibleIds.find(key); found != m_accessibleIds.end()) {
    if (QAccessibleInterface* item = QAccessible::accessibleInterface(found->second)) return item;
  }
  QAccessibleInterface* item = NewResultsItemAccessible(this, category, record);
  m_accessibleIds[key] = QAccessible::registerAccessibleInterface(item);
  return item;
}

int64_t ResultsView::AccessibleRowOf(FileCategory category, int64_t record) const {
  if (!m_model->results().RefersToRecord(record)) return -1;
  return m_model->results().tree.RowOf(category, static_cast<uint32_t>(record),
                                       m_model->results().store);
}

void ResultsView::DropAccessibleItems() {
  for (const auto& [key, id] : m_accessibleIds) {
    if (QAccessible::accessibleInterface(id)) QAccessible::deleteAccessibleInterface(id);
  }
  m_accessibleIds.clear();
}

QAccessibleInterface* ResultsView::AccessibleItemOf(const QModelIndex& index) {
  if (!index.isValid()) return nullptr;
  return index.parent().isValid() ? AccessibleItem(index.parent().row(), index.row())
                                  : AccessibleItem(index.row(), -1);
}

void ResultsView::NotifySelected(const QModelIndex& previous) {
  if (!QAccessible::isActive()) return;
  QAccessible::State changed;
  changed.selected = true;
  for (const QModelIndex& index : {previous, QModelIndex(m_current)}) {
    if (QAccessibleInterface* item = AccessibleItemOf(index)) {
      QAccessibleStateChangeEvent event(item, changed);
      QAccessible::updateAccessibility(&event);
    }
  }
}

void ResultsView::NotifyCurrent(bool focus) {
  if (!QAccessible::isActive()) return;
  QAccessibleInterface* item = AccessibleItemOf(m_current);
  if (!item) return;
  QAccessibleEvent selection(item, QAccessible::Selection);
  QAccessible::updateAccessibility(&selection);
  if (focus) {
    QAccessibleEvent event(item, QAccessible::Focus);
    QAccessible::updateAccessibility(&event);
  }
}

}  // namespace findlark
