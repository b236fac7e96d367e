#include "ui/search_dlg.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
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
#include <QToolTip>
#include <QWindow>
#include <algorithm>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>

#include "results/results_tree.h"
#include "search/directory_walk.h"
#include "ui/filters_dlg.h"
#include "ui/preview_pane.h"
#include "ui/preview_views.h"
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
  // Launches ("app|editor|folder <path>"), questions, errors, previews and the About box.
  QStringList log;
  LaunchResult launchResult = LaunchResult::kLaunched;  // of the default app
  LaunchResult editorResult = LaunchResult::kLaunched;
  bool trayAvailable = false;
  bool preview = false;  // hits are shown in the preview pane too
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
    log << "asked " + text;
    return QMessageBox::No;  // Yes is answered on a real desktop
  }
  void ShowError(const QString& text) override { log << "error " + text; }
  LaunchResult Launch(LaunchKind kind, const std::string& path) override {
    const char* names[] = {"app ", "editor ", "folder "};
    log << names[int(kind)] + QString::fromStdString(path);
    if (kind == LaunchKind::kDefaultApp) return launchResult;
    return kind == LaunchKind::kTextEditor ? editorResult : LaunchResult::kLaunched;
  }
  void Navigate(const std::string& path, PreviewKind kind) override {
    const char* kinds[] = {"none ", "text ", "picture ", "page "};
    log << kinds[int(kind)] + QString::fromStdString(path);
    if (preview) CSearchDlg::Navigate(path, kind);
  }
  bool TrayAvailable() const override { return trayAvailable; }
  void ShowAbout() override { log << "about"; }
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

// The lines of a case file under cases/ that are neither empty nor comments.
QStringList CaseLines(const char* name) {
  QFile file(QStringLiteral(FINDLARK_CASES "/") + name);
  // A missing file gives no lines, which every caller fails on.
  (void)file.open(QIODevice::ReadOnly);
  return QString::fromUtf8(file.readAll())
      .split('\n', Qt::SkipEmptyParts)
      .filter(QRegularExpression("^[^#]"));
}

// The commands by the names the cases give them.
const QString kCommandNames =
    "Open Notepad OpenFolder About Contents Pdf TypeFirst Music TypeLast PastTypes TypeAll "
    "Browse AllDrives Save Filters Exit Options";
// The steps that need no window.
const QString kWindowless = "window new close write remove fill cd env let idle needs";
// (Music is the third type.)
const int kCommandIds[] = {
    kCmdOpen,      kCmdOpenWithNotepad, kCmdOpenFolder,      kCmdAbout,       kCmdSearchContents,
    kCmdSearchPdf, kCmdTypeFirst,       kCmdTypeFirst + 2,   kCmdTypeLast,    kCmdTypeLast + 1,
    kCmdTypeAll,   kCmdBrowse,          kCmdSearchAllDrives, kCmdSaveResults, kCmdFilters,
    kCmdExit,      kIdOptionsButton};

QString Label(const QModelIndex& index) {
  return index.data().toString();
}

// A step's argument as written: quotes keep blanks at its ends; \r, \n, \t and \uXXXX are
// escapes.
QString Unescape(QString text) {
  text = text.trimmed();
  if (text.size() >= 2 && text.startsWith('"') && text.endsWith('"')) text = text.mid(1).chopped(1);
  for (QRegularExpressionMatch m;
       (m = QRegularExpression("\\\\u([0-9A-F]{4})").match(text)).hasMatch();)
    text.replace(m.capturedStart(), 6, QChar(m.captured(1).toUShort(nullptr, 16)));
  return text.replace("\\r", "\r").replace("\\n", "\n").replace("\\t", "\t");
}

// Plays one case of cases/window.txt: the window's steps and what it must show after them.
class Player {
 public:
  Player(const QString& data, const QString& work) : data_(data), work_(work) {}
  ~Player() {
    Do("let", {});
    QAccessible::installUpdateHandler(nullptr);
  }

