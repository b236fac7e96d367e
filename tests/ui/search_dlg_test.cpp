#include "ui/search_dlg.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "results/results_tree.h"
#include "search/directory_walk.h"
#include "ui/filters_dlg.h"
#include "ui/preview_pane.h"
#include "ui/results_model.h"
#include "ui/results_view.h"

using namespace findlark;

namespace {

// The window with every popup, dialog, launch and the browser replaced by recorders.
class TestDlg : public CSearchDlg {
 public:
  // Each menu as its item texts: "+" marks a checked item, "!" the default one, "-" a
  // separator; submenu items are prefixed with the submenu's title and "/".
  std::vector<QStringList> menus;
  int pickId = 0;  // the command chosen from the next menu; 0 closes it
  QString folderAnswer, saveAnswer;
  QStringList questions, errors, launches;              // launches: "app|editor|folder <path>"
  LaunchResult launchResult = LaunchResult::kLaunched;  // of the default app
  LaunchResult editorResult = LaunchResult::kLaunched;
  QStringList navigated;
  bool trayAvailable = false;
  int aboutShown = 0;
  std::function<void(SearchOptions&)> beforeRun;
  std::optional<FilterSettings> filtersAnswer;  // what the Filters dialog gives; none: cancelled

 protected:
  QAction* ExecMenu(QMenu& menu, const QPoint&) override {
    QStringList shown;
    QAction* chosen = nullptr;
    const std::function<void(QMenu&, const QString&)> walk = [&](QMenu& m, const QString& in) {
      for (QAction* a : m.actions()) {
        if (a->menu()) {
          walk(*a->menu(), in + a->text() + "/");
        } else {
          const QString mark = a->isChecked()           ? "+"
                               : m.defaultAction() == a ? "!"
                               : !a->isEnabled()        ? "~"
                                                        : "";
          shown << mark + in + (a->isSeparator() ? "-" : a->text());
          if (pickId != 0 && a->data().toInt() == pickId) chosen = a;
        }
      }
    };
    walk(menu, QString());
    menus.push_back(shown);
    pickId = 0;
    return chosen;
  }
  QString AskFolder() override { return folderAnswer; }
  QString AskSavePath() override { return saveAnswer; }
  QMessageBox::StandardButton AskQuestion(const QString& text) override {
    questions << text;
    return QMessageBox::No;  // Yes is answered on a real desktop
  }
  void ShowError(const QString& text) override { errors << text; }
  LaunchResult Launch(LaunchKind kind, const std::string& path) override {
    const char* names[] = {"app ", "editor ", "folder "};
    launches << names[int(kind)] + QString::fromStdString(path);
    if (kind == LaunchKind::kDefaultApp) return launchResult;
    return kind == LaunchKind::kTextEditor ? editorResult : LaunchResult::kLaunched;
  }
  void Navigate(const std::string& path, PreviewKind kind) override {
    const char* kinds[] = {"none ", "text ", "picture ", "page "};
    navigated << kinds[int(kind)] + QString::fromStdString(path);
  }
  bool TrayAvailable() const override { return trayAvailable; }
  void ShowAbout() override { ++aboutShown; }
  bool AskFilters(FilterSettings& settings) override {
    if (filtersAnswer) settings = *filtersAnswer;
    return filtersAnswer.has_value();
  }
  void BeforeRun(SearchOptions& options) override {
    if (beforeRun) beforeRun(options);
  }

 public:
  // The real pickers, closed at once; gives the folder each opened in.
  QString OpenedIn(bool save) {
    QString shown;
    QTimer::singleShot(0, [&shown] {
      if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
        shown = d->directory().absolutePath();
        d->reject();
      }
    });
    save ? CSearchDlg::AskSavePath() : CSearchDlg::AskFolder();
    return shown;
  }
};

