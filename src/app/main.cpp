#include <QByteArray>

#include "app/search_app.h"

namespace {

// Asked for Wayland alone (as some sessions do) on a machine without Qt's Wayland plugin,
// the toolkit would abort. With an X server at hand, X11 is the way to still come up.
void AllowX11Fallback() {
  const QByteArray platforms = qgetenv("QT_QPA_PLATFORM");
  if (!platforms.startsWith("wayland") || platforms.contains("xcb")) return;
  if (qEnvironmentVariableIsEmpty("DISPLAY")) return;
  qputenv("QT_QPA_PLATFORM", platforms + ";xcb");
}

}  // namespace

int main(int argc, char** argv) {
  AllowX11Fallback();
  findlark::CSearchApp app(argc, argv);
  return app.InitInstance();
}