  void Play(const QStringList& steps) {
    for (const QString& step : steps) {
      const QRegularExpressionMatch check =
          QRegularExpression("^(expect|await) (.+?) (=|has)(?: (.*))?$").match(step);
      const QString verb = step.section(' ', 0, 0), arg = Unescape(step.section(' ', 1));
      if (check.hasMatch()) {
        Check(check.captured(1) == "await", check.captured(2), check.captured(3) == "has",
              Unescape(check.captured(4)));
      } else {
        const bool windowless = kWindowless.split(' ').contains(verb);
        QVERIFY2(windowless || dlg_, qPrintable(step + ": no window"));
        QVERIFY2(Do(verb, arg), qPrintable("cannot " + step));
      }
      if (QTest::currentTestFailed()) return qWarning("at: %s", qPrintable(step));
    }
  }

 private:
  // D, W and H for the folders in what the window shows, and back in the steps.
  QString Brief(QString s) const {
    s.replace(work_, "W").replace(data_, "D");
    return home_ == "/" ? s : s.replace(home_, "H");
  }
  QString Path(const QString& p) const {
    return QString(p)
        .replace(QRegularExpression("^D(?=/|$)"), data_)
        .replace(QRegularExpression("^W(?=/|$)"), work_)
        .replace(QRegularExpression("^T(?=/|$)"), FINDLARK_TEST_DATA);
  }
  QWidget* Widget(const QString& name) const {
    const QWidgetList widgets = {dlg_->SearchEdit(), dlg_->SearchButton(), dlg_->OptionsButton(),
                                 dlg_->Tree(), dlg_->Browser()};
    return widgets.value(
        QStringList({"edit", "search", "options", "tree", "browser"}).indexOf(name));
  }
  // "C" is the node of category C (by its label), "C R" its leaf R.
  QModelIndex Row(const QString& where) const {
    QModelIndex node;
    for (int c = 0; c < kCategoryCount; ++c)
      if (Label(dlg_->Model()->NodeIndex(c)).startsWith(where.section(' ', 0, 0) + " ("))
        node = dlg_->Model()->NodeIndex(c);
    return where.contains(' ') ? dlg_->Model()->index(where.section(' ', 1).toInt(), 0, node)
                               : node;
  }
  QAccessibleInterface* Accessible() const {
    return QAccessible::queryAccessibleInterface(dlg_->Tree());
  }
  QPoint At(const QString& where) const {
    return where == "empty" ? QPoint(5, dlg_->Tree()->viewport()->height() - 2)
                            : dlg_->Tree()->visualRect(Row(where)).center();
  }

