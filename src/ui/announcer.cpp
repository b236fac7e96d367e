#include "ui/announcer.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace findlark {
namespace {

QAccessibleInterface* AnnouncerFactory(const QString&, QObject* object) {
  if (auto* announcer = qobject_cast<Announcer*>(object))
    return new QAccessibleWidget(announcer, QAccessible::Notification);
  return nullptr;
}

}  // namespace

void Announcer::Say(QWidget* from, const QString& text) {
  QWidget* window = from->window();
  auto* announcer = window->findChild<Announcer*>(QString(), Qt::FindDirectChildrenOnly);
  if (!announcer) announcer = new Announcer(window);
  announcer->Announce(text);
}

Announcer::Announcer(QWidget* window) : QWidget(window) {
  static const bool installed = [] {
    QAccessible::installFactory(AnnouncerFactory);
    return true;
  }();
  (void)installed;
  setFocusPolicy(Qt::NoFocus);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setGeometry(0, 0, 0, 0);
  hide();
}

void Announcer::Announce(const QString& text) {
  if (!parentWidget() || !parentWidget()->isVisible()) return;  // nobody could hear it
  setAccessibleName(text);
  // Showing is what a reader listens for; hiding first makes a repeated text heard again.
  hide();
  show();
}

}  // namespace findlark
