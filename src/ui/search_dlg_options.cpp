#include <QActionGroup>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "persist/settings.h"
#include "search/pdf_text.h"
#include "ui/about_dlg.h"
#include "ui/filters_dlg.h"
#include "ui/results_model.h"
#include "ui/search_dlg.h"

namespace findlark {

namespace {

QAction* AddCommand(QMenu& menu, const QString& text, int id, QActionGroup* group = nullptr) {
  QAction* action = menu.addAction(text);
  action->setData(id);
  if (group) {
    action->setCheckable(true);
    group->addAction(action);
  }
  return action;
}

}  // namespace

void CSearchDlg::OnOptions() {
  // Built afresh each time from the current settings; nothing of it outlives this call.
  QMenu menu(this);
  QAction* contents = AddCommand(menu, QStringLiteral("Search within files"), kCmdSearchContents);
  contents->setCheckable(true);
  contents->setChecked(m_searchContents);
  // Only with the extractor installed; otherwise the item says why it is off.
  QAction* pdf = AddCommand(menu, QStringLiteral("Search inside PDF documents"), kCmdSearchPdf);
  pdf->setCheckable(true);
  if (m_pdf && m_pdf->Available()) {
    pdf->setChecked(m_searchPdf);
  } else {
    pdf->setEnabled(false);
    pdf->setToolTip(QString::fromStdString(m_pdf ? PdfSupportText(*m_pdf) : std::string()));
    menu.setToolTipsVisible(true);
  }

  QMenu* types = menu.addMenu(QStringLiteral("Find files of type"));
  QActionGroup typeGroup(types);
  QAction* all = AddCommand(*types, QStringLiteral("All"), kCmdTypeAll, &typeGroup);
  types->addSeparator();
  std::vector<QAction*> categories;
  for (int c = 0; c < kCategoryCount; ++c) {
    categories.push_back(
        AddCommand(*types, QString::fromUtf8(g_categoryNames[c]), kCmdTypeFirst + c, &typeGroup));
  }
  if (m_typeFilter.Valid()) {
    categories[m_typeFilter]->setChecked(true);
  } else {
    all->setChecked(true);
  }

  // Checked while any filter is set, so that a narrowed search never goes unnoticed.
  QAction* filters = AddCommand(menu, QStringLiteral("Filters..."), kCmdFilters);
  filters->setCheckable(true);
  filters->setChecked(m_filters.Any());

  menu.addSeparator();
  QActionGroup placeGroup(&menu);
  QAction* allDrives =
      AddCommand(menu, QStringLiteral("Search all drives"), kCmdSearchAllDrives, &placeGroup);
  QString folderText = QStringLiteral("Browse...");
  if (!m_searchFolder.empty()) {
    // "&" in a folder name is shown as typed, not taken as a mnemonic.
    folderText = QStringLiteral("Search only ") +
                 ShownName(m_folderName).replace(QLatin1Char('&'), QStringLiteral("&&"));
  }
  QAction* folder = AddCommand(menu, folderText, kCmdBrowse, &placeGroup);
  (m_searchFolder.empty() ? allDrives : folder)->setChecked(true);

  menu.addSeparator();
  AddCommand(menu, QStringLiteral("Save results..."), kCmdSaveResults);
  menu.addSeparator();
  AddCommand(menu, QStringLiteral("About..."), kCmdAbout);

  // Just under the Options button, its top-left corner at the button's lower-left one.
  QAction* chosen =
      ExecMenu(menu, mapToGlobal(m_optionsButton->geometry().bottomLeft() + QPoint(0, 1)));
  const int id = chosen ? chosen->data().toInt() : 0;
  m_searchEdit->setFocus();
  if (id != 0) OnCommand(id);
}

void CSearchDlg::OnSearchContents() {
  m_searchContents = !m_searchContents;
}

void CSearchDlg::OnSearchPdf() {
  m_searchPdf = !m_searchPdf;
}

bool CSearchDlg::AskFilters(FilterSettings& settings) {
  CFiltersDlg dialog(this);
  dialog.SetSettings(settings);
  if (dialog.exec() != QDialog::Accepted) return false;
  settings = dialog.Settings();
  return true;
}

void CSearchDlg::OnFilters() {
  FilterSettings settings = m_filters;
  if (AskFilters(settings)) m_filters = std::move(settings);
}

void CSearchDlg::OnSearchAllDrives() {
  m_searchFolder.clear();
}

void CSearchDlg::OnTypeAll() {
  m_typeFilter = kTypeFilterAll;
}

void CSearchDlg::OnTypeRange(int id) {
  m_typeFilter = id - kCmdTypeFirst;
}

void CSearchDlg::OnBrowse() {
  const QString chosen = AskFolder();
  if (chosen.isEmpty()) return;
  std::string folder = QFile::encodeName(chosen).toStdString();
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  m_searchFolder = folder;
  m_folderName = FolderNameOf(m_searchFolder);
}

QString CSearchDlg::PickerStartFolder() const {
  // The folder being searched, or home; never the working folder, which a start from the menu
  // makes the settings folder.
  const QString folder = QFile::decodeName(QByteArray::fromStdString(m_searchFolder));
  if (!folder.isEmpty() && QFileInfo(folder).isDir()) return folder;
  return QDir::homePath();
}

QString CSearchDlg::AskFolder() {
  return QFileDialog::getExistingDirectory(
      this, QStringLiteral("Select the folder that you wish to search:"), PickerStartFolder(),
      QFileDialog::ShowDirsOnly);
}

void CSearchDlg::OnAbout() {
  ShowAbout();
}

void CSearchDlg::ShowAbout() {
  CAboutDlg dialog(this);
  dialog.exec();
}

}  // namespace findlark
