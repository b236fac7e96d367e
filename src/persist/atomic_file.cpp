#include "persist/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace findlark {

namespace {

bool Fail(std::string* error, int code) {
  if (error) *error = std::strerror(code);
  return false;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// A link names the file the user meant; replace that file, not the link.
std::string ResolveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      std::string resolved(real);
      std::free(real);
      return resolved;
    }
  }
  return path;
}

// Opens a new file with a unique name beside `target`; O_EXCL guarantees it is ours.
int CreateTemp(const std::string& target, std::string& tempPath) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  if (base.size() > 200) base.resize(200);  // room for the suffix within NAME_MAX
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto ticks = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%d.%llx.%u.tmp", static_cast<int>(::getpid()),
                  ticks & 0xffffffffULL, counter.fetch_add(1));
    tempPath = dir + "." + base + suffix;
    // 0666 less the umask, as any newly created file would get.
    const int fd = ::open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  if (path.empty()) return Fail(error, ENOENT);
  const std::string target = ResolveTarget(path);

  struct stat old {};
  const bool replacing = ::stat(target.c_str(), &old) == 0;
  if (replacing && S_ISDIR(old.st_mode)) return Fail(error, EISDIR);
  // A rename would put a plain file in place of a device or FIFO (/dev/null, say).
  if (replacing && !S_ISREG(old.st_mode)) return Fail(error, EINVAL);
  // Renaming needs only the folder's permission; a file the user may not write stays as it is.
  if (replacing && ::access(target.c_str(), W_OK) != 0) return Fail(error, errno);

  std::string tempPath;
  const int fd = CreateTemp(target, tempPath);
  if (fd < 0) return Fail(error, errno);

  int code = 0;
  if (replacing && ::fchmod(fd, old.st_mode & 07777) != 0) code = errno;
  if (code == 0 && !WriteAll(fd, bytes)) code = errno;
  if (code == 0 && ::fsync(fd) != 0) code = errno;
  if (::close(fd) != 0 && code == 0) code = errno;
  if (code == 0 && ::rename(tempPath.c_str(), target.c_str()) != 0) code = errno;
  if (code != 0) {
    ::unlink(tempPath.c_str());
    return Fail(error, code);
  }

  // Make the rename itself durable; a failure here leaves the new file in place anyway.
  const size_t slash = target.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

}  // namespace findlark