// Keys as the user types them: to whatever has the focus in the active window.
void TypeKeys(const QString& text, Qt::Key end = Qt::Key_Return) {
  QWidget* focus = QApplication::focusWidget();
  QVERIFY(focus);
  QTest::keyClicks(focus, text);
  QTest::keyClick(focus, end);
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Types `query` into the search box and starts the search.
void Start(TestDlg& dlg, const QString& query) {
  dlg.SearchEdit()->setText(query);
  dlg.SearchEdit()->setFocus();
  dlg.OnOK();
}

// Starts a search for `query` and waits for its end.
bool Run(TestDlg& dlg, const QString& query) {
  Start(dlg, query);
  return QTest::qWaitFor([&] { return !dlg.Searching(); }, 20000);
}

// The menu a hit's right click or Shift+F10 shows.
const QStringList kHitMenu = {"!&Open", "Open with Notepad", "Open &Folder"};

// A shown window over `folder` (empty: the whole machine), after searching `query` if given.
std::unique_ptr<TestDlg> Window(const QString& folder, const QString& query = {}) {
  auto dlg = std::make_unique<TestDlg>();
  dlg->folderAnswer = folder;
  if (!folder.isEmpty()) dlg->OnCommand(kCmdBrowse);
  dlg->resize(800, 700);
  dlg->show();
  if (!QTest::qWaitForWindowExposed(dlg.get())) return nullptr;
  if (!query.isEmpty() && !Run(*dlg, query)) return nullptr;
  return dlg;
}

// The lines of a file under golden/ that are neither empty nor comments.
QStringList Golden(const char* name) {
  QFile file(QStringLiteral(FINDLARK_GOLDEN "/") + name);
  // A missing file gives no lines, which every caller fails on.
  (void)file.open(QIODevice::ReadOnly);
  return QString::fromUtf8(file.readAll())
      .split('\n', Qt::SkipEmptyParts)
      .filter(QRegularExpression("^[^#]"));
}

QModelIndex Leaf(TestDlg& dlg, FileCategory category, int row = 0) {
  return dlg.Model()->index(row, 0, dlg.Model()->NodeIndex(category));
}

}  // namespace

class SearchDlgTest : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void layoutTable();
  void keysAndOnOkFocus();
  void keyboardOnly();
  void layoutAtDoubleFont();
  void commandsAsTheUserSeesThem_data();
  void commandsAsTheUserSeesThem();
  void runStateTable();
  void aRunHeldByAFolderThatNeverAnswers_data();
  void aRunHeldByAFolderThatNeverAnswers();
  void focusAfterARun();
  void manyHitsAllRecorded();
  void previewAndRightClickRules();
  void optionsMenuStates();
  void filtersNarrowAndAreKept();
  void filtersDialogShowsWholeUnits();
  void settingsReadAndWritten();
  void pdfOptionKeptInItsOwnFile();
  void pickersStartAtHomeOrTheFolder();
  void minimiseHidesOnlyWithTray();

 private:
  std::unique_ptr<TestDlg> Searched() { return Window(data_->path(), "plan"); }

  std::unique_ptr<QTemporaryDir> work_;  // the working directory: settings.ini lives here
  std::unique_ptr<QTemporaryDir> data_;  // the searched folder
};

void SearchDlgTest::init() {
  work_ = std::make_unique<QTemporaryDir>();
  data_ = std::make_unique<QTemporaryDir>();
  QVERIFY(QDir::setCurrent(work_->path()));
  // "plan" finds plan.txt, plan map.jpg, letter plan.doc and Plans.
  for (const char* name : {"plan.txt", "plan map.jpg", "other.doc", "letter plan.doc"})
    WriteFile(data_->filePath(name), "the plan\n");
  QVERIFY(QDir(data_->path()).mkdir("Plans"));
}

void SearchDlgTest::layoutTable() {
  struct Row {
    int cx, cy;
    QRect edit, search, tree, browser;
  };
  const Row rows[] = {
      {600, 400, {80, 0, 440, 24}, {520, 0, 80, 24}, {0, 44, 200, 356}, {200, 44, 400, 356}},
      // Narrower than 160: no room for the box. At 100, column 99 stays uncovered.
      {100, 300, {80, 0, 0, 24}, {20, 0, 80, 24}, {0, 44, 33, 256}, {33, 44, 66, 256}},
      {150, 30, {80, 0, 0, 24}, {70, 0, 80, 24}, {0, 44, 50, 0}, {50, 44, 100, 0}},
      {160, 44, {80, 0, 0, 24}, {80, 0, 80, 24}, {0, 44, 53, 0}, {53, 44, 106, 0}},
  };
  TestDlg dlg;
  for (const Row& r : rows) {
    dlg.LayoutControls(r.cx, r.cy);
    const QList<QRect> got = {dlg.OptionsButton()->geometry(), dlg.SearchEdit()->geometry(),
                              dlg.SearchButton()->geometry(),  dlg.Status()->geometry(),
                              dlg.Tree()->geometry(),          dlg.Browser()->geometry()};
    QCOMPARE(got, QList<QRect>(
                      {{0, 0, 80, 24}, r.edit, r.search, {0, 24, r.cx, 20}, r.tree, r.browser}));
  }
  // A resize lays the controls out for the new client size.
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  dlg.resize(500, 300);
  QTRY_COMPARE(dlg.Tree()->geometry(), QRect(0, 44, 166, 256));
  QCOMPARE(dlg.SearchButton()->geometry(), QRect(420, 0, 80, 24));
}

