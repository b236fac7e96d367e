#include <QActionGroup>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "persist/settings.h"
#include "ui/about_dlg.h"
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
