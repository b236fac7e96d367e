#include "ui/search_dlg.h"

#include <unistd.h>

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QShowEvent>
#include <algorithm>
#include <cerrno>

#include "persist/settings.h"
#include "results/search_results.h"
#include "search/pdf_text.h"
#include "ui/icons.h"
#include "ui/preview_pane.h"
#include "ui/results_model.h"
#include "ui/results_view.h"

namespace findlark {

namespace {

// The working directory as bytes, without a trailing "/" (except for "/" itself).
std::string CurrentDirectory() {
  std::string buffer(1024, '\0');
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE) return {};
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  while (buffer.size() > 1 && buffer.back() == '/') buffer.pop_back();
  return buffer;
}

std::string SettingsPath(const std::string& startDir, const char* name = kSettingsFileName) {
  if (startDir.empty()) return {};
  if (startDir.back() == '/') return startDir + name;
  return startDir + "/" + name;
}

int LayoutScaled(int pixels, int fontHeight) {
  // Like dialog units: the sizes were made for a font this high, and grow with a larger one.
  constexpr int kDesignFontHeight = 16;
  if (fontHeight <= kDesignFontHeight) return pixels;
  return (pixels * fontHeight + kDesignFontHeight / 2) / kDesignFontHeight;
}

}  // namespace

ControlRects ComputeLayout(int cx, int cy, int fontHeight) {
  const auto nonNegative = [](int v) { return std::max(0, v); };
  const int button = LayoutScaled(80, fontHeight);
  const int row = LayoutScaled(24, fontHeight);
  const int top = row + LayoutScaled(20, fontHeight);  // the top row and the status line
  const int third = cx / 3;
  const int twoThirds = (2 * cx) / 3;
  ControlRects r;
  r.options = QRect(0, 0, button, row);
  r.edit = QRect(button, 0, nonNegative(cx - 2 * button), row);
  r.search = QRect(cx - button, 0, button, row);
  r.status = QRect(0, row, nonNegative(cx), top - row);
  r.tree = QRect(0, top, nonNegative(third), nonNegative(cy - top));
  r.browser = QRect(third, top, nonNegative(twoThirds), nonNegative(cy - top));
  return r;
}

namespace {

// A flat push button that still shows where the keyboard focus is: the style draws no frame
// around a flat button, so a keyboard user could not tell it has the focus.
class FlatButton : public QPushButton {
 public:
  FlatButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    setFlat(true);
    setAutoDefault(false);
    setDefault(false);
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QPushButton::paintEvent(event);
    if (!hasFocus()) return;
    QPainter painter(this);
    QPen pen(palette().color(QPalette::Highlight));
    pen.setWidth(1);
    pen.setStyle(Qt::DotLine);
    painter.setPen(pen);
    painter.drawRect(rect().adjusted(2, 2, -3, -3));
  }
};

}  // namespace

CSearchDlg::CSearchDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("Findlark"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  setWindowIcon(AppIcon());

  CreateControls();
  CreateTray();
  m_layoutReady = true;

  m_startDir = CurrentDirectory();
  Settings settings;
  settings.searchContents = m_searchContents;
  ReadSettings(SettingsPath(m_startDir), settings);
  m_searchContents = settings.searchContents;
  m_searchFolder = settings.searchFolder;
  m_folderName = settings.searchFolder.empty() ? std::string() : FolderNameOf(m_searchFolder);
  if (const std::string path = SettingsPath(m_startDir, kOptionsFileName); !path.empty())
    m_moreOptions.Read(path);
  m_searchPdf = m_moreOptions.GetFlag(kOptionSearchPdf);
  m_filters = ReadFilterSettings(m_moreOptions);
  m_pdf = std::make_shared<PdfExtractor>();

  // The first size grows with the font as the controls do, but a large font on a small screen
  // must not push the Search button off it.
  const int fontHeight = fontMetrics().height();
  QSize size(LayoutScaled(640, fontHeight), LayoutScaled(420, fontHeight));
  // Room is left for the frame and the title bar, which the window is centred with.
  const QScreen* shown = screen();
  if (shown) size = size.boundedTo(shown->availableSize() - QSize(40, 100));
  resize(size);
  if (shown) {
    // Placed by its frame, so the title bar is on the screen too: centred on what the frame
    // will take (the room left above for it), never above or left of the screen.
    const QRect area = shown->availableGeometry();
    const QSize frame = size + QSize(20, 60);
    move(area.x() + std::max(0, (area.width() - frame.width()) / 2),
         area.y() + std::max(0, (area.height() - frame.height()) / 2));
  }
  LayoutControls(width(), height());

  m_progressTimer.setInterval(250);
  connect(&m_progressTimer, &QTimer::timeout, this, &CSearchDlg::OnTimer);
  m_run.SetWakeup([this] { PostDrain(); });
  m_searchEdit->setFocus();
}