// Enter in the search box searching is in focusAfterARun, the title in the real-display tests.
void SearchDlgTest::keysAndOnOkFocus() {
  auto dlg = Searched();
  QVERIFY(dlg);
  dlg->SearchEdit()->setFocus();
  QTest::keyClick(dlg->SearchEdit(), Qt::Key_Escape);  // never closes the window
  // In the tree Enter opens the selected hit and starts no search; on a node it does nothing.
  dlg->Tree()->setCurrentIndex(Leaf(*dlg, kDocuments));
  dlg->Tree()->setFocus();
  QTest::keyClick(dlg->Tree(), Qt::Key_Return);
  dlg->Tree()->setCurrentIndex(dlg->Model()->NodeIndex(kDocuments));
  QTest::keyClick(dlg->Tree(), Qt::Key_Enter);
  dlg->OptionsButton()->setFocus();  // anywhere else: nothing at all
  dlg->OnOK();
  QVERIFY(dlg->isVisible() && !dlg->Searching());
  QCOMPARE(dlg->launches, QStringList{"app " + data_->filePath("letter plan.doc")});
  QCOMPARE(dlg->result(), 0);
  dlg->SearchButton()->setFocus();
  dlg->OnOK();
  QVERIFY(dlg->Searching());
}

void SearchDlgTest::keyboardOnly() {
  auto dlg = Searched();
  QVERIFY(dlg);
  dlg->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(dlg.get()));
  QWindow* window = dlg->windowHandle();

  // Tab goes round: search box, Search, tree, Options, preview, and back to the box.
  dlg->SearchEdit()->setFocus();
  QWidgetList order;
  for (int i = 0; i < 5; ++i) {
    QTest::keyClick(window, Qt::Key_Tab);
    order << QApplication::focusWidget();
  }
  QCOMPARE(order, QWidgetList({dlg->SearchButton(), dlg->Tree(), dlg->OptionsButton(),
                               dlg->Browser(), dlg->SearchEdit()}));

  // The flat buttons look different with the focus than without.
  for (QPushButton* button : {dlg->SearchButton(), dlg->OptionsButton()}) {
    dlg->SearchEdit()->setFocus();
    const QImage without = button->grab().toImage();
    button->setFocus(Qt::TabFocusReason);
    QVERIFY2(button->grab().toImage() != without, qPrintable(button->text()));
    QVERIFY(button->isFlat());
  }

  // The Options menu opens at the key press itself (Alt+O, Space on the button), so that a
  // Wayland compositor sees it tied to that key; Enter on the button does nothing.
  using Press = std::tuple<Qt::Key, Qt::KeyboardModifiers, QWidget*, size_t>;  // menus shown
  for (const auto& [key, modifiers, from, menus] :
       {Press{Qt::Key_O, Qt::AltModifier, dlg->SearchEdit(), 1},
        Press{Qt::Key_Space, {}, dlg->OptionsButton(), 1},
        Press{Qt::Key_Return, {}, dlg->OptionsButton(), 0}}) {
    from->setFocus(Qt::TabFocusReason);
    dlg->menus.clear();
    QTest::keyPress(window, key, modifiers);
    QCOMPARE(dlg->menus.size(), menus);
    QTest::keyRelease(window, key, modifiers);
    QCOMPARE(dlg->menus.size(), menus);  // once
    QVERIFY(!dlg->Searching());
    QCOMPARE(QApplication::focusWidget(), menus ? dlg->SearchEdit() : from);
  }

  // Shift+F10 opens the result menu for the selected hit, as the Menu key does (the Menu key
  // itself reaches the window only through the platform, in the real-display tests).
  dlg->Tree()->setCurrentIndex(Leaf(*dlg, kDocuments, 1));
  dlg->Tree()->setFocus();
  dlg->menus.clear();
  dlg->pickId = kCmdOpen;
  QTest::keyClick(window, Qt::Key_F10, Qt::ShiftModifier);
  QCOMPARE(dlg->menus, std::vector<QStringList>{kHitMenu});
  QCOMPARE(dlg->Tree()->currentIndex(), Leaf(*dlg, kDocuments, 1));
  QCOMPARE(dlg->launches, QStringList{"app " + data_->filePath("plan.txt")});
}

