#include "ui/window_icons.h"

#ifdef FINDLARK_HAVE_ICONS
#include "ui/icons.h"
#else
#include <QColor>
#include <QPainter>
#include <QPixmap>
#endif

namespace findlark {

#ifdef FINDLARK_HAVE_ICONS

QIcon WindowAppIcon() {
  return AppIcon();
}
QIcon WindowCategoryIcon(int category) {
  return CategoryIcon(category);
}

#else

// Plain coloured squares until the drawn icons are part of the build.
static QIcon Swatch(QColor color) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setPen(color.darker());
  painter.setBrush(color);
  painter.drawRect(1, 1, 13, 13);
  return QIcon(pixmap);
}

QIcon WindowAppIcon() {
  return Swatch(QColor(40, 90, 170));
}
QIcon WindowCategoryIcon(int category) {
  return Swatch(QColor::fromHsv(category * 27 % 360, 150, 220));
}

#endif

}  // namespace findlark