CSearchDlg::~CSearchDlg() {
  StopAndJoin();
}

void CSearchDlg::CreateControls() {
  m_status = new QLabel(this);
  m_status->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  m_status->setTextFormat(Qt::PlainText);  // it may name a folder, which may look like markup

  m_searchButton = new FlatButton(QStringLiteral("Search"), this);
  connect(m_searchButton, &QPushButton::clicked, this, [this] { OnOK(); });

  m_model = new ResultsModel(this);
  m_tree = new ResultsView(m_model, this);
  m_tree->setFrameShape(QFrame::StyledPanel);
  m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
  m_tree->viewport()->installEventFilter(this);
  connect(m_tree, &ResultsView::doubleClicked, this, [this](const QModelIndex& index) {
    // A second click on a node soon after the keys moved the selection elsewhere counts as a
    // double click on the node, but must not open the hit the keys went to.
    if (index == m_tree->currentIndex()) OnOpen();
  });
  connect(m_tree, &ResultsView::customContextMenuRequested, this, &CSearchDlg::OnTreeRClick);
  connect(m_tree, &ResultsView::currentChanged, this,
          [this](const QModelIndex& current) { OnCurrentChanged(current); });
  connect(m_model, &ResultsModel::hitsRecorded, this, &CSearchDlg::OnHitsRecorded);

  m_searchEdit = new QLineEdit(this);
  // Names for screen readers, which have no label beside these to read.
  m_searchEdit->setAccessibleName(QStringLiteral("Search for"));
  m_tree->setAccessibleName(QStringLiteral("Results"));

  m_optionsButton = new FlatButton(QStringLiteral("&Options"), this);
  connect(m_optionsButton, &QPushButton::clicked, this, [this] { OnCommand(kIdOptionsButton); });
  m_optionsButton->installEventFilter(this);

  m_browser = new PreviewPane(this);
  FixTabOrder();

  // The same context menu the Menu key opens, for keyboards without that key.
  auto* contextKey = new QShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F10), this);
  connect(contextKey, &QShortcut::activated, this, &CSearchDlg::OnContextMenuKey);
}

void CSearchDlg::FixTabOrder() {
  // The preview last: whatever it creates inside itself later joins the chain after it.
  setTabOrder(m_searchEdit, m_searchButton);
  setTabOrder(m_searchButton, m_tree);
  setTabOrder(m_tree, m_optionsButton);
  setTabOrder(m_optionsButton, m_browser);
}

void CSearchDlg::OnContextMenuKey() {
  // Exactly what the Menu key sends: a keyboard context-menu event at the focus widget's
  // cursor, which for a view is its current item.
  QWidget* focus = focusWidget();
  if (!focus) return;
  const QPoint at = focus->inputMethodQuery(Qt::ImCursorRectangle).toRect().center();
  QContextMenuEvent event(QContextMenuEvent::Keyboard, at, focus->mapToGlobal(at));
  QApplication::sendEvent(focus, &event);
}

const SearchResults& CSearchDlg::Results() const {
  return m_model->results();
}

QWidget* CSearchDlg::Browser() const {
  return m_browser;
}

void CSearchDlg::LayoutControls(int cx, int cy) {
  const ControlRects r = ComputeLayout(cx, cy, fontMetrics().height());
  m_optionsButton->setGeometry(r.options);
  m_searchEdit->setGeometry(r.edit);
  m_searchButton->setGeometry(r.search);
  m_status->setGeometry(r.status);
  m_tree->setGeometry(r.tree);
  m_browser->setGeometry(r.browser);
}