void SearchDlgTest::layoutAtDoubleFont() {
  TestDlg dlg;
  QFont font = dlg.font();
  font.setPointSizeF(font.pointSizeF() * 2);
  dlg.setFont(font);
  dlg.resize(900, 600);
  // The box holds its text, descenders and all; the captions fit their buttons.
  QLineEdit* edit = dlg.SearchEdit();
  QVERIFY(edit->contentsRect().height() >= edit->fontMetrics().height());
  for (QWidget* control : QWidgetList{edit, dlg.OptionsButton(), dlg.SearchButton(), dlg.Status()})
    QVERIFY(control->width() >= control->sizeHint().width() &&
            control->height() >= control->sizeHint().height());
  // Every size grown by one factor, as dialog units do; the rest follows below the status line.
  const double factor = dlg.OptionsButton()->height() / 24.0;
  QVERIFY(factor > 1.5 && qAbs(dlg.OptionsButton()->width() - 80 * factor) <= 1 &&
          qAbs(dlg.Status()->height() - 20 * factor) <= 1);
  QCOMPARE(dlg.Tree()->y(), dlg.Status()->geometry().bottom() + 1);

  // Started with a double-size font, the window grows too, so names in the tree still fit,
  // but never past the screen, where the Search button would be out of reach.
  const QFont appFont = QApplication::font();
  QFont big = appFont;
  big.setPointSizeF(appFont.pointSizeF() * 2);
  QApplication::setFont(big);
  TestDlg started;
  QApplication::setFont(appFont);
  const QSize screen = started.screen()->availableSize();
  QVERIFY(started.height() > 420);
  QVERIFY(started.width() <= screen.width() && started.height() <= screen.height());
  QVERIFY(started.SearchButton()->geometry().right() < started.width());
  // And it is placed whole on the screen, title bar and all.
  started.show();
  QVERIFY(QTest::qWaitForWindowExposed(&started));
  QTest::qWait(200);  // the window manager's frame arrives after the window is shown
  const QRect area = started.screen()->availableGeometry();
  QVERIFY2(area.contains(started.frameGeometry()),
           qPrintable(QDebug::toString(started.frameGeometry()) + " in " + QDebug::toString(area)));
}

void SearchDlgTest::commandsAsTheUserSeesThem_data() {
  QTest::addColumn<QString>("answer");
  QTest::addColumn<QStringList>("steps");
  QTest::addColumn<QStringList>("seen");
  const QStringList lines = Golden("commands.txt");
  QVERIFY(!lines.isEmpty());
  for (const QString& line : lines) {
    QStringList f = line.split('|');
    for (QString& field : f) field = field.trimmed().replace("\\n", "\n");
    QTest::newRow(qPrintable(f.value(0))) << f.value(1) << f.value(2).split(' ', Qt::SkipEmptyParts)
                                          << f.value(3).split(';', Qt::SkipEmptyParts);
  }
}

void SearchDlgTest::commandsAsTheUserSeesThem() {
  QFETCH(QString, answer);
  QFETCH(QStringList, steps);
  QFETCH(QStringList, seen);
  auto dlg = Searched();
  QVERIFY(dlg);
  const QString data = data_->path(), work = work_->path();
  const auto brief = [&](QString s) { return s.replace(work, "W").replace(data, "D"); };
  dlg->folderAnswer = dlg->saveAnswer =
      QString(answer).replace("W/", work + "/").replace("D/", data + "/");
  ResultsView* tree = dlg->Tree();
  const QModelIndex hit = Leaf(*dlg, kFolders), node = dlg->Model()->NodeIndex(kFolders);
  const std::map<QString, std::function<void()>> acts = {
      {"DoubleClick", [&] { emit tree->doubleClicked(hit); }},
      {"NoApp", [&] { dlg->launchResult = LaunchResult::kNoAssociation; }},
      {"AppFails", [&] { dlg->launchResult = LaunchResult::kFailed; }},
      {"NoEditor", [&] { dlg->editorResult = LaunchResult::kNoAssociation; }},
      {"SelectNode", [&] { tree->setCurrentIndex(node); }}};
  // The commands by the names the file gives them, in one order.
  const QStringList commands = QStringLiteral(
                                   "Open Notepad OpenFolder About Contents TypeFirst Music "
                                   "TypeLast PastTypes TypeAll Browse "
                                   "AllDrives Save")
                                   .split(' ');
  const int ids[] = {
      kCmdOpen,      kCmdOpenWithNotepad,    kCmdOpenFolder, kCmdAbout,        kCmdSearchContents,
      kCmdTypeFirst, kCmdTypeFirst + kMusic, kCmdTypeLast,   kCmdTypeLast + 1, kCmdTypeAll,
      kCmdBrowse,    kCmdSearchAllDrives,    kCmdSaveResults};
  tree->setCurrentIndex(hit);
  for (const QString& step : steps) {
    QVERIFY2(acts.contains(step) || commands.contains(step), qPrintable(step));
    acts.contains(step) ? acts.at(step)() : dlg->OnCommand(ids[commands.indexOf(step)]);
  }
  QStringList got;
  for (const QString& launch : dlg->launches) got << brief(launch);
  for (const QString& question : dlg->questions) got << "asked " + question;
  for (const QString& error : dlg->errors) got << "error " + brief(error);
  if (dlg->aboutShown) got << QStringLiteral("about %1").arg(dlg->aboutShown);
  if (dlg->SearchContents()) got << "contents";
  if (dlg->TypeFilter() != -1) got << QStringLiteral("type %1").arg(dlg->TypeFilter());
  const QString folder = QString::fromStdString(dlg->SearchFolder());
  if (folder != data) got << "search in " + brief(folder);
  if (ReadFile(work + "/results.html")
          .contains("<title>Findlark Search Results for 'plan'</title>"))
    got << "saved";
  for (QString& item : got) item = item.trimmed();
  for (QString& item : seen) item = item.trimmed();
  QCOMPARE(got, seen);
}

