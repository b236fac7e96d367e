#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <ctime>

#include "persist/html_export.h"
#include "results/hit_info.h"
#include "results/search_results.h"
#include "ui/preview_pane.h"
#include "ui/results_model.h"
#include "ui/results_view.h"
#include "ui/search_dlg.h"

namespace findlark {

std::optional<RecordView> CSearchDlg::GetSelectedHit() const {
  return m_model->Record(m_tree->currentIndex());
}

void CSearchDlg::OnOpen() {
  const auto hit = GetSelectedHit();
  if (!hit) return;
  const std::string path(hit->path);
  if (Launch(LaunchKind::kDefaultApp, path) != LaunchResult::kNoAssociation) return;
  const auto answer = AskQuestion(QStringLiteral(
      "There is no application associated with this file type. Would you like to open it "
      "with Notepad?"));
  if (answer == QMessageBox::Yes) OnOpenWithNotepad();
}

void CSearchDlg::OnOpenWithNotepad() {
  const auto hit = GetSelectedHit();
  if (!hit) return;
  const LaunchResult result = Launch(LaunchKind::kTextEditor, std::string(hit->path));
  // Saying nothing here would leave the user's Yes to the question without any answer.
  if (result == LaunchResult::kNoAssociation)
    ShowError(QStringLiteral("There is no application installed that can open text files."));
}

void CSearchDlg::OnOpenFolder() {
  const auto hit = GetSelectedHit();
  if (!hit) return;
  Launch(LaunchKind::kFolder, FolderOf(hit->path));
}

void CSearchDlg::OnTreeRClick(const QPoint& viewportPos) {
  const QModelIndex index = m_tree->indexAt(viewportPos);
  if (!index.isValid() || m_model->ItemData(index) == kNodeData) return;
  // The selection moves first, so the preview follows and the commands act on this hit.
  m_tree->setCurrentIndex(index);

  QMenu menu(this);
  QAction* open = menu.addAction(QStringLiteral("&Open"));
  open->setData(kCmdOpen);
  menu.setDefaultAction(open);
  menu.addAction(QStringLiteral("Open with Notepad"))->setData(kCmdOpenWithNotepad);
  menu.addAction(QStringLiteral("Open &Folder"))->setData(kCmdOpenFolder);
  if (QAction* chosen = ExecMenu(menu, m_tree->viewport()->mapToGlobal(viewportPos)))
    OnCommand(chosen->data().toInt());
}

void CSearchDlg::OnCurrentChanged(const QModelIndex& current) {
  const auto record = m_model->Record(current);
  if (!record) return;
  if (const PreviewKind kind = PreviewKindOf(*record); kind != PreviewKind::kNone)
    Navigate(std::string(record->path), kind);
}

void CSearchDlg::OnSaveResults() {
  const QString chosen = AskSavePath();
  if (chosen.isEmpty()) return;
  std::string error;
  if (!WriteResultsPage(QFile::encodeName(chosen).toStdString(), Results(), m_queryLower,
                        std::time(nullptr), &error, DescribeFilters(m_runFilters))) {
    ShowError(QStringLiteral("Could not save the results to %1.\n%2")
                  .arg(ShownName(QFile::encodeName(chosen).toStdString()),
                       QString::fromLocal8Bit(error)));
  }
}

QAction* CSearchDlg::ExecMenu(QMenu& menu, const QPoint& globalPos) {
  return menu.exec(globalPos);
}

QString CSearchDlg::AskSavePath() {
  // Never the working folder: started from the menu, that is the settings folder.
  QFileDialog dialog(this, QString(), QDir::homePath());
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilter(QStringLiteral("HTML Pages (*.htm *.html)"));
  dialog.setDefaultSuffix(QStringLiteral("html"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

QMessageBox::StandardButton CSearchDlg::AskQuestion(const QString& text) {
  // The box carries the program's file name as its caption.
  const QString caption = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
  return QMessageBox::question(this, caption, text, QMessageBox::Yes | QMessageBox::No);
}

void CSearchDlg::ShowError(const QString& text) {
  QMessageBox::critical(this, QStringLiteral("Findlark"), text);
}

LaunchResult CSearchDlg::Launch(LaunchKind kind, const std::string& path) {
  switch (kind) {
    case LaunchKind::kDefaultApp:
      return OpenWithDefaultApp(path);
    case LaunchKind::kTextEditor:
      return OpenInTextEditor(path);
    case LaunchKind::kFolder:
      return OpenFolder(path);
  }
  return LaunchResult::kFailed;
}

void CSearchDlg::Navigate(const std::string& path, PreviewKind kind) {
  m_browser->Navigate(path, kind);
  FixTabOrder();  // the first preview creates the browser inside the pane
}

}  // namespace findlark
