#include "ui/search_dlg.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "results/results_tree.h"
#include "ui/preview_pane.h"
#include "ui/results_model.h"

using namespace findlark;

namespace {

struct ShownItem {
  QString text;  // submenu items are prefixed with their submenu's title and "/"
  bool checked = false;
  bool isDefault = false;
};

// The window with every popup, dialog, launch and the browser replaced by recorders.
class TestDlg : public CSearchDlg {
 public:
  using CSearchDlg::LaunchKind;

  std::vector<std::vector<ShownItem>> menus;
  std::vector<QPoint> menuPositions;
  int pickId = 0;  // the command chosen from the next menu; 0 closes it
  QString folderAnswer, saveAnswer;
  QMessageBox::StandardButton answer = QMessageBox::No;
  QStringList questions, errors;
  std::vector<std::pair<LaunchKind, std::string>> launches;
  LaunchResult launchResult = LaunchResult::kLaunched;
  std::vector<std::string> navigated;
  bool trayAvailable = false;
  int aboutShown = 0;

 protected:
  QAction* ExecMenu(QMenu& menu, const QPoint& globalPos) override {
    std::vector<ShownItem> shown;
    QAction* chosen = nullptr;
    const std::function<void(QMenu&, const QString&)> walk = [&](QMenu& m, const QString& prefix) {
      for (QAction* a : m.actions()) {
        if (a->menu()) {
          walk(*a->menu(), prefix + a->text() + "/");
          continue;
        }
        if (a->isSeparator()) {
          shown.push_back({prefix + "-", false, false});
          continue;
        }
        shown.push_back({prefix + a->text(), a->isChecked(), m.defaultAction() == a});
        if (pickId != 0 && a->data().toInt() == pickId) chosen = a;
      }
    };
    walk(menu, QString());
    menus.push_back(shown);
    menuPositions.push_back(globalPos);
    pickId = 0;
    return chosen;
  }
  QString AskFolder() override { return folderAnswer; }
  QString AskSavePath() override { return saveAnswer; }
  QMessageBox::StandardButton AskQuestion(const QString& text) override {
    questions << text;
    return answer;
  }
  void ShowError(const QString& text) override { errors << text; }
  LaunchResult Launch(LaunchKind kind, const std::string& path) override {
    launches.emplace_back(kind, path);
    return kind == LaunchKind::kDefaultApp ? launchResult : LaunchResult::kLaunched;
  }
  void Navigate(const std::string& path) override { navigated.push_back(path); }
  bool TrayAvailable() const override { return trayAvailable; }
  void ShowAbout() override { ++aboutShown; }
};

const ShownItem* Find(const std::vector<ShownItem>& menu, const QString& text) {
  for (const ShownItem& item : menu)
    if (item.text == text) return &item;
  return nullptr;
}

QStringList Checked(const std::vector<ShownItem>& menu) {
  QStringList out;
  for (const ShownItem& item : menu)
    if (item.checked) out << item.text;
  return out;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  QVERIFY(f.open(QIODevice::WriteOnly));
  f.write(bytes);
}

QByteArray ReadFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

}  // namespace

class SearchDlgTest : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void layoutTable_data();
  void layoutTable();
  void enterAndEscape();
  void routing();
  void onOkFocus();
  void runStateTable();
  void manyHitsAllRecorded();
  void blankQueryDoesNothing();
  void stopCancels();
  void itemDataFromTheView();
  void rightClickRules();
  void openingAndNotepadQuestion();
  void optionsMenuStates();
  void settingsReadAndWritten();
  void previewRule();
  void saveResults();
  void minimiseHidesOnlyWithTray();
  void leaveDuringSearch();

 private:
  // A fresh window over a folder holding plan.txt, plan map.jpg, Plans/ and other.doc.
  std::unique_ptr<TestDlg> MakeSearchedDialog(const QString& query = "plan");
  void RunSearch(TestDlg& dlg, const QString& query);
  QModelIndex Leaf(TestDlg& dlg, FileCategory category, int row = 0);

  std::unique_ptr<QTemporaryDir> work_;  // the working directory: settings.ini lives here
  std::unique_ptr<QTemporaryDir> data_;  // the searched folder
};