void SearchDlgTest::runStateTable() {
  auto dlg = Window(data_->path());
  QVERIFY(dlg);
  Start(*dlg, "  PLAN ");
  // Running: Stop, search box and Options disabled, button and tree enabled.
  QVERIFY(dlg->Searching() && !dlg->SearchEdit()->isEnabled() &&
          !dlg->OptionsButton()->isEnabled());
  QVERIFY(dlg->SearchButton()->isEnabled() && dlg->Tree()->isEnabled());
  QCOMPARE(dlg->SearchButton()->text() + "|" + dlg->SearchEdit()->text(), "Stop|  PLAN ");
  QCOMPARE(dlg->QueryLower(), std::string("plan"));

  QTRY_VERIFY_WITH_TIMEOUT(!dlg->Searching(), 20000);
  QCOMPARE(dlg->SearchButton()->text(), QStringLiteral("Search"));
  QVERIFY(dlg->SearchEdit()->isEnabled() && dlg->OptionsButton()->isEnabled());
  QTest::qWait(600);  // later ticks never replace the final text
  QCOMPARE(dlg->Status()->text(), QStringLiteral("Search complete. 4 found."));

  QVERIFY(Run(*dlg, " \t  "));  // a whitespace-only query does nothing at all
  QCOMPARE(dlg->QueryLower(), std::string("plan"));
  QCOMPARE(dlg->Results().foundCount, 4);
  // A folder that no longer exists ends at once with nothing found.
  dlg->folderAnswer = data_->path() + "/gone";
  dlg->OnCommand(kCmdBrowse);
  QVERIFY(Run(*dlg, "plan"));
  QCOMPARE(dlg->Status()->text(), QStringLiteral("Search complete. 0 found."));
}

void SearchDlgTest::aRunHeldByAFolderThatNeverAnswers_data() {
  QTest::addColumn<QString>("end");
  QTest::newRow("Stop, pressed twice, frees the window") << "stop";
  QTest::newRow("destroyed while running") << "destroy";
}

void SearchDlgTest::aRunHeldByAFolderThatNeverAnswers() {
  // A walk held in the kernel (a dead network mount), stood in for by one that finds a hit and
  // then ignores Stop until let go (or until the test ends, passed or not).
  QFETCH(QString, end);
  std::promise<void> let;
  auto dlg = Window(data_->path());
  QVERIFY(dlg);
  dlg->beforeRun = [go = let.get_future().share()](SearchOptions& options) {
    options.source = [go](HitSink& sink, const std::atomic<bool>&) {
      ResultRecord hit;
      hit.path = "/held/plan.txt";
      sink.OnHit(ResultRecord(hit));
      go.wait();
      sink.OnHit(std::move(hit));  // found too late
    };
  };
  Start(*dlg, "plan");
  QTRY_COMPARE(dlg->Results().foundCount, 1);
  if (end != "stop") {
    dlg.reset();  // waits no longer than the grace time
  } else {
    dlg->SearchButton()->setFocus();
    dlg->OnOK();
    dlg->OnOK();
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->Searching(), 20000);
    QCOMPARE(dlg->Status()->text(), QStringLiteral("Search cancelled. 1 found."));
    QVERIFY(dlg->SearchButton()->text() == "Search" && dlg->SearchEdit()->isEnabled() &&
            dlg->OptionsButton()->isEnabled());
    dlg->beforeRun = nullptr;
    QVERIFY(Run(*dlg, "plan"));
    QCOMPARE(dlg->Status()->text(), QStringLiteral("Search complete. 4 found."));
  }
  QCOMPARE(SearchRun::HeldRuns(), 1);
  let.set_value();
  QTRY_COMPARE(SearchRun::HeldRuns(), 0);
  if (dlg) {
    QTest::qWait(50);
    QCOMPARE(dlg->Results().foundCount, 4);
  }
}

