// Launching through GIO against private freedesktop associations. Every case runs its
// launches in a forked child with its own XDG folders, because GIO caches the
// associations for the life of a process.
#include "platform/launcher.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace findlark {
namespace {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A private set of XDG folders that knows the system's MIME types but none of its
// applications, with recorder scripts that stand in for the programs launched.
class Sandbox {
 public:
  Sandbox() {
    std::string tmpl = (fs::temp_directory_path() / "findlark-launch-XXXXXX").string();
    root_ = ::mkdtemp(tmpl.data());
    for (const char* dir : {"data/applications", "config", "sysconfig", "sysdata", "out"})
      fs::create_directories(root_ / dir);
    if (fs::exists("/usr/share/mime"))
      fs::create_directory_symlink("/usr/share/mime", root_ / "sysdata/mime");
    AddRecorder(root_ / "rec.sh", "\"$@\"");
  }
  ~Sandbox() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& Root() const { return root_; }

  // A script that records `words` as the shell expands them, NUL-separated, into out/calls;
  // written through a temporary name and renamed so a reader never sees half a record.
  void AddRecorder(const fs::path& script, const std::string& words) const {
    const std::string tmp = (root_ / "out/calls.tmp").string();
    WriteFile(script, "#!/bin/sh\nprintf '%s\\0' " + words + " > '" + tmp + "' && mv '" + tmp +
                          "' '" + (root_ / "out/calls").string() + "'\n");
    fs::permissions(script, fs::perms::owner_all);
  }
  // An application that runs rec.sh with its file for `mimeTypes`.
  void AddRecorderApp(const std::string& id, const std::string& mimeTypes) const {
    WriteFile(root_ / "data/applications" / id, "[Desktop Entry]\nType=Application\nName=" + id +
                                                    "\nExec=" + (root_ / "rec.sh").string() +
                                                    " %f\nMimeType=" + mimeTypes + "\n");
  }

  // Runs `action` in a child that sees only this sandbox's associations, plus `env` (no
  // value unsets the variable); gives back its exit status.
  int InChild(const std::function<int()>& action,
              const std::vector<std::pair<const char*, std::optional<std::string>>>& env = {}) {
    fs::remove(root_ / "out/calls");
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (const auto& [name, dir] : {std::pair{"XDG_DATA_HOME", "data"},
                                      {"XDG_CONFIG_HOME", "config"},
                                      {"XDG_DATA_DIRS", "sysdata"},
                                      {"XDG_CONFIG_DIRS", "sysconfig"}})
        ::setenv(name, (root_ / dir).c_str(), 1);
      ::setenv("GIO_USE_VFS", "local", 1);
      for (const auto& [name, value] : env)
        value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
      ::_exit(action());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  }

