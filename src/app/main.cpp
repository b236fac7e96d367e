#include <unistd.h>

#include <QByteArray>
#include <algorithm>
#include <string>
#include <string_view>

#include "app/search_app.h"
#include "platform/launcher.h"
#include "search/directory_walk.h"

#ifndef FINDLARK_VERSION
#define FINDLARK_VERSION "0"
#endif

namespace {

// Asked for Wayland alone (as some sessions do) on a machine without Qt's Wayland plugin,
// the toolkit would abort. With an X server at hand, X11 is the way to still come up.
void AllowX11Fallback() {
  const QByteArray platforms = qgetenv("QT_QPA_PLATFORM");
  if (!platforms.startsWith("wayland") || platforms.contains("xcb")) return;
  if (qEnvironmentVariableIsEmpty("DISPLAY")) return;
  qputenv("QT_QPA_PLATFORM", platforms + ";xcb");
}

constexpr std::string_view kUsage =
    "Usage: findlark [-h | --help] [-V | --version] [QT-OPTION...]\n";

constexpr std::string_view kHelp =
    "Usage: findlark [-h | --help] [-V | --version] [QT-OPTION...]\n"
    "Open the Findlark search window, or bring the running one forward.\n"
    "\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "The Qt toolkit's own options, such as -platform NAME, -style NAME or -reverse,\n"
    "are passed on to it. The same search runs from a terminal as findlark-cli.\n";

// The toolkit's own options (QGuiApplication, QApplication and the X11 platform), which it
// takes from the command line itself.
constexpr std::string_view kQtOptionsWithValue[] = {
    "platform",    "platformpluginpath", "platformtheme", "plugin",  "qwindowgeometry",
    "qwindowicon", "qwindowtitle",       "session",       "display", "geometry",
    "style",       "stylesheet",         "qmljsdebugger", "dialogs", "fontengine"};
constexpr std::string_view kQtFlags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync"};

enum class Action { kRun, kHelp, kVersion, kUsageError };

// Looked at before the toolkit starts, so that help and version need no display and leave
// settings alone. Anything the toolkit does not take either is a usage error.
Action ParseArguments(int argc, char** argv, std::string& error) {
  Action action = Action::kRun;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return Action::kHelp;
    if (arg == "-V" || arg == "--version") {
      action = Action::kVersion;
      continue;
    }
    if (action == Action::kUsageError) continue;  // --help may still come
    if (!arg.starts_with("-")) {
      error = "unexpected argument '" + std::string(arg) + "'";
      action = Action::kUsageError;
      continue;
    }
    std::string_view name = arg.substr(arg.starts_with("--") ? 2 : 1);  // Qt takes either form
    const size_t eq = name.find('=');
    const std::string_view bare = name.substr(0, eq);
    const auto in = [&](const auto& list) {
      return std::find(std::begin(list), std::end(list), bare) != std::end(list);
    };
    if (in(kQtFlags) && eq == std::string_view::npos) continue;
    if (in(kQtOptionsWithValue)) {
      if (eq == std::string_view::npos && ++i >= argc) {
        error = "option '" + std::string(arg) + "' needs a value";
        action = Action::kUsageError;
      }
      continue;
    }
    error = "unrecognized option '" + std::string(arg) + "'";
    action = Action::kUsageError;
  }
  return action;
}

void WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string error;
  switch (ParseArguments(argc, argv, error)) {
    case Action::kHelp:
      WriteAll(STDOUT_FILENO, kHelp);
      return 0;
    case Action::kVersion:
      WriteAll(STDOUT_FILENO, "findlark " FINDLARK_VERSION "\n");
      return 0;
    case Action::kUsageError:
      WriteAll(STDERR_FILENO, "findlark: " + error + "\n");
      WriteAll(STDERR_FILENO, kUsage);
      WriteAll(STDERR_FILENO, "Try 'findlark --help' for more information.\n");
      return 2;
    case Action::kRun:
      break;
  }
  AllowX11Fallback();
  findlark::KeepDescriptorLimitForPrograms();
  findlark::RaiseDescriptorLimit();  // a desktop session starts programs at 1024
  findlark::CSearchApp app(argc, argv);
  return app.InitInstance();
}