void SearchDlgTest::focusAfterARun() {
  auto dlg = Window(data_->path());
  QVERIFY(dlg);
  dlg->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(dlg.get()));
  // Type, Enter, wait, type a new text, Enter: the second search is for the new text.
  dlg->SearchEdit()->setFocus();
  TypeKeys("plan");
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->Searching(), 20000);
  QCOMPARE(QApplication::focusWidget(), dlg->SearchEdit());
  QCOMPARE(dlg->SearchEdit()->selectedText(), QStringLiteral("plan"));
  TypeKeys("other");
  QVERIFY(dlg->Searching());
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->Searching(), 20000);
  QCOMPARE(dlg->QueryLower(), std::string("other"));
  QCOMPARE(dlg->Status()->text(), QStringLiteral("Search complete. 1 found."));

  // Focus the run did not take, or that the user moved meanwhile, stays where it is.
  for (QWidget* moveTo : {static_cast<QWidget*>(nullptr), static_cast<QWidget*>(dlg->Tree())}) {
    dlg->SearchButton()->setFocus();
    dlg->OnOK();
    if (moveTo) {
      dlg->SearchEdit()->setFocus();
      dlg->OnOK();
      moveTo->setFocus();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!dlg->Searching(), 20000);
    QCOMPARE(QApplication::focusWidget(), moveTo ? moveTo : dlg->SearchButton());
  }
}

void SearchDlgTest::manyHitsAllRecorded() {
  // More hits than one fetch from the worker's queue moves, recorded over several updates.
  QTemporaryDir many;
  for (int i = 0; i < 3000; ++i) WriteFile(many.filePath(QStringLiteral("hit%1.txt").arg(i)), "");
  auto dlg = Window(many.path(), "hit");
  QVERIFY(dlg);
  QCOMPARE(dlg->Status()->text(), QStringLiteral("Search complete. 3000 found."));
  QCOMPARE(dlg->Model()->AppendedHits(), size_t{0});
  QCOMPARE(dlg->Model()->rowCount(dlg->Model()->NodeIndex(kDocuments)), 3000);
}

void SearchDlgTest::previewAndRightClickRules() {
  auto dlg = Searched();
  QVERIFY(dlg);
  ResultsView* tree = dlg->Tree();
  const QModelIndex first = Leaf(*dlg, kDocuments, 0), second = Leaf(*dlg, kDocuments, 1);
  dlg->navigated.clear();
  // Nodes, documents that are not plain text and folders show nothing.
  for (const QModelIndex& index : {dlg->Model()->NodeIndex(kDocuments), first, second,
                                   Leaf(*dlg, kPictures), Leaf(*dlg, kFolders)})
    tree->setCurrentIndex(index);
  QCOMPARE(dlg->navigated, QStringList({"text " + data_->filePath("plan.txt"),
                                        "picture " + data_->filePath("plan map.jpg")}));
  QVERIFY(!qobject_cast<PreviewPane*>(dlg->Browser())->BrowserStarted());
  // The pane is handed the file's bytes exactly, whatever their encoding.
  QCOMPARE(FileUrlOf("/tmp/a b\xff%.txt").toEncoded(), QByteArray("file:///tmp/a%20b%FF%25.txt"));

  tree->setCurrentIndex(first);
  // On a category node and on empty space: no menu, selection unchanged.
  dlg->OnTreeRClick(tree->visualRect(dlg->Model()->NodeIndex(kDocuments)).center());
  dlg->OnTreeRClick(QPoint(5, tree->viewport()->height() - 2));
  QVERIFY(dlg->menus.empty());
  QCOMPARE(tree->currentIndex(), first);

  // On a hit, through a real context-menu event: the hit is selected, then the menu comes.
  const QPoint at = tree->visualRect(second).center();
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, tree->viewport()->mapToGlobal(at));
  QApplication::sendEvent(tree->viewport(), &event);
  QCOMPARE(tree->currentIndex(), second);
  QCOMPARE(dlg->menus, std::vector<QStringList>{kHitMenu});

  // A right press never moves the selection by itself (a chosen item acting on the hit is
  // in keyboardOnly).
  QTest::mousePress(tree->viewport(), Qt::RightButton, {}, tree->visualRect(first).center());
  QCOMPARE(tree->currentIndex(), second);
}