  bool Do(const QString& verb, const QString& arg) {
    ResultsView* tree = dlg_ ? dlg_->Tree() : nullptr;
    if (verb == "window" || verb == "new") {
      dlg_.reset();
      dlg_ = std::make_unique<TestDlg>();
      if (verb == "new") return true;
      dlg_->folderAnswer = Path(arg);
      if (!arg.isEmpty()) dlg_->OnCommand(kCmdBrowse);
      dlg_->resize(800, 700);
      dlg_->show();
      dlg_->activateWindow();
      return QTest::qWaitForWindowActive(dlg_.get());
    } else if (verb == "needs") {  // "needs a screen reader": the case is skipped without one
    } else if (verb == "close") {
      dlg_.reset();
    } else if (verb == "start" || verb == "run") {
      dlg_->SearchEdit()->setText(arg);
      dlg_->SearchEdit()->setFocus();
      dlg_->OnOK();
      return verb == "start" || Do("wait", {});
    } else if (verb == "wait") {
      return QTest::qWaitFor([&] { return !dlg_->Searching(); }, 20000);
    } else if (verb == "idle") {
      QTest::qWait(arg.toInt());
    } else if (verb == "ok") {
      dlg_->OnOK();
    } else if (verb == "cmd" || verb == "pick") {
      const int id = kCommandNames.split(' ').indexOf(arg);
      if (id < 0) return false;
      verb == "cmd" ? dlg_->OnCommand(kCommandIds[id]) : void(dlg_->pickId = kCommandIds[id]);
    } else if (verb == "focus") {
      if (!Widget(arg)) return false;
      Widget(arg)->setFocus();
    } else if (verb == "type" || verb == "keys") {
      if (!QApplication::focusWidget()) return false;
      QTest::keyClicks(QApplication::focusWidget(), arg);
      return verb == "keys" || Do("key", "Return");
    } else if (QStringList({"key", "press", "release"}).contains(verb)) {
      const QKeyCombination key = QKeySequence::fromString(arg)[0];
      const Qt::Key k = key.key();
      if (!QApplication::focusWidget() || k == Qt::Key_unknown) return false;
      if (verb == "key") QTest::keyClick(QApplication::focusWidget(), k, key.keyboardModifiers());
      // Sent to the window as the platform sends them, each on its own.
      if (verb == "press") QTest::keyPress(dlg_->windowHandle(), k, key.keyboardModifiers());
      if (verb == "release") QTest::keyRelease(dlg_->windowHandle(), k, key.keyboardModifiers());
    } else if (verb == "select") {
      tree->setCurrentIndex(Row(arg));
    } else if (verb == "fold" || verb == "unfold") {
      verb == "fold" ? tree->collapse(Row(arg)) : tree->expand(Row(arg));
    } else if (verb == "listen") {
      // What a screen reader is told: states changed (s selected, e expanded, c collapsed) and
      // the notifications the window says aloud, since Qt's bridge drops expanded and collapsed.
      QAccessible::installUpdateHandler([](QAccessibleEvent* event) {
        QAccessibleInterface* iface = event->accessibleInterface();
        if (event->type() == QAccessible::ObjectShow && iface &&
            iface->role() == QAccessible::Notification)
          told << iface->text(QAccessible::Name);
        if (event->type() != QAccessible::StateChanged) return;
        const auto state = static_cast<QAccessibleStateChangeEvent*>(event)->changedStates();
        told << QString(state.selected ? "s" : "") + (state.expanded ? "e" : "") +
                    (state.collapsed ? "c" : "");
      });
    } else if (verb == "click" || verb == "dclick") {
      // "click C [R]" on a row's label, "click C arrow" on its arrow; "dclick B C [R]": button B.
      const QString where = verb == "click" ? arg : arg.section(' ', 1);
      const Qt::MouseButton button = arg.startsWith("middle")  ? Qt::MiddleButton
                                     : arg.startsWith("right") ? Qt::RightButton
                                                               : Qt::LeftButton;
      const QPoint at = where.endsWith(" arrow")
                            ? QPoint(tree->visualRect(Row(where.chopped(6))).left() - 5,
                                     tree->visualRect(Row(where.chopped(6))).center().y())
                            : At(where);
      verb == "click" ? QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, at)
                      : QTest::mouseDClick(tree->viewport(), button, {}, at);
    } else if (verb == "rclick") {
      dlg_->OnTreeRClick(At(arg));
    } else if (verb == "context") {
      QContextMenuEvent event(QContextMenuEvent::Mouse, At(arg),
                              tree->viewport()->mapToGlobal(At(arg)));
      QApplication::sendEvent(tree->viewport(), &event);
    } else if (verb == "rpress") {
      QTest::mousePress(tree->viewport(), Qt::RightButton, {}, At(arg));
    } else if (verb == "answer" || verb == "browse") {
      dlg_->folderAnswer = dlg_->saveAnswer = Path(arg);
      if (verb == "browse") dlg_->OnCommand(kCmdBrowse);
    } else if (verb == "launch") {
      const LaunchResult result =
          arg.endsWith("none") ? LaunchResult::kNoAssociation : LaunchResult::kFailed;
      (arg.startsWith("app") ? dlg_->launchResult : dlg_->editorResult) = result;
    } else if (verb == "filters") {
      if (arg == "cancel") return dlg_->filtersAnswer.reset(), true;
      FilterSettings set;
      for (const QString& f : arg.split("; ", Qt::SkipEmptyParts)) {
        if (f.startsWith("exclude=")) set.filters.exclude = {f.mid(8).toStdString()};
        if (f.startsWith("within=")) set.changedWithin = f.mid(7).toLongLong();
        set.filters.wholeWord |= f == "whole";
      }
      dlg_->filtersAnswer = set;
    } else if (verb == "hold") {
      dlg_->beforeRun = nullptr;
      if (arg == "on")
        dlg_->beforeRun = [go = letGo_.get_future().share()](SearchOptions& options) {
          options.source = [go](HitSink& sink, const std::atomic<bool>&) {
            ResultRecord hit{"/held/plan.txt", "1 KB", "June 04, 2007", "", "", kDocuments};
            sink.OnHit(ResultRecord(hit));
            go.wait();  // ignoring Stop, as a walk held in the kernel does
            hit.path = "/held/a plan.txt";
            sink.OnHit(std::move(hit));  // found too late when stopped
          };
        };
    } else if (verb == "let") {
      if (!std::exchange(letGone_, true)) letGo_.set_value();
    } else if (verb == "write" || verb == "remove") {
      QFile file(Path(arg.section(' ', 0, 0)));
      return verb == "remove"
                 ? file.remove()
                 : file.open(QIODevice::WriteOnly) && file.write(arg.section(' ', 1).toUtf8()) >= 0;
    } else if (verb == "fill") {
      const QString folder = Path(arg.section(' ', 0, 0));
      for (int i = 0; i < arg.section(' ', 1).toInt(); ++i)
        if (!QDir().mkpath(folder) ||
            !QFile(folder + QStringLiteral("/hit%1.txt").arg(i)).open(QIODevice::WriteOnly))
          return false;
    } else if (verb == "cd") {
      return QDir::setCurrent(Path(arg));
    } else if (verb == "env") {
      arg.contains(' ')
          ? qputenv(qPrintable(arg.section(' ', 0, 0)), Unescape(arg.section(' ', 1)).toUtf8())
          : qunsetenv(qPrintable(arg));
    } else if (verb == "layout" || verb == "resize") {
      const int cx = arg.section(' ', 0, 0).toInt(), cy = arg.section(' ', 1).toInt();
      verb == "layout" ? dlg_->LayoutControls(cx, cy) : dlg_->resize(cx, cy);
    } else if (verb == "choose") {  // a row chosen through the accessible table
      return Accessible()->tableInterface()->selectRow(arg.toInt());
    } else if (verb == "keep") {  // a hit's accessible object, to follow
      kept_ = Accessible()->child(Row(arg).parent().row())->child(Row(arg).row());
    } else if (verb == "preview") {
      dlg_->preview = arg == "on";
    } else if (verb == "tray") {
      dlg_->trayAvailable = arg == "on";
    } else if (verb == "minimise" || verb == "hide") {
      verb == "hide" ? dlg_->hide() : dlg_->setWindowState(Qt::WindowMinimized);
    } else if (verb == "icon") {
      emit dlg_->TrayIcon()->activated(arg == "Context" ? QSystemTrayIcon::Context
                                                        : QSystemTrayIcon::DoubleClick);
    } else if (verb == "clear") {
      dlg_->log.clear(), dlg_->menus.clear(), QGuiApplication::clipboard()->clear();
    } else {
      return false;
    }
    return true;
  }

  // What the window shows of `what`, as text.
  QString Probe(const QString& what) const {
    const QString name = what.section(' ', 0, 0), arg = what.section(' ', 1);
    const auto yes = [](bool b) { return QString(b ? "yes" : "no"); };
    if (name == "file") {
      QFile file(Path(arg));
      return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : "no file";
    }
    if (name == "exists") return yes(QFile::exists(Path(arg)));
    if (name == "held") return QString::number(SearchRun::HeldRuns());
    if (!dlg_) return "no window";
    if (name == "status") return dlg_->Status()->text();
    if (name == "button") return dlg_->SearchButton()->text();
    if (name == "edit") return dlg_->SearchEdit()->text();
    if (name == "selected") return dlg_->SearchEdit()->selectedText();
    if (name == "query") return QString::fromStdString(dlg_->QueryLower());
    if (name == "searching") return yes(dlg_->Searching());
    if (name == "found") return QString::number(dlg_->Results().foundCount);
    if (name == "visible") return yes(dlg_->isVisible());
    if (name == "result") return QString::number(dlg_->result());
    if (name == "tip") return dlg_->TrayIcon()->toolTip();
    if (name == "browser")
      return qobject_cast<PreviewPane*>(dlg_->Browser())->BrowserStarted() ? "on" : "off";
    if (name == "contents") return yes(dlg_->SearchContents());
    if (name == "pdf") return yes(dlg_->SearchPdf());
    if (name == "type") return QString::number(dlg_->TypeFilter());
    if (name == "folder") return Brief(QString::fromStdString(dlg_->SearchFolder()));
    if (name == "name") return QString::fromStdString(dlg_->FolderName());
    if (name == "start") return Brief(QString::fromStdString(dlg_->StartDir()));
    if (name == "current") return Label(dlg_->Tree()->currentIndex());
    if (name == "rows") return QString::number(dlg_->Model()->rowCount(Row(arg)));
    if (name == "cell") {  // a row of the accessible table: its name and description
      QAccessibleInterface* cell = Accessible()->tableInterface()->cellAt(arg.toInt(), 0);
      if (!cell || cell->tableCellInterface()->rowIndex() != arg.toInt()) return "none";
      const QString description = Brief(cell->text(QAccessible::Description));
      return cell->text(QAccessible::Name) + (description.isEmpty() ? "" : " | " + description);
    }
    if (name == "told") return std::exchange(told, {}).join(", ");
    if (name == "chosen") {
      QStringList rows;
      for (int row : Accessible()->tableInterface()->selectedRows()) rows << QString::number(row);
      return rows.join(' ');
    }
    if (name == "kept")
      return QStringLiteral("%1, child %2%3")
          .arg(kept_->text(QAccessible::Name))
          .arg(kept_->parent()->indexOfChild(kept_))
          .arg(kept_->state().selected ? ", selected" : "");
    if (name == "icon") return yes(!Row(arg).data(Qt::DecorationRole).isNull());
    if (name == "leaves") {
      QStringList labels;
      for (int r = 0; r < dlg_->Model()->rowCount(Row(arg)); ++r)
        labels << Label(Row(arg + ' ' + QString::number(r)));
      return labels.join('|');
    }
    if (name == "open") return yes(dlg_->Tree()->isExpanded(Row(arg)));
    if (name == "clipboard") return Brief(QGuiApplication::clipboard()->text());
    if (name == "hint") {  // the tip over a row; "none" where there is none
      const QPoint at = dlg_->Tree()->viewport()->mapToGlobal(At(arg));
      QHelpEvent tip(QEvent::ToolTip, At(arg), at);
      QApplication::sendEvent(dlg_->Tree()->viewport(), &tip);
      return tip.isAccepted() ? Brief(QToolTip::text()) : "none";
    }
    if (name == "appended") return QString::number(dlg_->Model()->AppendedHits());
    if (name == "menus") return QString::number(dlg_->menus.size());
    if (name == "menu")
      return dlg_->menus.empty() ? "no menu"
                                 : dlg_->menus.back().filter(QRegularExpression(arg)).join("; ");
    if (name == "picker") return Brief(dlg_->OpenedIn(arg == "save"));
    if (name == "focus" || name == "enabled") {
      QStringList names;
      for (const char* w : {"edit", "search", "options", "tree", "browser"})
        if (name == "focus" ? Widget(w) == QApplication::focusWidget()
                            : Widget(w)->isEnabled() && w != QStringLiteral("browser"))
          names << w;
      return names.join(' ');
    }
    if (name == "pane") {  // what the preview shows
      auto* pane = qobject_cast<PreviewPane*>(dlg_->Browser());
      const QRect at = pane->Picture()->PictureRect();
      if (pane->Content() == pane->Note()) return "note " + pane->Note()->text();
      if (pane->Content() != pane->Picture()) return pane->Content()->objectName();
      return QStringLiteral("picture %1,%2 %3x%4, %5 frames, %6")
          .arg(at.x())
          .arg(at.y())
          .arg(at.width())
          .arg(at.height())
          .arg(pane->Picture()->FrameCount())
          .arg(pane->grab().toImage().pixelColor(at.center()).red() > 240 ? "red" : "not red");
    }
    if (name == "rects") {
      QStringList rects;
      for (QWidget* w : QWidgetList{dlg_->OptionsButton(), dlg_->SearchEdit(), dlg_->SearchButton(),
                                    dlg_->Status(), dlg_->Tree(), dlg_->Browser()})
        rects << QStringLiteral("%1,%2 %3x%4")
                     .arg(w->x())
                     .arg(w->y())
                     .arg(w->width())
                     .arg(w->height());
      return rects.join("; ");
    }
    if (name == "seen") {
      QStringList got = dlg_->log;
      if (dlg_->SearchContents()) got << "contents";
      if (dlg_->TypeFilter() != -1) got << QStringLiteral("type %1").arg(dlg_->TypeFilter());
      if (dlg_->SearchFolder() != data_.toStdString())
        got << "search in " + QString::fromStdString(dlg_->SearchFolder());
      for (QString& item : got) item = item.trimmed();
      return Brief(got.join("; "));
    }
    return "no probe " + name;
  }

  void Check(bool await, const QString& what, bool has, const QString& expected) {
    const auto ok = [&] { return has ? Probe(what).contains(expected) : Probe(what) == expected; };
    if (await) (void)QTest::qWaitFor(ok, 20000);
    QVERIFY2(ok(), qPrintable(what + " shows \"" + Probe(what) + "\", not \"" + expected + '"'));
  }

  const QString data_, work_, home_ = QDir(QDir::homePath()).absolutePath();
  std::unique_ptr<TestDlg> dlg_;
  std::promise<void> letGo_;  // set at the latest when the case ends, passed or not
  bool letGone_ = false;
  QAccessibleInterface* kept_ = nullptr;
  static inline QStringList told;
};

}  // namespace

