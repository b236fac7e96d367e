#pragma once

#include <QIcon>

namespace findlark {

// The icons the window uses: the application icon and one per file category.
QIcon WindowAppIcon();
QIcon WindowCategoryIcon(int category);

}  // namespace findlark