void SearchDlgTest::init() {
  work_ = std::make_unique<QTemporaryDir>();
  data_ = std::make_unique<QTemporaryDir>();
  QVERIFY(QDir::setCurrent(work_->path()));
  WriteFile(data_->filePath("plan.txt"), "the plan\n");
  WriteFile(data_->filePath("plan map.jpg"), "jpeg");
  WriteFile(data_->filePath("other.doc"), "doc");
  WriteFile(data_->filePath("letter plan.doc"), "doc");
  QVERIFY(QDir(data_->path()).mkdir("Plans"));
}

void SearchDlgTest::RunSearch(TestDlg& dlg, const QString& query) {
  dlg.SearchEdit()->setText(query);
  dlg.SearchEdit()->setFocus();
  dlg.OnOK();
  QTRY_VERIFY_WITH_TIMEOUT(!dlg.Searching(), 20000);
}

std::unique_ptr<TestDlg> SearchDlgTest::MakeSearchedDialog(const QString& query) {
  auto dlg = std::make_unique<TestDlg>();
  dlg->folderAnswer = data_->path();
  dlg->OnCommand(kCmdBrowse);
  dlg->resize(800, 700);
  dlg->show();
  if (!QTest::qWaitForWindowExposed(dlg.get())) return nullptr;
  RunSearch(*dlg, query);
  return dlg;
}

QModelIndex SearchDlgTest::Leaf(TestDlg& dlg, FileCategory category, int row) {
  return dlg.Model()->index(row, 0, dlg.Model()->NodeIndex(category));
}

void SearchDlgTest::layoutTable_data() {
  QTest::addColumn<int>("cx");
  QTest::addColumn<int>("cy");
  QTest::addColumn<QRect>("edit");
  QTest::addColumn<QRect>("search");
  QTest::addColumn<QRect>("tree");
  QTest::addColumn<QRect>("browser");
  QTest::newRow("normal") << 600 << 400 << QRect(80, 0, 440, 24) << QRect(520, 0, 80, 24)
                          << QRect(0, 44, 200, 356) << QRect(200, 44, 400, 356);
  QTest::newRow("cx=100, column 99 uncovered")
      << 100 << 300 << QRect(80, 0, 0, 24) << QRect(20, 0, 80, 24) << QRect(0, 44, 33, 256)
      << QRect(33, 44, 66, 256);
  QTest::newRow("narrow and low") << 150 << 30 << QRect(80, 0, 0, 24) << QRect(70, 0, 80, 24)
                                  << QRect(0, 44, 50, 0) << QRect(50, 44, 100, 0);
  QTest::newRow("exactly 160 x 44") << 160 << 44 << QRect(80, 0, 0, 24) << QRect(80, 0, 80, 24)
                                    << QRect(0, 44, 53, 0) << QRect(53, 44, 106, 0);
}

void SearchDlgTest::layoutTable() {
  QFETCH(int, cx);
  QFETCH(int, cy);
  QFETCH(QRect, edit);
  QFETCH(QRect, search);
  QFETCH(QRect, tree);
  QFETCH(QRect, browser);
  TestDlg dlg;
  dlg.LayoutControls(cx, cy);
  QCOMPARE(dlg.OptionsButton()->geometry(), QRect(0, 0, 80, 24));
  QCOMPARE(dlg.SearchEdit()->geometry(), edit);
  QCOMPARE(dlg.SearchButton()->geometry(), search);
  QCOMPARE(dlg.Status()->geometry(), QRect(0, 24, cx, 20));
  QCOMPARE(dlg.Tree()->geometry(), tree);
  QCOMPARE(dlg.Browser()->geometry(), browser);

  // A resize lays the controls out for the new client size.
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  dlg.resize(cx + 30, cy + 30);
  QTRY_COMPARE(dlg.height(), cy + 30);
  QCOMPARE(dlg.Tree()->geometry().height(), cy + 30 - 44);
  QCOMPARE(dlg.SearchButton()->geometry().x(), cx + 30 - 80);
}