  // What the recorder got, or nullopt if it has not run within a generous time: the
  // launched program runs on its own.
  std::optional<std::vector<std::string>> WaitForCall() const {
    const fs::path calls = root_ / "out/calls";
    for (int i = 0; i < 1500 && !fs::exists(calls); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::ifstream in(calls, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<std::string> fields;
    for (std::string field; std::getline(in, field, '\0');) fields.push_back(field);
    return fields;
  }

 private:
  fs::path root_;
};

using Args = std::vector<std::string>;
using Open = LaunchResult (*)(const std::string&);

TEST(Launcher, EachTargetReachesItsHandlerAsOneArgument) {
  Sandbox box;
  // Opening from the window (Enter, Open Folder, the editor for an unknown type) and links
  // from the preview run on a real desktop; here the names that only a sandbox can make.
  box.AddRecorderApp("text.desktop", "text/plain;");
  box.AddRecorderApp("files.desktop", "inode/directory;");
  WriteFile(box.Root() / "config/mimeapps.list",
            "[Default Applications]\ntext/plain=text.desktop\ninode/directory=files.desktop\n");
  const fs::path dir = box.Root() / "files with space";
  const std::string folder = (dir / "a folder \xe9").string();
  fs::create_directories(folder);
  EXPECT_EQ(box.InChild([] { return int(OpenUri("")); }), int(LaunchResult::kFailed));
  // Names no shell may split, expand or run.
  for (const std::string& target :
       {folder, (dir / "a file with  spaces.txt").string(),
        (dir / "odd \xff\xfe bytes 'q\" $(touch pwned) *;|.txt").string(),
        (dir / "-leading-dash line\nbreak.txt").string()}) {
    SCOPED_TRACE(target);
    if (target != folder) WriteFile(target, "just some words\n");
    EXPECT_EQ(box.InChild([&] { return int(OpenWithDefaultApp(target)); }),
              int(LaunchResult::kLaunched));
    EXPECT_EQ(box.WaitForCall(), Args{target});
  }
  EXPECT_FALSE(fs::exists("pwned"));
}

TEST(Launcher, NoAssociationIsToldApartFromAMissingFile) {
  Sandbox box;  // no applications at all
  const std::string file = (box.Root() / "notes.txt").string();
  WriteFile(file, "hello\n");
  // A file gone since the search is a failure, not a reason to offer the editor.
  const std::string gone = (box.Root() / "gone.txt").string();
  for (Open open : {OpenWithDefaultApp, OpenInTextEditor, OpenFolder}) {
    const std::string target = open == OpenFolder ? box.Root().string() : file;
    EXPECT_EQ(box.InChild([&] { return int(open(target)); }), int(LaunchResult::kNoAssociation));
    EXPECT_EQ(box.InChild([&] { return int(open(gone)); }), int(LaunchResult::kFailed));
    EXPECT_EQ(box.InChild([&] { return int(open("")); }), int(LaunchResult::kFailed));
  }
  EXPECT_NE(box.InChild([] { return int(OpenUri("https://findlark.example.org/")); }),
            int(LaunchResult::kLaunched));

  // An editor installed that nobody made the default still takes text.
  box.AddRecorderApp("editor.desktop", "text/plain;");
  EXPECT_EQ(box.InChild([&] { return int(OpenInTextEditor(file)); }), int(LaunchResult::kLaunched));
  EXPECT_EQ(box.WaitForCall(), Args{file});
}

// The window lifts its own limit on open files; what it starts gets the desktop's back, both
// for a file and for a link.
TEST(Launcher, AProgramStartedGetsTheLimitOnOpenFilesOfTheDesktop) {
  Sandbox box;
  box.AddRecorder(box.Root() / "rec.sh", "\"$(ulimit -n)\"");
  box.AddRecorderApp("text.desktop", "text/plain;x-scheme-handler/https;");
  WriteFile(box.Root() / "config/mimeapps.list",
            "[Default Applications]\ntext/plain=text.desktop\n"
            "x-scheme-handler/https=text.desktop\n");
  const std::string file = (box.Root() / "notes.txt").string();
  WriteFile(file, "hello\n");
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max <= 256) GTEST_SKIP() << "no room above 256 open files here";
  for (const std::function<LaunchResult()>& open :
       {std::function([&] { return OpenWithDefaultApp(file); }),
        std::function([] { return OpenUri("https://findlark.example.org/"); })}) {
    EXPECT_EQ(box.InChild([&] {
      struct rlimit lifted = limit;
      lifted.rlim_cur = 256;
      setrlimit(RLIMIT_NOFILE, &lifted);
      KeepDescriptorLimitForPrograms();
      lifted.rlim_cur = lifted.rlim_max;
      setrlimit(RLIMIT_NOFILE, &lifted);
      return int(open());
    }),
              int(LaunchResult::kLaunched));
    EXPECT_EQ(box.WaitForCall(), Args{"256"});
  }
}

// The menu entry cannot set a working folder from the environment, so its command line
// makes and enters the settings folder itself before starting the program.
TEST(DesktopEntry, StartsTheProgramInItsSettingsFolder) {
  Sandbox box;
  const fs::path bin = box.Root() / "bin";
  box.AddRecorder(bin / "findlark", "\"$(pwd)\"");
  fs::copy_file(FINDLARK_DESKTOP_FILE, box.Root() / "data/applications/findlark.desktop");
  const std::string path = bin.string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  const std::pair<std::optional<std::string>, fs::path> cases[] = {
      {(box.Root() / "my config $HOME").string(), box.Root() / "my config $HOME/findlark"},
      {std::nullopt, box.Root() / "home/.config/findlark"},
  };
  for (const auto& [configHome, expected] : cases) {
    SCOPED_TRACE(expected);
    const int status = box.InChild(
        [] {
          GDesktopAppInfo* app = g_desktop_app_info_new("findlark.desktop");
          const bool ok = app && g_app_info_launch(G_APP_INFO(app), nullptr, nullptr, nullptr);
          if (app) g_object_unref(app);
          return ok ? 0 : 1;
        },
        {{"PATH", path},
         {"HOME", (box.Root() / "home").string()},
         {"XDG_CONFIG_HOME", configHome}});
    ASSERT_EQ(status, 0);
    const auto call = box.WaitForCall();  // the entry runs on its own
    ASSERT_TRUE(fs::is_directory(expected));
    EXPECT_EQ(call, Args{fs::canonical(expected).string()});
  }
}

}  // namespace
}  // namespace findlark