class SearchDlgTest : public QObject {
  Q_OBJECT
 private slots:
  void init();
  void buttonsShowTheFocus();
  void layoutAtDoubleFont();
  void filtersDialogShowsWholeUnits();
  void scripts_data();
  void scripts();

 private:
  std::unique_ptr<QTemporaryDir> work_;  // the working directory: settings.ini lives here
  std::unique_ptr<QTemporaryDir> data_;  // the searched folder
};

void SearchDlgTest::init() {
  work_ = std::make_unique<QTemporaryDir>();
  data_ = std::make_unique<QTemporaryDir>();
  QVERIFY(QDir::setCurrent(work_->path()));
  for (const char* name : {"plan.txt", "plan map.jpg", "other.doc", "letter plan.doc"}) {
    QFile file(data_->filePath(name));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("the plan\n") == 9);
  }
  QVERIFY(QDir(data_->path()).mkdir("Plans"));
}

// The flat buttons look different with the focus than without.
void SearchDlgTest::buttonsShowTheFocus() {
  TestDlg dlg;
  dlg.show();
  dlg.activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(&dlg));
  for (QPushButton* button : {dlg.SearchButton(), dlg.OptionsButton()}) {
    dlg.SearchEdit()->setFocus();
    const QImage without = button->grab().toImage();
    button->setFocus(Qt::TabFocusReason);
    QVERIFY2(button->grab().toImage() != without, qPrintable(button->text()));
    QVERIFY(button->isFlat());
  }
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