void SearchDlgTest::enterAndEscape() {
  TestDlg dlg;
  dlg.folderAnswer = data_->path();
  dlg.OnCommand(kCmdBrowse);
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  QCOMPARE(dlg.windowTitle(), QStringLiteral("Findlark"));

  QTest::keyClick(dlg.SearchEdit(), Qt::Key_Escape);
  QVERIFY(dlg.isVisible());
  QCOMPARE(dlg.result(), 0);

  // Enter in the search box searches and never closes the window.
  dlg.SearchEdit()->setFocus();
  QTest::keyClicks(dlg.SearchEdit(), "plan");
  QTest::keyClick(dlg.SearchEdit(), Qt::Key_Return);
  QVERIFY(dlg.isVisible());
  QTRY_VERIFY_WITH_TIMEOUT(dlg.Status()->text().startsWith("Search complete."), 20000);
  QTRY_VERIFY(!dlg.Searching());
  QVERIFY(dlg.isVisible());
  QCOMPARE(dlg.QueryLower(), std::string("plan"));
}

void SearchDlgTest::routing() {
  TestDlg dlg;
  QVERIFY(!dlg.SearchContents());
  dlg.OnCommand(kCmdSearchContents);
  QVERIFY(dlg.SearchContents());
  dlg.OnCommand(kCmdSearchContents);
  QVERIFY(!dlg.SearchContents());

  dlg.OnCommand(0x800F + 2);
  QCOMPARE(dlg.TypeFilter(), kMusic);
  dlg.OnCommand(0x801B);
  QCOMPARE(dlg.TypeFilter(), kOther);
  dlg.OnCommand(0x801C);  // one past Other: no category
  QCOMPARE(dlg.TypeFilter(), kOther);
  dlg.OnCommand(0x800E);
  QCOMPARE(dlg.TypeFilter(), kTypeFilterAll);

  dlg.folderAnswer = data_->path() + "/Plans//";
  dlg.OnCommand(0x8005);
  QCOMPARE(QString::fromStdString(dlg.SearchFolder()), data_->path() + "/Plans");
  QCOMPARE(dlg.FolderName(), std::string("Plans"));
  dlg.folderAnswer.clear();  // cancelled picker changes nothing
  dlg.OnCommand(0x8005);
  QCOMPARE(dlg.FolderName(), std::string("Plans"));
  dlg.OnCommand(0x8004);
  QVERIFY(dlg.SearchFolder().empty());
  QCOMPARE(dlg.FolderName(), std::string("Plans"));

  dlg.folderAnswer = "/";
  dlg.OnCommand(kCmdBrowse);
  QCOMPARE(dlg.SearchFolder(), std::string("/"));

  dlg.OnCommand(kIdOptionsButton);
  QCOMPARE(dlg.menus.size(), size_t{1});
  dlg.OnCommand(0x800B);
  QCOMPARE(dlg.aboutShown, 1);

  dlg.saveAnswer = work_->filePath("routed.html");
  dlg.OnCommand(0x800C);
  QVERIFY(QFile::exists(work_->filePath("routed.html")));

  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  dlg.OnCommand(kCmdExit);
  QVERIFY(!dlg.isVisible());
  QCOMPARE(dlg.result(), int(QDialog::Accepted));
}

void SearchDlgTest::onOkFocus() {
  auto dlg = MakeSearchedDialog();
  QVERIFY(dlg);
  const int found = dlg->Results().foundCount;
  QVERIFY(found > 0);

  // Focus on the tree: Enter opens the selected hit and starts no search.
  dlg->Tree()->setCurrentIndex(Leaf(*dlg, kDocuments));
  dlg->Tree()->setFocus();
  QTest::keyClick(dlg->Tree(), Qt::Key_Return);
  QCOMPARE(dlg->launches.size(), size_t{1});
  QVERIFY(!dlg->Searching());

  // A category node selected: nothing.
  dlg->Tree()->setCurrentIndex(dlg->Model()->NodeIndex(kDocuments));
  dlg->OnOK();
  QCOMPARE(dlg->launches.size(), size_t{1});

  // Focus anywhere else: nothing at all.
  dlg->OptionsButton()->setFocus();
  dlg->OnOK();
  QVERIFY(!dlg->Searching());
  QCOMPARE(dlg->launches.size(), size_t{1});

  // The Search button starts a run.
  dlg->SearchButton()->setFocus();
  dlg->OnOK();
  QVERIFY(dlg->Searching());
  QTRY_VERIFY_WITH_TIMEOUT(!dlg->Searching(), 20000);
  QCOMPARE(dlg->Results().foundCount, found);
}

