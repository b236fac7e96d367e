#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMetaObject>
#include <QTimer>

#include "platform/wayland_activation.h"
#include "ui/icons.h"
#include "ui/search_dlg.h"

namespace findlark {

void CSearchDlg::CreateTray() {
  m_tray = new QSystemTrayIcon(AppIcon(), this);
  m_tray->setToolTip(QStringLiteral("Findlark"));
  // No context menu is attached: the right press is handled here, or the menu would show twice.
  connect(m_tray, &QSystemTrayIcon::activated, this, &CSearchDlg::OnTrayActivated);
  m_tray->show();
}

bool CSearchDlg::TrayAvailable() const {
  return QSystemTrayIcon::isSystemTrayAvailable();
}

void CSearchDlg::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:  // left press
      OnTrayOpen();
      break;
    case QSystemTrayIcon::Context:  // right press
      // Not nested inside the icon's own press handling: "E&xit" removes the icon, and with it
      // the object that is still delivering that press.
      QMetaObject::invokeMethod(
          this,
          [this] {
            if (!m_ended) ShowTrayMenu();
          },
          Qt::QueuedConnection);
      break;
    default:  // double clicks and the middle button do nothing
      break;
  }
}

void CSearchDlg::ShowTrayMenu() {
  QMenu menu;
  QAction* open = menu.addAction(QStringLiteral("&Open Findlark"));
  open->setData(kCmdTrayOpen);
  menu.setDefaultAction(open);
  menu.addAction(QStringLiteral("E&xit"))->setData(kCmdExit);
  // The menu's right edge stands at the pointer.
  QPoint at = QCursor::pos();
  at.rx() -= menu.sizeHint().width();
  if (QAction* chosen = ExecMenu(menu, at)) OnCommand(chosen->data().toInt());
}

void CSearchDlg::OnSecondStart(const QByteArray& activationToken) {
  if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
    // Qt hands this token to the compositor when the window asks to be activated, which also
    // brings a minimised window back. Without activation there is no way to un-minimise a
    // window; mapping it afresh brings it back restored.
    if (!activationToken.isEmpty()) qputenv("XDG_ACTIVATION_TOKEN", activationToken);
    if (isVisible() && !WaylandCompositorCanActivate()) hide();
  }
  OnTrayOpen();
}

void CSearchDlg::OnTrayOpen() {
  showNormal();
  raise();
  activateWindow();
}

void CSearchDlg::OnWindowStateChange() {
  if (!isMinimized() || !TrayAvailable()) return;
  // Minimised windows go to the tray; hiding is deferred until the state change is complete.
  QTimer::singleShot(0, this, [this] {
    if (isMinimized() && !m_ended) hide();
  });
}

}  // namespace findlark
