#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QMetaObject>
#include <QTimer>
#include <QWindow>

#include "platform/wayland_activation.h"
#include "ui/icons.h"
#include "ui/search_dlg.h"

namespace findlark {

namespace {

bool OnWayland() {
  return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

}  // namespace

void CSearchDlg::CreateTray() {
  m_tray = new QSystemTrayIcon(AppIcon(), this);
  m_tray->setToolTip(QStringLiteral("Findlark"));
  connect(m_tray, &QSystemTrayIcon::activated, this, &CSearchDlg::OnTrayActivated);
  if (OnWayland()) {
    // A Wayland client knows no screen positions, so a menu of its own could not stand at the
    // icon: the menu goes to the tray host, which draws it there itself.
    auto* menu = new QMenu(this);
    AddTrayItems(*menu);
    connect(menu, &QMenu::triggered, this, [this](QAction* chosen) {
      // Not inside the host's call: "E&xit" removes the icon that is delivering it.
      QMetaObject::invokeMethod(
          this,
          [this, id = chosen->data().toInt()] {
            if (!m_ended) OnCommand(id);
          },
          Qt::QueuedConnection);
    });
    m_tray->setContextMenu(menu);
    // Wayland never reports a window as minimised; Qt's own frame asks for it here.
    create();
    connect(windowHandle(), &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
      if (state == Qt::WindowMinimized) OnMinimiseRequested();
    });
  }
  // Elsewhere no context menu is attached: the right press is handled here, or the menu would
  // show twice.
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
    case QSystemTrayIcon::Context:       // right press
      if (m_tray->contextMenu()) break;  // the tray host shows it
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

void CSearchDlg::AddTrayItems(QMenu& menu) {
  QAction* open = menu.addAction(QStringLiteral("&Open Findlark"));
  open->setData(kCmdTrayOpen);
  menu.setDefaultAction(open);
  menu.addAction(QStringLiteral("E&xit"))->setData(kCmdExit);
}

void CSearchDlg::ShowTrayMenu() {
  QMenu menu;
  AddTrayItems(menu);
  // The menu's right edge stands at the pointer.
  QPoint at = QCursor::pos();
  at.rx() -= menu.sizeHint().width();
  if (QAction* chosen = ExecMenu(menu, at)) OnCommand(chosen->data().toInt());
}

void CSearchDlg::OnSecondStart(const QByteArray& activationToken) {
  if (OnWayland()) {
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
  if (isMinimized()) OnMinimiseRequested();
}

void CSearchDlg::OnMinimiseRequested() {
  if (!TrayAvailable()) return;
  // Minimised windows go to the tray; hiding is deferred until the state change is complete.
  // On Wayland the window never reads as minimised; it is hidden all the same, which is also
  // what lets the tray bring it back, as a client cannot take its window out of minimised.
  QTimer::singleShot(0, this, [this] {
    if ((isMinimized() || OnWayland()) && !m_ended) hide();
  });
}

}  // namespace findlark
