#include "app/search_app.h"

#include "platform/session_signals.h"
#include "platform/single_instance.h"
#include "ui/icons.h"
#include "ui/search_dlg.h"

namespace findlark {

CSearchApp::CSearchApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Findlark"));
  setWindowIcon(AppIcon());
  // Lets Wayland desktops match the window to findlark.desktop and its icon.
  setDesktopFileName(QStringLiteral("findlark"));
  // The window may hide in the tray, and menus are windows too: only the window's own end
  // ends the program.
  setQuitOnLastWindowClosed(false);
}

int CSearchApp::InitInstance() {
  SingleInstance instance;
  if (!instance.Claim()) return 0;  // the running one has been asked to come forward

  SessionSignals session;  // a logout ends the window as Exit does, settings saved
  CSearchDlg dialog;
  connect(&session, &SessionSignals::endRequested, &dialog, &CSearchDlg::OnExit);
  connect(&instance, &SingleInstance::showRequested, &dialog, &CSearchDlg::OnSecondStart);
  // Hiding a dialog ends its own modal loop, which would end the program on minimise; so the
  // window runs in the application's loop and ends it when it is done.
  connect(&dialog, &QDialog::finished, this, &QCoreApplication::quit, Qt::QueuedConnection);
  dialog.show();
  exec();
  return 0;
}

}  // namespace findlark