void CSearchDlg::OnCommand(int id) {
  struct Route {
    int id;
    void (CSearchDlg::*handler)();
  };
  static constexpr Route kCommands[] = {
      {kIdOptionsButton, &CSearchDlg::OnOptions},
      {kCmdSearchContents, &CSearchDlg::OnSearchContents},
      {kCmdSearchPdf, &CSearchDlg::OnSearchPdf},
      {kCmdFilters, &CSearchDlg::OnFilters},
      {kCmdSearchAllDrives, &CSearchDlg::OnSearchAllDrives},
      {kCmdBrowse, &CSearchDlg::OnBrowse},
      {kCmdTrayOpen, &CSearchDlg::OnTrayOpen},
      {kCmdOpenFolder, &CSearchDlg::OnOpenFolder},
      {kCmdOpenWithNotepad, &CSearchDlg::OnOpenWithNotepad},
      {kCmdAbout, &CSearchDlg::OnAbout},
      {kCmdSaveResults, &CSearchDlg::OnSaveResults},
      {kCmdExit, &CSearchDlg::OnExit},
      {kCmdOpen, &CSearchDlg::OnOpen},
      {kCmdTypeAll, &CSearchDlg::OnTypeAll},
  };
  for (const Route& route : kCommands) {
    if (route.id == id) {
      (this->*route.handler)();
      return;
    }
  }
  // One handler for the whole type block; an id past Other names no category and is ignored.
  if (id >= kCmdTypeFirst && id <= kCmdTypeLast) OnTypeRange(id);
}

void CSearchDlg::reject() {}

void CSearchDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (event->modifiers() & ~Qt::KeypadModifier) break;
      event->accept();
      OnOK();
      return;
    case Qt::Key_Escape:
      event->accept();
      return;
    default:
      break;
  }
  QDialog::keyPressEvent(event);
}

void CSearchDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (m_layoutReady) LayoutControls(width(), height());
}

void CSearchDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Centred on the first show only: back from the tray or at a second start the window stays
  // where the user left it, which a dialog would otherwise forget at every show.
  setAttribute(Qt::WA_Moved);
}

void CSearchDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::FontChange && m_layoutReady) LayoutControls(width(), height());
  if (event->type() == QEvent::WindowStateChange) OnWindowStateChange();
}

void CSearchDlg::closeEvent(QCloseEvent* event) {
  // The close button, Alt+F4 and the window menu's Close all end the program.
  event->ignore();
  OnExit();
}

bool CSearchDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_optionsButton) {
    // From the keyboard the menu opens on the key press itself: the button would click only
    // on the release, or 100 ms after its mnemonic, and a Wayland compositor refuses a popup
    // that is not tied to an input event still in progress.
    const auto* key = event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease
                          ? static_cast<QKeyEvent*>(event)
                          : nullptr;
    const bool space = key && key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier;
    const bool mnemonic =
        event->type() == QEvent::Shortcut && !static_cast<QShortcutEvent*>(event)->isAmbiguous();
    if (mnemonic || (space && key->type() == QEvent::KeyPress && !key->isAutoRepeat())) {
      if (m_optionsButton->isEnabled()) OnCommand(kIdOptionsButton);
      return true;
    }
    if (space) return true;  // the rest of that key: the button must not click once more
  }
  if (watched == m_tree->viewport() &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) &&
      static_cast<QMouseEvent*>(event)->button() == Qt::RightButton) {
    // The right button never moves the selection by itself: the result menu decides.
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void CSearchDlg::OnExit() {
  if (m_ended) return;
  m_ended = true;
  // Nothing here waits for the walk: one held by a folder that never answers is given up when
  // the window is destroyed, and the window and the tray icon are gone before that.
  m_run.RequestStop();
  m_progressTimer.stop();
  Settings settings;
  settings.searchContents = m_searchContents;
  settings.searchFolder = m_searchFolder;
  settings.folderName = m_folderName;
  if (const std::string path = SettingsPath(m_startDir); !path.empty())
    WriteSettings(path, settings);  // failure is silent: the program still ends
  m_moreOptions.SetFlag(kOptionSearchPdf, m_searchPdf);
  WriteFilterSettings(m_moreOptions, m_filters);
  if (const std::string path = SettingsPath(m_startDir, kOptionsFileName); !path.empty())
    m_moreOptions.Write(path);
  if (m_tray) m_tray->hide();
  QDialog::accept();
}

void CSearchDlg::StopAndJoin() {
  m_run.RequestStop();
  m_run.Join();
}

}  // namespace findlark
