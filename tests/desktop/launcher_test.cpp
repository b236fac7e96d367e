// Launching through GIO against private freedesktop associations. Every case runs its
// launches in a forked child with its own XDG folders, because GIO caches the
// associations for the life of a process.
#include "platform/launcher.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace findlark {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// A private set of XDG folders. "rec.sh" records its arguments, NUL-separated with the
// count first, into out/calls; it is written through a temporary name and renamed so a
// reader never sees half a record.
class Sandbox {
 public:
  Sandbox() {
    std::string tmpl = (fs::temp_directory_path() / "findlark-launch-XXXXXX").string();
    root_ = ::mkdtemp(tmpl.data());
    fs::create_directories(root_ / "data/applications");
    fs::create_directories(root_ / "config");
    fs::create_directories(root_ / "sysconfig");
    fs::create_directories(root_ / "out");
    // The system MIME database without the system's applications.
    fs::create_directories(root_ / "sysdata");
    if (fs::exists("/usr/share/mime"))
      fs::create_directory_symlink("/usr/share/mime", root_ / "sysdata/mime");
    const fs::path rec = root_ / "rec.sh";
    WriteFile(rec, "#!/bin/sh\nprintf '%s\\0' \"$#\" \"$@\" > '" +
                       (root_ / "out/calls.tmp").string() + "' && mv '" +
                       (root_ / "out/calls.tmp").string() + "' '" + Calls().string() + "'\n");
    fs::permissions(rec, fs::perms::owner_all);
  }
  ~Sandbox() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  const fs::path& Root() const { return root_; }
  fs::path Calls() const { return root_ / "out/calls"; }

  // An application entry that runs rec.sh with `field` (%f, %u, ...) for `mimeTypes`.
  void AddRecorderApp(const std::string& id, const std::string& field,
                      const std::string& mimeTypes) {
    WriteFile(root_ / "data/applications" / id, "[Desktop Entry]\nType=Application\nName=" + id +
                                                    "\nExec=" + (root_ / "rec.sh").string() + " " +
                                                    field + "\nMimeType=" + mimeTypes + "\n");
  }
  void SetDefaults(const std::string& lines) {
    WriteFile(root_ / "config/mimeapps.list", "[Default Applications]\n" + lines);
  }

  // Runs `action` in a child that sees only this sandbox's associations, plus `extraEnv`
  // (a missing value unsets the variable); gives back its exit status.
  int InChild(
      const std::function<int()>& action,
      const std::vector<std::pair<std::string, std::optional<std::string>>>& extraEnv = {}) const {
    std::error_code ec;
    fs::remove(Calls(), ec);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
      ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
      ::setenv("XDG_DATA_DIRS", (root_ / "sysdata").c_str(), 1);
      ::setenv("XDG_CONFIG_DIRS", (root_ / "sysconfig").c_str(), 1);
      ::setenv("GIO_USE_VFS", "local", 1);
      for (const auto& [name, value] : extraEnv) {
        if (value) {
          ::setenv(name.c_str(), value->c_str(), 1);
        } else {
          ::unsetenv(name.c_str());
        }
      }
      ::_exit(action());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  }

  int Launch(LaunchResult (*open)(const std::string&), const std::string& target) const {
    return InChild([&] { return static_cast<int>(open(target)); });
  }

