#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "persist/options_file.h"
#include "platform/launcher.h"
#include "results/hit_info.h"
#include "results/result_record.h"
#include "search/categories.h"
#include "search/search_run.h"

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;

namespace findlark {

class PdfExtractor;
class PreviewPane;
class ResultsModel;
class ResultsView;
struct SearchResults;

// Command ids of the buttons and menu items; every one goes through CSearchDlg::OnCommand.
enum CommandId : int {
  kIdOptionsButton = 1001,
  kCmdSearchContents = 0x8003,
  kCmdSearchAllDrives = 0x8004,
  kCmdBrowse = 0x8005,
  kCmdTrayOpen = 0x8006,
  kCmdExit = 0x8007,
  kCmdOpen = 0x8008,
  kCmdOpenFolder = 0x8009,
  kCmdOpenWithNotepad = 0x800A,
  kCmdAbout = 0x800B,
  kCmdSaveResults = 0x800C,
  kCmdTypeAll = 0x800E,
  kCmdTypeFirst = 0x800F,                             // Documents
  kCmdTypeLast = kCmdTypeFirst + kCategoryCount - 1,  // Other
  kCmdSearchPdf = 0x8020,                             // past the type range, which runs to 0x801C
  kCmdFilters = 0x8021,
};

// The geometry of the six controls for a client area of cx x cy pixels, in a font
// `fontHeight` pixels high (0: the font the sizes were made for).
struct ControlRects {
  QRect options, edit, search, status, tree, browser;
};
ControlRects ComputeLayout(int cx, int cy, int fontHeight = 0);

// The main window: search box, Search/Stop, Options, status line, results tree, preview.
class CSearchDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CSearchDlg(QWidget* parent = nullptr);
  ~CSearchDlg() override;

  void LayoutControls(int cx, int cy);
  void OnCommand(int id);

  void OnOK();  // Search/Stop, or open the selected hit when the tree has the focus
  void OnOpen();
  void OnOpenWithNotepad();
  void OnOpenFolder();
  void OnTrayOpen();
  // Another start asked for the window: shown, restored and brought forward.
  void OnSecondStart(const QByteArray& activationToken);
  void OnExit();
  void OnOptions();
  void OnSaveResults();
  void OnTreeRClick(const QPoint& viewportPos);

  // The record of the selected hit, or nothing.
  std::optional<RecordView> GetSelectedHit() const;

  // State, for the program and for tests.
  bool Searching() const { return m_searching; }
  bool SearchContents() const { return m_searchContents; }
  bool SearchPdf() const { return m_searchPdf; }
  const FilterSettings& Filters() const { return m_filters; }
  FileCategory TypeFilter() const { return m_typeFilter; }
  const std::string& SearchFolder() const { return m_searchFolder; }
  const std::string& FolderName() const { return m_folderName; }
  const std::string& StartDir() const { return m_startDir; }
  const std::string& QueryLower() const { return m_queryLower; }
  const SearchResults& Results() const;
  ResultsModel* Model() const { return m_model; }
  QSystemTrayIcon* TrayIcon() const { return m_tray; }

  QPushButton* OptionsButton() const { return m_optionsButton; }
  QLineEdit* SearchEdit() const { return m_searchEdit; }
  QPushButton* SearchButton() const { return m_searchButton; }
  QLabel* Status() const { return m_status; }
  ResultsView* Tree() const { return m_tree; }
  QWidget* Browser() const;

 protected:
  enum class LaunchKind { kDefaultApp, kTextEditor, kFolder };

  // Every popup, dialog and launch goes through one of these, so tests can stand in for them.
  virtual QAction* ExecMenu(QMenu& menu, const QPoint& globalPos);
  virtual QString AskFolder();
  virtual QString AskSavePath();
  virtual QMessageBox::StandardButton AskQuestion(const QString& text);
  virtual void ShowError(const QString& text);
  virtual void ShowAbout();
  virtual LaunchResult Launch(LaunchKind kind, const std::string& path);
  virtual void Navigate(const std::string& path, PreviewKind kind);  // the preview pane
  virtual bool TrayAvailable() const;
  virtual void BeforeRun(SearchOptions&) {}
  virtual bool AskFilters(FilterSettings& settings);  // the Filters dialog; false: cancelled  //
                                                      // benchmarks feed their own hits here

  void reject() override;  // Escape does nothing
  void keyPressEvent(QKeyEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void FixTabOrder();
  void OnContextMenuKey();
  void OnWindowStateChange();
  void OnMinimiseRequested();
  void CreateTray();
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
  void ShowTrayMenu();
  void AddTrayItems(QMenu& menu);

  void OnSearchContents();
  void OnSearchPdf();
  void OnFilters();
  void OnSearchAllDrives();
  void OnBrowse();
  void OnTypeAll();
  void OnTypeRange(int id);
  void OnAbout();
  QString PickerStartFolder() const;  // where the folder picker opens

  void StartSearch();
  void DrainHits();
  void OnDrainDue();
  enum class Drain { kEmptied, kMore, kBusy };
  Drain StoreQueuedHits(size_t* taken);
  void ScheduleTreeUpdate();
  void UpdateTree();
  void OnHitsRecorded();
  void PostDrain();
  void OnTimer();
  void StopAndJoin();

  void OnCurrentChanged(const QModelIndex& current);

  // Controls, in the order of the window's tab chain they are created in.
  QLabel* m_status = nullptr;
  QPushButton* m_searchButton = nullptr;
  ResultsView* m_tree = nullptr;
  QLineEdit* m_searchEdit = nullptr;
  QPushButton* m_optionsButton = nullptr;
  PreviewPane* m_browser = nullptr;

  ResultsModel* m_model = nullptr;
  QSystemTrayIcon* m_tray = nullptr;
  QTimer m_progressTimer;

  bool m_layoutReady = false;
  bool m_searching = false;
  bool m_finalShown = false;   // the run's final text is on the status line
  bool m_queueClosed = false;  // the last take from the worker held its last hits
  HitBatch m_taken;            // the last take, kept for its memory
  bool m_ended = false;
  bool m_focusTaken = false;         // the run took the focus from the search box
  QPointer<QWidget> m_focusTakenTo;  // where it went
  bool m_searchContents = false;
  bool m_searchPdf = false;  // kept in the options file beside the settings file
  std::shared_ptr<PdfExtractor> m_pdf;
  OptionsFile m_moreOptions;   // read at start, written at exit, unknown keys kept
  FilterSettings m_filters;    // for the next searches
  SearchFilters m_runFilters;  // those of the current or last run
  FileCategory m_typeFilter = kTypeFilterAll;
  std::string m_searchFolder;  // empty: the whole machine
  std::string m_folderName;
  std::string m_startDir;
  std::string m_queryLower;

  std::atomic<bool> m_drainPosted{false};
  std::chrono::steady_clock::time_point m_lastUpdate;  // the tree last took in new hits
  bool m_updateScheduled = false;  // a timer will record the hits stored meanwhile
  unsigned m_updateTicket = 0;     // which timer that is; others have nothing to do
  SearchRun m_run;
};

}  // namespace findlark
