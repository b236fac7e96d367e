#pragma once

#include <QIcon>
#include <QString>

namespace findlark {

// The program's icon (window, tray, About box), scalable.
QIcon AppIcon();

// The icon of category 0-12, in category order; a null icon for any other value.
QIcon CategoryIcon(int category);

// The resource path behind CategoryIcon, e.g. ":/icons/cat_documents.svg"; empty when out of range.
QString CategoryIconPath(int category);

}  // namespace findlark
