#include "ui/icons.h"

#include <array>

#include "search/categories.h"

// The icons are compiled into a static library; nothing else refers to them, so the linker
// would drop them unless something registers them by name.
static void RegisterIconResources() {
  Q_INIT_RESOURCE(findlark);
}

namespace findlark {
namespace {

void EnsureResources() {
  static const bool registered = (RegisterIconResources(), true);
  (void)registered;
}

constexpr std::array<const char*, kCategoryCount> kCategoryIconFiles = {
    "cat_documents.svg",    "cat_pictures.svg", "cat_music.svg",        "cat_video.svg",
    "cat_webpages.svg",     "cat_pdf.svg",      "cat_spreadsheets.svg", "cat_presentations.svg",
    "cat_applications.svg", "cat_folders.svg",  "cat_archives.svg",     "cat_source_code.svg",
    "cat_other.svg",
};

}  // namespace

QIcon AppIcon() {
  EnsureResources();
  return QIcon(QStringLiteral(":/icons/findlark.svg"));
}

QString CategoryIconPath(int category) {
  if (!FileCategory(category).Valid()) return {};
  return QStringLiteral(":/icons/") + QLatin1String(kCategoryIconFiles[category]);
}

QIcon CategoryIcon(int category) {
  const QString path = CategoryIconPath(category);
  if (path.isEmpty()) return {};
  EnsureResources();
  return QIcon(path);
}

}  // namespace findlark