void SearchDlgTest::filtersDialogShowsWholeUnits() {
  // Values shown in the largest whole unit, read back, cleared, suggestions added.
  const std::tuple<qint64, qint64, QString> cases[] = {// size, seconds, as shown
                                                       {10 << 20, 172800, "10 MB, 2 days"},
                                                       {1536, 5400, "1536 bytes, 90 minutes"},
                                                       {qint64(3) << 30, 1209600, "3 GB, 2 weeks"},
                                                       {2048, 7200, "2 KB, 2 hours"}};
  CFiltersDlg dialog;
  for (const auto& [minSize, within, shown] : cases) {
    dialog.SetSettings({{{"PLAN MAP*"}, minSize, {}, {}, {}, true, false}, within});
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

void SearchDlgTest::scripts_data() {
  QTest::addColumn<QStringList>("steps");
  const QStringList lines = CaseLines("window.txt");
  QVERIFY(!lines.isEmpty() && lines[0].startsWith("== "));
  std::vector<std::pair<QString, QStringList>> cases;
  for (const QString& line : lines)
    line.startsWith("== ") ? cases.push_back({line.mid(3), {}}) : void(cases.back().second << line);
  for (const auto& [name, steps] : cases) QTest::newRow(qPrintable(name)) << steps;
}

void SearchDlgTest::scripts() {
  QFETCH(QStringList, steps);
  // The bridge comes up once it has reached the accessibility bus.
  if (steps.value(0) == "needs a screen reader" &&
      !QTest::qWaitFor([] { return QAccessible::isActive(); }, 3000))
    QSKIP("no accessibility bridge on this platform");
  Player(data_->path(), work_->path()).Play(steps);
}

QTEST_MAIN(SearchDlgTest)
#include "search_dlg_test.moc"