void SearchDlgTest::runStateTable() {
  TestDlg dlg;
  dlg.folderAnswer = data_->path();
  dlg.OnCommand(kCmdBrowse);
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  dlg.SearchEdit()->setText("  PLAN ");
  dlg.SearchEdit()->setFocus();
  dlg.OnOK();

  // Running: Stop, search box and Options disabled, button and tree enabled.
  QVERIFY(dlg.Searching());
  QCOMPARE(dlg.SearchButton()->text(), QStringLiteral("Stop"));
  QVERIFY(!dlg.SearchEdit()->isEnabled());
  QVERIFY(!dlg.OptionsButton()->isEnabled());
  QVERIFY(dlg.SearchButton()->isEnabled());
  QVERIFY(dlg.Tree()->isEnabled());
  QCOMPARE(dlg.QueryLower(), std::string("plan"));
  QCOMPARE(dlg.SearchEdit()->text(), QStringLiteral("  PLAN "));

  // Idle again after the first tick past the end.
  QTRY_VERIFY_WITH_TIMEOUT(!dlg.Searching(), 20000);
  QCOMPARE(dlg.SearchButton()->text(), QStringLiteral("Search"));
  QVERIFY(dlg.SearchEdit()->isEnabled());
  QVERIFY(dlg.OptionsButton()->isEnabled());
  // plan.txt, plan map.jpg, letter plan.doc, Plans
  QCOMPARE(dlg.Status()->text(), QStringLiteral("Search complete. 4 found."));
  QCOMPARE(dlg.Model()->index(kDocuments, 0).data().toString(), QStringLiteral("Documents (2)"));
  QCOMPARE(dlg.Model()->index(kFolders, 0).data().toString(), QStringLiteral("Folders (1)"));
  QVERIFY(dlg.Tree()->isExpanded(dlg.Model()->NodeIndex(kDocuments)));
  QVERIFY(!dlg.Tree()->isExpanded(dlg.Model()->NodeIndex(kMusic)));

  // The final text stays: later ticks never replace it.
  QTest::qWait(600);
  QCOMPARE(dlg.Status()->text(), QStringLiteral("Search complete. 4 found."));

  // A folder that no longer exists ends at once with nothing found.
  dlg.folderAnswer = data_->path() + "/gone";
  dlg.OnCommand(kCmdBrowse);
  RunSearch(dlg, "plan");
  QCOMPARE(dlg.Status()->text(), QStringLiteral("Search complete. 0 found."));
  QCOMPARE(dlg.Model()->rowCount(), kCategoryCount);
}

void SearchDlgTest::manyHitsAllRecorded() {
  // More hits than one fetch from the worker's queue moves, recorded over several updates.
  QTemporaryDir many;
  for (int f = 0; f < 2; ++f) {
    QVERIFY(QDir(many.path()).mkdir(QStringLiteral("f%1").arg(f)));
    for (int i = 0; i < 1500; ++i)
      WriteFile(many.filePath(QStringLiteral("f%1/hit%2.txt").arg(f).arg(i)), "");
  }
  TestDlg dlg;
  dlg.folderAnswer = many.path();
  dlg.OnCommand(kCmdBrowse);
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  RunSearch(dlg, "hit");
  QCOMPARE(dlg.Status()->text(), QStringLiteral("Search complete. 3000 found."));
  QCOMPARE(dlg.Results().store.size(), size_t{3000});
  QCOMPARE(dlg.Model()->AppendedHits(), size_t{0});
  const QModelIndex docs = dlg.Model()->NodeIndex(kDocuments);
  QCOMPARE(docs.data().toString(), QStringLiteral("Documents (3000)"));
  QCOMPARE(dlg.Model()->rowCount(docs), 3000);
  QVERIFY(dlg.Tree()->isExpanded(docs));
}

