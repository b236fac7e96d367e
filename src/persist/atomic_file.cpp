#include "persist/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace findlark {

namespace {

constexpr size_t kBufferBytes = 64 * 1024;
constexpr int kMaxLinks = 40;    // as the kernel's own limit for a path lookup
constexpr int kNotRegular = -1;  // our own reason, beside the errno values

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
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

// 0 when `target` may be replaced by a renamed file, else the errno that says why not. Sets
// `existing` when there is a file to replace.
int CheckTarget(const std::string& target, struct stat& existing, bool& replacing) {
  if (target.empty()) return ENOENT;
  replacing = ::stat(target.c_str(), &existing) == 0;
  if (!replacing) return errno == ENOENT ? 0 : errno;
  if (S_ISDIR(existing.st_mode)) return EISDIR;
  // A rename would put a plain file in place of a device or FIFO (/dev/full, say).
  if (!S_ISREG(existing.st_mode)) return kNotRegular;
  // Renaming needs only the folder's permission; a file the user may not write stays as it is.
  if (::access(target.c_str(), W_OK) != 0) return errno;
  return 0;
}

}  // namespace

std::string FinalTarget(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
    if (n <= 0 || static_cast<size_t>(n) >= link.size()) return current;  // changed under us
    link.resize(static_cast<size_t>(n));
    current = link[0] == '/' ? link : FolderOf(current) + "/" + link;
  }
  return current;  // a loop: the write then fails with ELOOP, as any open would
}

AtomicFileWriter::~AtomicFileWriter() {
  Discard();
}

bool AtomicFileWriter::Fail(int code) {
  if (code_ == 0) {
    code_ = code;
    error_ = code == kNotRegular ? "not a regular file" : std::strerror(code);
  }
  return false;
}

void AtomicFileWriter::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  tempPath_.clear();
  buffer_.clear();
  buffer_.shrink_to_fit();
}

bool AtomicFileWriter::Open(const std::string& path) {
  Discard();
  code_ = 0;
  error_.clear();
  target_ = FinalTarget(path);
  struct stat old {};
  bool replacing = false;
  if (int code = CheckTarget(target_, old, replacing)) return Fail(code);
  fd_ = CreateTemp(target_, tempPath_);
  if (fd_ < 0) {
    tempPath_.clear();
    return Fail(errno);
  }
  if (replacing && ::fchmod(fd_, old.st_mode & 07777) != 0) {
    const int code = errno;
    Discard();
    return Fail(code);
  }
  buffer_.reserve(kBufferBytes);
  return true;
}

bool AtomicFileWriter::Flush() {
  if (code_ != 0 || fd_ < 0) return Fail(code_ != 0 ? code_ : EBADF);
  const bool ok = WriteAll(fd_, buffer_);
  buffer_.clear();
  if (!ok) {
    const int code = errno;
    Discard();
    return Fail(code);
  }
  return true;
}

bool AtomicFileWriter::Write(std::string_view bytes) {
  if (code_ != 0 || fd_ < 0) return Fail(code_ != 0 ? code_ : EBADF);
  buffer_.append(bytes);
  return buffer_.size() < kBufferBytes || Flush();
}

bool AtomicFileWriter::Commit() {
  if (!Flush()) return false;
  int code = 0;
  if (::fsync(fd_) != 0) code = errno;
  if (::close(fd_) != 0 && code == 0) code = errno;
  fd_ = -1;
  if (code == 0 && ::rename(tempPath_.c_str(), target_.c_str()) != 0) code = errno;
  if (code != 0) {
    Discard();
    return Fail(code);
  }
  tempPath_.clear();
  buffer_.shrink_to_fit();
  // Make the rename itself durable; a failure here leaves the new file in place anyway.
  const int dirFd = ::open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  AtomicFileWriter file;
  const bool ok = file.Open(path) && file.Write(bytes) && file.Commit();
  if (!ok && error) *error = file.Error();
  return ok;
}

bool CheckWritable(const std::string& path, std::string* error) {
  AtomicFileWriter probe;  // destroyed uncommitted: the temporary goes, the target stays
  if (probe.Open(path)) return true;
  if (error) *error = probe.Error();
  return false;
}

}  // namespace findlark