void SearchDlgTest::optionsMenuStates() {
  TestDlg dlg;
  dlg.OnCommand(kIdOptionsButton);
  QCOMPARE(dlg.menus[0], Golden("options_menu.txt"));

  // Choices made from the menu itself; "&" in a folder name is no mnemonic.
  dlg.folderAnswer = data_->path() + "/Reports & Co/";
  // Music, contents, Browse, nothing.
  for (int id : {kCmdTypeFirst + int(kMusic), int(kCmdSearchContents), int(kCmdBrowse), 0}) {
    dlg.pickId = id;
    dlg.OnCommand(kIdOptionsButton);
  }
  QCOMPARE(dlg.FolderName(), std::string("Reports & Co"));
  QCOMPARE(dlg.menus.back().filter(QRegularExpression("^\\+|Browse|Search only")),
           QStringList({"+Search within files", "+Find files of type/Music",
                        "+Search only Reports && Co"}));
  // Back to all drives: "Browse..." again.
  dlg.pickId = kCmdSearchAllDrives;
  dlg.OnCommand(kIdOptionsButton);
  dlg.OnCommand(kIdOptionsButton);
  QCOMPARE(dlg.menus.back().filter(QRegularExpression("drives|Browse|Search only")),
           QStringList({"+Search all drives", "Browse..."}));
}

void SearchDlgTest::filtersNarrowAndAreKept() {
  // "plan" finds plan.txt, plan map.jpg, letter plan.doc and Plans.
  FilterSettings set;
  set.filters.exclude = {"PLAN MAP*"};
  set.filters.wholeWord = true;  // not Plans
  set.changedWithin = 3600;
  const auto filtersItem = [](TestDlg& dlg) {
    dlg.OnCommand(kIdOptionsButton);
    return dlg.menus.back().filter(QRegularExpression("Filters"));
  };
  {
    auto dlg = Window(data_->path());
    QVERIFY(dlg);
    dlg->filtersAnswer = set;
    dlg->OnCommand(kCmdFilters);
    QVERIFY(Run(*dlg, "plan"));
    QCOMPARE(dlg->Status()->text(), QStringLiteral("Search complete. 2 found. (filtered)"));
    dlg->OnExit();
  }
  // Kept in the options file, described on the saved page; cancelling the dialog changes
  // nothing; Clear all.
  auto dlg = Window(data_->path());
  QVERIFY(dlg);
  dlg->OnCommand(kCmdFilters);
  QCOMPARE(filtersItem(*dlg), QStringList{"+Filters..."});
  QVERIFY(Run(*dlg, "plan"));
  QCOMPARE(dlg->Status()->text(), QStringLiteral("Search complete. 2 found. (filtered)"));
  dlg->saveAnswer = work_->filePath("page.html");
  dlg->OnCommand(kCmdSaveResults);
  QVERIFY(ReadFile(dlg->saveAnswer).contains("Filtered: excluding PLAN MAP*; changed since "));
  QVERIFY(ReadFile(dlg->saveAnswer).contains("; whole words<"));
  // A time limit alone narrows nothing here, but is a filter all the same.
  const auto chosen = [&](const FilterSettings& settings, const char* status, const char* item) {
    dlg->filtersAnswer = settings;
    dlg->OnCommand(kCmdFilters);
    QCOMPARE(filtersItem(*dlg), QStringList{item});
    QVERIFY(Run(*dlg, "plan"));
    QCOMPARE(dlg->Status()->text(), QString(status));
  };
  chosen({SearchFilters{}, 3600}, "Search complete. 4 found. (filtered)", "+Filters...");
  chosen(FilterSettings{}, "Search complete. 4 found.", "Filters...");
}

void SearchDlgTest::filtersDialogShowsWholeUnits() {
  // Values shown in the largest whole unit, read back, cleared, suggestions added.
  const std::tuple<qint64, qint64, QString> cases[] = {// size, seconds, as shown
                                                       {10 << 20, 172800, "10 MB, 2 days"},
                                                       {1536, 5400, "1536 bytes, 90 minutes"},
                                                       {qint64(3) << 30, 1209600, "3 GB, 2 weeks"},
                                                       {2048, 7200, "2 KB, 2 hours"}};
  CFiltersDlg dialog;
  for (const auto& [minSize, within, shown] : cases) {
    FilterSettings set;
    set.filters.exclude = {"PLAN MAP*"};
    set.filters.wholeWord = true;
    set.filters.minSize = minSize;
    set.changedWithin = within;
    dialog.SetSettings(set);
    QVERIFY(dialog.MinSizeOn()->isChecked() && dialog.MinSize()->isEnabled());
    QCOMPARE(QStringLiteral("%1 %2, %3 %4")
                 .arg(dialog.MinSize()->value())
                 .arg(dialog.MinUnit()->currentText())
                 .arg(dialog.Within()->value())
                 .arg(dialog.WithinUnit()->currentText()),
             shown);
    const SearchFilters back = dialog.Settings().filters;
    QVERIFY(back.minSize == minSize && dialog.Settings().changedWithin == within);
    QVERIFY(back.exclude == std::vector<std::string>{"PLAN MAP*"} && back.wholeWord &&
            !back.oneFileSystem && !back.maxSize);
  }
  dialog.AddSuggested();
  dialog.AddSuggested();
  QCOMPARE(dialog.Exclude()->toPlainText(),
           QStringLiteral("PLAN MAP*\n.git\nnode_modules\n.cache\n__pycache__"));
  dialog.ClearAll();
  QVERIFY(!dialog.Settings().Any() && !dialog.MinSize()->isEnabled());
}