void SearchDlgTest::blankQueryDoesNothing() {
  auto dlg = MakeSearchedDialog();
  QVERIFY(dlg);
  const QString status = dlg->Status()->text();
  dlg->SearchEdit()->setText(" \t  ");
  dlg->SearchEdit()->setFocus();
  dlg->OnOK();
  QVERIFY(!dlg->Searching());
  QCOMPARE(dlg->Status()->text(), status);
  QCOMPARE(dlg->QueryLower(), std::string("plan"));
  QCOMPARE(dlg->Results().foundCount, 4);
  QVERIFY(dlg->SearchEdit()->isEnabled());
}

void SearchDlgTest::stopCancels() {
  // The whole machine takes long enough that Stop lands well before the walk ends.
  TestDlg dlg;
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  QVERIFY(dlg.SearchFolder().empty());
  dlg.SearchEdit()->setText("e");
  dlg.SearchEdit()->setFocus();
  dlg.OnOK();
  QVERIFY(dlg.Searching());
  dlg.SearchButton()->setFocus();
  dlg.OnOK();  // Stop
  QCOMPARE(dlg.SearchButton()->text(), QStringLiteral("Stop"));
  dlg.OnOK();  // Stop again changes nothing
  QTRY_VERIFY_WITH_TIMEOUT(!dlg.Searching(), 20000);
  QVERIFY2(dlg.Status()->text().startsWith("Search cancelled. "), qPrintable(dlg.Status()->text()));
  QCOMPARE(dlg.Status()->text(),
           QStringLiteral("Search cancelled. %1 found.").arg(dlg.Results().foundCount));
  QCOMPARE(dlg.SearchButton()->text(), QStringLiteral("Search"));
}

void SearchDlgTest::itemDataFromTheView() {
  auto dlg = MakeSearchedDialog();
  QVERIFY(dlg);
  QAbstractItemModel* model = dlg->Tree()->model();
  const int found = dlg->Results().foundCount;
  std::vector<bool> seen(found, false);
  for (int c = 0; c < model->rowCount(); ++c) {
    const QModelIndex node = model->index(c, 0);
    QCOMPARE(node.data(ResultsModel::kItemDataRole).toLongLong(), qlonglong(-1));
    dlg->Tree()->setCurrentIndex(node);
    QVERIFY(!dlg->GetSelectedHit());
    for (int r = 0; r < model->rowCount(node); ++r) {
      const qlonglong d = model->index(r, 0, node).data(ResultsModel::kItemDataRole).toLongLong();
      QVERIFY(d >= 0 && d < found);
      QVERIFY(!seen[d]);
      seen[d] = true;
      QCOMPARE(int(dlg->Results().store.View(d).category), c);
      dlg->Tree()->setCurrentIndex(model->index(r, 0, node));
      QCOMPARE(dlg->GetSelectedHit(), std::optional<int64_t>(d));
    }
  }
  QVERIFY(std::all_of(seen.begin(), seen.end(), [](bool b) { return b; }));
}