  // The arguments rec.sh received, or nullopt when it has not run. Waits a bounded time
  // for the launched program, which runs on its own.
  std::optional<std::vector<std::string>> WaitForCall() const {
    for (int i = 0; i < 1500 && !fs::exists(Calls()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!fs::exists(Calls())) return std::nullopt;
    std::vector<std::string> fields;
    std::string text = ReadFile(Calls());
    for (size_t start = 0; start < text.size();) {
      const size_t end = text.find('\0', start);
      if (end == std::string::npos) break;
      fields.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    if (fields.empty() || fields[0] != std::to_string(fields.size() - 1)) return std::nullopt;
    fields.erase(fields.begin());
    return fields;
  }

 private:
  fs::path root_;
};

constexpr int kLaunched = static_cast<int>(LaunchResult::kLaunched);
constexpr int kNoAssociation = static_cast<int>(LaunchResult::kNoAssociation);
constexpr int kFailed = static_cast<int>(LaunchResult::kFailed);

using Args = std::vector<std::string>;

TEST(Launcher, HandsTheExactPathBytesAsOneArgument) {
  Sandbox box;
  box.AddRecorderApp("rec.desktop", "%f", "text/plain;");
  box.SetDefaults("text/plain=rec.desktop\n");
  const std::vector<std::string> names = {
      "plain.txt",
      "a file with  spaces.txt",
      "odd \xff\xfe bytes 'q\" $(touch pwned) *;|.txt",
      "line\nbreak.txt",
      "-leading-dash.txt",
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const fs::path dir = box.Root() / "files with space";
    const std::string path = (dir / name).string();
    WriteFile(path, "just some words\n");
    EXPECT_EQ(box.Launch(OpenWithDefaultApp, path), kLaunched);
    EXPECT_EQ(box.WaitForCall(), Args{path});
  }
  EXPECT_FALSE(fs::exists("pwned"));
  // A file deleted since the search is a failure, not a reason to offer the editor.
  const std::string gone = (box.Root() / "deleted since.txt").string();
  EXPECT_EQ(box.Launch(OpenWithDefaultApp, gone), kFailed);
  EXPECT_EQ(box.Launch(OpenInTextEditor, gone), kFailed);
}

TEST(Launcher, FoldersOpenWithTheDirectoryHandler) {
  Sandbox box;
  box.AddRecorderApp("files.desktop", "%f", "inode/directory;");
  box.SetDefaults("inode/directory=files.desktop\n");
  const std::string dir = (box.Root() / "a folder \xe9").string();
  fs::create_directories(dir);
  EXPECT_EQ(box.Launch(OpenFolder, dir), kLaunched);
  EXPECT_EQ(box.WaitForCall(), Args{dir});
  EXPECT_EQ(box.Launch(OpenWithDefaultApp, dir), kLaunched);
  EXPECT_EQ(box.WaitForCall(), Args{dir});
  EXPECT_EQ(box.Launch(OpenFolder, dir + "/gone"), kFailed);
}

TEST(Launcher, TextEditorOpensAnyFileButDefaultAppFollowsItsType) {
  Sandbox box;
  box.AddRecorderApp("rec.desktop", "%f", "text/plain;");
  box.SetDefaults("text/plain=rec.desktop\n");
  const std::string path = (box.Root() / "blob.findlarkunknown").string();
  WriteFile(path, std::string("\x00\x01\x02\x03\xff\xfe binary", 14));
  EXPECT_EQ(box.Launch(OpenWithDefaultApp, path), kNoAssociation);
  EXPECT_EQ(box.Launch(OpenInTextEditor, path), kLaunched);
  EXPECT_EQ(box.WaitForCall(), Args{path});
}

TEST(Launcher, NoAssociationIsToldApartFromAMissingFile) {
  Sandbox box;  // no applications at all
  const std::string file = (box.Root() / "notes.txt").string();
  const std::string dir = (box.Root() / "folder").string();
  WriteFile(file, "hello\n");
  fs::create_directories(dir);
  const std::string missing = (box.Root() / "gone.txt").string();
  struct Case {
    const char* what;
    LaunchResult (*open)(const std::string&);
    std::string target;
    int expected;
  };
  const Case cases[] = {
      {"default app", OpenWithDefaultApp, file, kNoAssociation},
      {"text editor", OpenInTextEditor, file, kNoAssociation},
      {"folder", OpenFolder, dir, kNoAssociation},
      {"default app, missing", OpenWithDefaultApp, missing, kFailed},
      {"text editor, missing", OpenInTextEditor, missing, kFailed},
      {"folder, missing", OpenFolder, missing, kFailed},
      {"default app, empty path", OpenWithDefaultApp, "", kFailed},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(box.Launch(c.open, c.target), c.expected) << c.what;
  }
}

TEST(Launcher, WebAddressGoesToTheSchemeHandlerWhole) {
  Sandbox box;
  const std::string uri = "https://findlark.example.org/a%20b?x=1&y=2#findlark";
  EXPECT_NE(box.Launch(OpenUri, uri), kLaunched);  // nothing handles https yet

  box.AddRecorderApp("web.desktop", "%u", "x-scheme-handler/https;");
  box.SetDefaults("x-scheme-handler/https=web.desktop\n");
  EXPECT_EQ(box.Launch(OpenUri, uri), kLaunched);
  EXPECT_EQ(box.WaitForCall(), Args{uri});
  EXPECT_EQ(box.Launch(OpenUri, ""), kFailed);
}

// The menu entry cannot set a working folder from the environment, so its command line
// makes and enters the settings folder itself before starting the program.
TEST(DesktopEntry, StartsTheProgramInItsSettingsFolder) {
  Sandbox box;
  const fs::path bin = box.Root() / "bin";
  WriteFile(bin / "findlark", "#!/bin/sh\nprintf '%s\\0' 1 \"$(pwd)\" > '" +
                                  (box.Root() / "out/calls.tmp").string() + "' && mv '" +
                                  (box.Root() / "out/calls.tmp").string() + "' '" +
                                  box.Calls().string() + "'\n");
  fs::permissions(bin / "findlark", fs::perms::owner_all);
  fs::copy_file(FINDLARK_DESKTOP_FILE, box.Root() / "data/applications/findlark.desktop");
  const std::string path = bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");

  struct Case {
    const char* what;
    std::optional<std::string> configHome;
    fs::path expected;
  };
  const Case cases[] = {
      {"config home set", (box.Root() / "my config $HOME").string(),
       box.Root() / "my config $HOME/findlark"},
      {"config home unset", std::nullopt, box.Root() / "home/.config/findlark"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int status = box.InChild(
        [] {
          GDesktopAppInfo* app = g_desktop_app_info_new("findlark.desktop");
          if (!app) return 10;
          const bool ok = g_app_info_launch(G_APP_INFO(app), nullptr, nullptr, nullptr);
          g_object_unref(app);
          return ok ? 0 : 11;
        },
        {{"PATH", path},
         {"HOME", (box.Root() / "home").string()},
         {"XDG_CONFIG_HOME", c.configHome}});
    ASSERT_EQ(status, 0);
    const auto call = box.WaitForCall();
    ASSERT_TRUE(call.has_value());
    EXPECT_TRUE(fs::is_directory(c.expected));
    EXPECT_EQ(*call, Args{fs::canonical(c.expected).string()});
  }
}

}  // namespace
}  // namespace findlark