void SearchDlgTest::settingsReadAndWritten() {
  const QString settings = work_->filePath("settings.ini");
  WriteFile(settings, "1|/srv/Work/Docs\r\nignored\r\n");
  {
    TestDlg dlg;
    QVERIFY(dlg.SearchContents());
    QCOMPARE(dlg.SearchFolder() + "|" + dlg.FolderName() + "|" + dlg.StartDir(),
             "/srv/Work/Docs|Docs|" + QDir::currentPath().toStdString());
    dlg.OnCommand(kCmdSearchContents);
    // The file goes where the program started, whatever the working directory is at exit.
    QVERIFY(QDir::setCurrent(data_->path()));
    dlg.OnExit();
    dlg.OnExit();  // a second exit writes nothing more
  }
  QCOMPARE(ReadFile(settings), QByteArray("0|/srv/Work/Docs\r\n"));
  QVERIFY(!QFile::exists(data_->filePath("settings.ini")));
  QVERIFY(QDir::setCurrent(work_->path()));
}

void SearchDlgTest::pdfOptionKeptInItsOwnFile() {
  const QString options = work_->filePath("options.ini");
  QFile::remove(options);
  {
    TestDlg dlg;
    QVERIFY(!dlg.SearchPdf());
    dlg.pickId = kCmdSearchPdf;
    dlg.OnCommand(kIdOptionsButton);
    dlg.OnExit();
  }
  QCOMPARE(ReadFile(options), QByteArray("search_pdf=1\n"));
  QCOMPARE(ReadFile(work_->filePath("settings.ini")), QByteArray("0|\r\n"));
  // Read back; with no extractor the item is off and cannot be chosen.
  for (const char* extractor : {"", "/nonexistent/pdftotext"}) {
    qputenv("FINDLARK_PDF_EXTRACTOR", extractor);
    TestDlg dlg;
    qunsetenv("FINDLARK_PDF_EXTRACTOR");
    dlg.OnCommand(kIdOptionsButton);
    QCOMPARE(dlg.menus.back().at(1),
             (*extractor ? "~" : "+") + QString("Search inside PDF documents"));
  }
}

void SearchDlgTest::pickersStartAtHomeOrTheFolder() {
  // The working folder (the settings folder, started from the menu) is never where they open.
  const QString home = QDir(QDir::homePath()).absolutePath();
  QVERIFY(QDir::currentPath() != home);
  TestDlg dlg;
  QCOMPARE(dlg.OpenedIn(true), home);
  QCOMPARE(dlg.OpenedIn(false), home);
  const QString plans = data_->filePath("Plans");
  for (const auto& [folder, expected] :
       {std::pair{plans, plans}, {data_->filePath("gone"), home}}) {
    dlg.folderAnswer = folder;
    dlg.OnCommand(kCmdBrowse);
    QCOMPARE(dlg.OpenedIn(false), expected);
    QCOMPARE(dlg.OpenedIn(true), home);
  }
}

// Hiding in the tray, the icon bringing the window back and Exit from its menu run on real
// desktops; here what those do not see: no tray, the tip, the menu's marks and mnemonics.
void SearchDlgTest::minimiseHidesOnlyWithTray() {
  auto dlg = Window({});
  QVERIFY(dlg);
  QCOMPARE(dlg->TrayIcon()->toolTip(), QStringLiteral("Findlark"));
  dlg->setWindowState(Qt::WindowMinimized);
  QTest::qWait(50);
  QVERIFY(dlg->isVisible());  // no tray: minimised as usual
  dlg->trayAvailable = true;
  dlg->hide();
  emit dlg->TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
  QVERIFY(!dlg->isVisible());
  emit dlg->TrayIcon()->activated(QSystemTrayIcon::Context);
  QTRY_COMPARE(dlg->menus, (std::vector<QStringList>{{"!&Open Findlark", "E&xit"}}));
}

QTEST_MAIN(SearchDlgTest)
#include "search_dlg_test.moc"
