#include "test_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace findlark::testing {
namespace {

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("test tree: " + what);
}

std::vector<std::pair<std::string, bool>> ListFolder(int fd) {
  std::vector<std::pair<std::string, bool>> entries;
  const int dup = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  DIR* dir = fdopendir(dup);
  if (dir == nullptr) {
    close(dup);
    return entries;
  }
  rewinddir(dir);
  while (const dirent* e = readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    const bool isDir =
        fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    entries.emplace_back(name, isDir);
  }
  closedir(dir);
  return entries;
}

}  // namespace

void RemoveTree(const std::string& path) {
  chmod(path.c_str(), 0700);
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    unlink(path.c_str());
    return;
  }
  // Iterative, one descriptor at a time, so trees deeper than PATH_MAX go too.
  std::set<std::pair<dev_t, ino_t>> stuck;
  int depth = 0;
  for (;;) {
    bool descended = false;
    bool leftovers = false;
    for (const auto& [name, isDir] : ListFolder(fd)) {
      if (!isDir) {
        if (unlinkat(fd, name.c_str(), 0) != 0) leftovers = true;
        continue;
      }
      fchmodat(fd, name.c_str(), 0700, 0);
      if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) == 0) continue;
      const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      struct stat st;
      if (child < 0 || fstat(child, &st) != 0 || stuck.count({st.st_dev, st.st_ino}) != 0) {
        if (child >= 0) close(child);
        leftovers = true;
        continue;
      }
      close(fd);
      fd = child;
      ++depth;
      descended = true;
      break;
    }
    if (descended) continue;
    if (leftovers) {
      struct stat st;
      if (fstat(fd, &st) == 0) stuck.insert({st.st_dev, st.st_ino});
    }
    if (depth == 0) break;
    const int parent = openat(fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    if (parent < 0) return;
    fd = parent;
    --depth;
  }
  close(fd);
  rmdir(path.c_str());
}

TestTree::TestTree() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/findlark-test-XXXXXX";
  Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  root_ = pattern;
}

TestTree::~TestTree() {
  RemoveTree(root_);
}

std::string TestTree::Path(std::string_view rel) const {
  return rel.empty() ? root_ : root_ + "/" + std::string(rel);
}

void TestTree::MkdirP(std::string_view rel) const {
  std::string path = root_;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t slash = rel.find('/', start);
    if (slash == std::string_view::npos) slash = rel.size();
    if (slash > start) {
      path += "/";
      path.append(rel.substr(start, slash - start));
      Check(mkdir(path.c_str(), 0755) == 0 || errno == EEXIST, "mkdir " + path);
    }
    start = slash + 1;
  }
}

void TestTree::Write(std::string_view rel, std::string_view content) const {
  const size_t slash = rel.rfind('/');
  if (slash != std::string_view::npos) MkdirP(rel.substr(0, slash));
  const std::string path = Path(rel);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  Check(fd >= 0, "create " + path);
  size_t done = 0;
  while (done < content.size()) {
    const ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  Check(done == content.size(), "write " + path);
}

void TestTree::Symlink(std::string_view target, std::string_view rel) const {
  const std::string path = Path(rel);
  Check(symlink(std::string(target).c_str(), path.c_str()) == 0, "symlink " + path);
}

void TestTree::Mkfifo(std::string_view rel) const {
  const std::string path = Path(rel);
  Check(mkfifo(path.c_str(), 0644) == 0, "mkfifo " + path);
}

void TestTree::Chmod(std::string_view rel, mode_t mode) const {
  const std::string path = Path(rel);
  Check(chmod(path.c_str(), mode) == 0, "chmod " + path);
}

void TestTree::SetMtime(std::string_view rel, time_t when) const {
  const std::string path = Path(rel);
  const timespec times[2] = {{when, 0}, {when, 0}};
  Check(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat " + path);
}

void TestTree::MakeChain(std::string_view rel, int depth, std::string_view name) const {
  MkdirP(rel);
  int fd = open(Path(rel).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  Check(fd >= 0, "open chain base");
  const std::string child(name);
  for (int i = 0; i < depth; ++i) {
    Check(mkdirat(fd, child.c_str(), 0755) == 0, "mkdirat");
    const int next = openat(fd, child.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    Check(next >= 0, "openat chain");
    fd = next;
  }
  close(fd);
}

}  // namespace findlark::testing