void SearchDlgTest::rightClickRules() {
  auto dlg = MakeSearchedDialog();
  QVERIFY(dlg);
  QTreeView* tree = dlg->Tree();
  const QModelIndex docsNode = dlg->Model()->NodeIndex(kDocuments);
  const QModelIndex first = Leaf(*dlg, kDocuments, 0);
  const QModelIndex second = Leaf(*dlg, kDocuments, 1);
  tree->setCurrentIndex(first);
  dlg->navigated.clear();

  // On a category node and on empty space: no menu, selection unchanged.
  dlg->OnTreeRClick(tree->visualRect(docsNode).center());
  dlg->OnTreeRClick(QPoint(5, tree->viewport()->height() - 2));
  QVERIFY(dlg->menus.empty());
  QCOMPARE(tree->currentIndex(), first);

  // On a hit, through a real context-menu event: the hit is selected, then the menu comes.
  const QPoint at = tree->visualRect(second).center();
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, tree->viewport()->mapToGlobal(at));
  QApplication::sendEvent(tree->viewport(), &event);
  QCOMPARE(dlg->menus.size(), size_t{1});
  QCOMPARE(tree->currentIndex(), second);
  QCOMPARE(dlg->menuPositions[0], tree->viewport()->mapToGlobal(at));
  const auto& menu = dlg->menus[0];
  QCOMPARE(menu.size(), size_t{3});
  QCOMPARE(menu[0].text, QStringLiteral("&Open"));
  QVERIFY(menu[0].isDefault);
  QCOMPARE(menu[1].text, QStringLiteral("Open with Notepad"));
  QCOMPARE(menu[2].text, QStringLiteral("Open &Folder"));

  // A right press never moves the selection by itself.
  QTest::mousePress(tree->viewport(), Qt::RightButton, {}, tree->visualRect(first).center());
  QCOMPARE(tree->currentIndex(), second);

  // Choosing "Open &Folder" opens the hit's folder.
  dlg->pickId = kCmdOpenFolder;
  dlg->OnTreeRClick(tree->visualRect(first).center());
  QCOMPARE(dlg->launches.size(), size_t{1});
  QCOMPARE(dlg->launches[0].first, TestDlg::LaunchKind::kFolder);
  QCOMPARE(QString::fromStdString(dlg->launches[0].second), data_->path());
}

void SearchDlgTest::openingAndNotepadQuestion() {
  auto dlg = MakeSearchedDialog();
  QVERIFY(dlg);
  const QModelIndex folderHit = Leaf(*dlg, kFolders);
  dlg->Tree()->setCurrentIndex(folderHit);
  const std::string folderPath = (data_->path() + "/Plans").toStdString();

  dlg->launchResult = LaunchResult::kNoAssociation;
  dlg->answer = QMessageBox::No;
  dlg->OnCommand(kCmdOpen);
  QCOMPARE(dlg->questions.size(), 1);
  QCOMPARE(dlg->questions[0],
           QStringLiteral("There is no application associated with this file type. Would you "
                          "like to open it with Notepad?"));
  QCOMPARE(dlg->launches.size(), size_t{1});  // No: nothing more

  dlg->answer = QMessageBox::Yes;
  dlg->OnCommand(kCmdOpen);
  QCOMPARE(dlg->launches.size(), size_t{3});
  QCOMPARE(dlg->launches[2].first, TestDlg::LaunchKind::kTextEditor);
  QCOMPARE(dlg->launches[2].second, folderPath);

  // Any other failure asks nothing.
  dlg->launchResult = LaunchResult::kFailed;
  dlg->OnCommand(kCmdOpen);
  QCOMPARE(dlg->questions.size(), 2);

  // Open Folder on a folder hit gives the folder that holds it; a double click opens.
  dlg->OnCommand(kCmdOpenFolder);
  QCOMPARE(QString::fromStdString(dlg->launches.back().second), data_->path());
  const size_t before = dlg->launches.size();
  emit dlg->Tree()->doubleClicked(folderHit);
  QCOMPARE(dlg->launches.size(), before + 1);
  QCOMPARE(dlg->launches.back().first, TestDlg::LaunchKind::kDefaultApp);

  // Nothing selected that is a hit: the commands do nothing.
  dlg->Tree()->setCurrentIndex(dlg->Model()->NodeIndex(kFolders));
  dlg->OnCommand(kCmdOpen);
  dlg->OnCommand(kCmdOpenWithNotepad);
  dlg->OnCommand(kCmdOpenFolder);
  QCOMPARE(dlg->launches.size(), before + 1);
}

