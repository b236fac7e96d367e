#include "ui/search_dlg.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <algorithm>
#include <cerrno>

#include "persist/settings.h"
#include "results/results_tree.h"
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

std::string SettingsPath(const std::string& startDir) {
  if (startDir.empty()) return {};
  if (startDir.back() == '/') return startDir + kSettingsFileName;
  return startDir + "/" + kSettingsFileName;
}

}  // namespace

ControlRects ComputeLayout(int cx, int cy) {
  const auto nonNegative = [](int v) { return std::max(0, v); };
  const int third = cx / 3;
  const int twoThirds = (2 * cx) / 3;
  ControlRects r;
  r.options = QRect(0, 0, 80, 24);
  r.edit = QRect(80, 0, nonNegative(cx - 160), 24);
  r.search = QRect(cx - 80, 0, 80, 24);
  r.status = QRect(0, 24, nonNegative(cx), 20);
  r.tree = QRect(0, 44, nonNegative(third), nonNegative(cy - 44));
  r.browser = QRect(third, 44, nonNegative(twoThirds), nonNegative(cy - 44));
  return r;
}

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

  resize(640, 420);
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

  m_searchButton = new QPushButton(QStringLiteral("Search"), this);
  m_searchButton->setFlat(true);
  m_searchButton->setAutoDefault(false);
  m_searchButton->setDefault(false);
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

  m_optionsButton = new QPushButton(QStringLiteral("&Options"), this);
  m_optionsButton->setFlat(true);
  m_optionsButton->setAutoDefault(false);
  m_optionsButton->setDefault(false);
  connect(m_optionsButton, &QPushButton::clicked, this, [this] { OnCommand(kIdOptionsButton); });

  m_browser = new PreviewPane(this);

  setTabOrder(m_searchEdit, m_searchButton);
  setTabOrder(m_searchButton, m_tree);
  setTabOrder(m_tree, m_browser);
  setTabOrder(m_browser, m_optionsButton);
}

const SearchResults& CSearchDlg::Results() const {
  return m_model->results();
}

QWidget* CSearchDlg::Browser() const {
  return m_browser;
}

void CSearchDlg::LayoutControls(int cx, int cy) {
  const ControlRects r = ComputeLayout(cx, cy);
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

void CSearchDlg::closeEvent(QCloseEvent* event) {
  // The close button, Alt+F4 and the window menu's Close all end the program.
  event->ignore();
  OnExit();
}

bool CSearchDlg::eventFilter(QObject* watched, QEvent* event) {
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
  StopAndJoin();
  m_progressTimer.stop();
  Settings settings;
  settings.searchContents = m_searchContents;
  settings.searchFolder = m_searchFolder;
  settings.folderName = m_folderName;
  if (const std::string path = SettingsPath(m_startDir); !path.empty())
    WriteSettings(path, settings);  // failure is silent: the program still ends
  if (m_tray) m_tray->hide();
  QDialog::accept();
}

void CSearchDlg::StopAndJoin() {
  m_run.RequestStop();
  m_run.Join();
}

}  // namespace findlark