void SearchDlgTest::optionsMenuStates() {
  TestDlg dlg;
  dlg.OnCommand(kIdOptionsButton);
  QCOMPARE(dlg.menus.size(), size_t{1});
  const auto& fresh = dlg.menus[0];
  QCOMPARE(Checked(fresh), QStringList({"Find files of type/All", "Search all drives"}));
  QVERIFY(Find(fresh, "Browse..."));
  QStringList texts;
  for (const ShownItem& item : fresh) texts << item.text;
  QStringList expected = {"Search within files", "Find files of type/All", "Find files of type/-"};
  for (int c = 0; c < kCategoryCount; ++c)
    expected << QStringLiteral("Find files of type/") + g_categoryNames[c];
  expected << "-"
           << "Search all drives"
           << "Browse..."
           << "-"
           << "Save results..."
           << "-"
           << "About...";
  QCOMPARE(texts, expected);
  QCOMPARE(dlg.menuPositions[0], dlg.mapToGlobal(QPoint(0, 24)));

  // Choices made from the menu itself.
  dlg.pickId = 0x800F + kMusic;
  dlg.OnCommand(kIdOptionsButton);
  QCOMPARE(dlg.TypeFilter(), kMusic);
  dlg.pickId = kCmdSearchContents;
  dlg.OnCommand(kIdOptionsButton);
  dlg.folderAnswer = data_->path() + "/Reports & Co/";
  dlg.pickId = kCmdBrowse;
  dlg.OnCommand(kIdOptionsButton);
  QCOMPARE(dlg.FolderName(), std::string("Reports & Co"));

  dlg.OnCommand(kIdOptionsButton);
  const auto& after = dlg.menus.back();
  QCOMPARE(Checked(after), QStringList({"Search within files", "Find files of type/Music",
                                        "Search only Reports && Co"}));
  QVERIFY(!Find(after, "Browse..."));

  // Back to all drives: "Browse..." again.
  dlg.pickId = kCmdSearchAllDrives;
  dlg.OnCommand(kIdOptionsButton);
  dlg.OnCommand(kIdOptionsButton);
  QCOMPARE(Checked(dlg.menus.back()),
           QStringList({"Search within files", "Find files of type/Music", "Search all drives"}));
  QVERIFY(Find(dlg.menus.back(), "Browse..."));
}

void SearchDlgTest::settingsReadAndWritten() {
  const QString settings = work_->filePath("settings.ini");
  {  // no file: defaults; exit writes one line
    TestDlg dlg;
    QVERIFY(!dlg.SearchContents());
    QVERIFY(dlg.SearchFolder().empty());
    QCOMPARE(QString::fromStdString(dlg.StartDir()), QDir::currentPath());
    dlg.OnExit();
    QCOMPARE(ReadFile(settings), QByteArray("0|\r\n"));
  }
  WriteFile(settings, "1|/srv/Work/Docs\r\nignored\r\n");
  {
    TestDlg dlg;
    QVERIFY(dlg.SearchContents());
    QCOMPARE(dlg.SearchFolder(), std::string("/srv/Work/Docs"));
    QCOMPARE(dlg.FolderName(), std::string("Docs"));
    dlg.OnCommand(kCmdSearchContents);
    // The file goes where the program started, whatever the working directory is at exit.
    QVERIFY(QDir::setCurrent(data_->path()));
    dlg.OnExit();
    dlg.OnExit();  // a second exit writes nothing more
  }
  QCOMPARE(ReadFile(settings), QByteArray("0|/srv/Work/Docs\r\n"));
  QVERIFY(!QFile::exists(data_->filePath("settings.ini")));
}

void SearchDlgTest::previewRule() {
  auto dlg = MakeSearchedDialog();
  QVERIFY(dlg);
  QTreeView* tree = dlg->Tree();
  dlg->navigated.clear();

  tree->setCurrentIndex(dlg->Model()->NodeIndex(kDocuments));
  QVERIFY(dlg->navigated.empty());

  // Documents: "letter plan" (.doc) sorts before "plan" (.txt).
  tree->setCurrentIndex(Leaf(*dlg, kDocuments, 0));
  QVERIFY(dlg->navigated.empty());
  tree->setCurrentIndex(Leaf(*dlg, kDocuments, 1));
  QCOMPARE(dlg->navigated.size(), size_t{1});
  QCOMPARE(QString::fromStdString(dlg->navigated[0]), data_->filePath("plan.txt"));

  // Arrow keys move the selection and the preview follows.
  tree->setFocus();
  tree->setCurrentIndex(Leaf(*dlg, kPictures));
  QCOMPARE(QString::fromStdString(dlg->navigated.back()), data_->filePath("plan map.jpg"));
  tree->setCurrentIndex(Leaf(*dlg, kFolders));
  QCOMPARE(dlg->navigated.size(), size_t{2});

  // The pane is handed the file's bytes exactly, whatever their encoding.
  QCOMPARE(FileUrlOf("/tmp/a b\xff%.txt").toEncoded(), QByteArray("file:///tmp/a%20b%FF%25.txt"));
}

void SearchDlgTest::saveResults() {
  auto dlg = MakeSearchedDialog();
  QVERIFY(dlg);
  dlg->saveAnswer.clear();  // cancelled
  dlg->OnSaveResults();
  QVERIFY(dlg->errors.isEmpty());

  dlg->saveAnswer = work_->filePath("results.html");
  dlg->OnSaveResults();
  const QByteArray page = ReadFile(dlg->saveAnswer);
  QVERIFY(page.contains("<title>Findlark Search Results for 'plan'</title>"));
  QVERIFY(page.contains("(found 4)"));
  QVERIFY(page.contains("plan map.jpg"));
  QVERIFY(dlg->errors.isEmpty());

  dlg->saveAnswer = work_->filePath("missing/folder/results.html");
  dlg->OnSaveResults();
  QCOMPARE(dlg->errors.size(), 1);
  QVERIFY(dlg->errors[0].contains("missing/folder/results.html"));
  QVERIFY(dlg->isVisible());
}

void SearchDlgTest::minimiseHidesOnlyWithTray() {
  TestDlg dlg;
  QCOMPARE(dlg.TrayIcon()->toolTip(), QStringLiteral("Findlark"));
  dlg.show();
  QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  dlg.setWindowState(Qt::WindowMinimized);
  QTest::qWait(50);
  QVERIFY(dlg.isVisible());  // no tray: minimised as usual

  dlg.trayAvailable = true;
  dlg.showNormal();
  dlg.setWindowState(Qt::WindowMinimized);
  QTRY_VERIFY(!dlg.isVisible());
  QCOMPARE(dlg.result(), 0);  // hidden, not ended

  emit dlg.TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
  QVERIFY(!dlg.isVisible());
  emit dlg.TrayIcon()->activated(QSystemTrayIcon::Trigger);
  QVERIFY(dlg.isVisible());
  QVERIFY(!dlg.isMinimized());

  // The right press shows the two-item menu; "E&xit" ends the window.
  dlg.pickId = kCmdExit;
  emit dlg.TrayIcon()->activated(QSystemTrayIcon::Context);
  QTRY_COMPARE(dlg.menus.size(), size_t{1});
  QCOMPARE(dlg.menus[0].size(), size_t{2});
  QCOMPARE(dlg.menus[0][0].text, QStringLiteral("&Open Findlark"));
  QVERIFY(dlg.menus[0][0].isDefault);
  QCOMPARE(dlg.menus[0][1].text, QStringLiteral("E&xit"));
  QVERIFY(!dlg.isVisible());
  QVERIFY(!dlg.TrayIcon()->isVisible());
  QCOMPARE(dlg.result(), int(QDialog::Accepted));
}

void SearchDlgTest::leaveDuringSearch() {
  for (int round = 0; round < 3; ++round) {
    auto dlg = std::make_unique<TestDlg>();
    dlg->show();
    dlg->SearchEdit()->setText("a");
    dlg->SearchEdit()->setFocus();
    dlg->OnOK();  // the whole machine
    QVERIFY(dlg->Searching());
    QTest::qWait(20 * round);
    if (round == 1) {
      dlg->close();  // the close button: exits, stops and joins
      QCOMPARE(dlg->result(), int(QDialog::Accepted));
    }
    dlg.reset();  // destroyed mid-run
  }
  QVERIFY(QFile::exists(work_->filePath("settings.ini")));
}

QTEST_MAIN(SearchDlgTest)
#include "search_dlg_test.moc"
