#include "search/content_matcher.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "search/document_text.h"

namespace findlark {
namespace {

ssize_t ReadSome(int fd, char* p, size_t len) {
  for (;;) {
    const ssize_t r = read(fd, p, len);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// A file's bytes. `size` is the length fstat gave: once that many bytes are in, the file is
// taken as ended, which saves the read that would only return 0. A size of 0 (as /proc files
// report) means reading on to the real end. With `spotZip`, a file that opens with a zip
// header reads as empty and is marked, so that it can be looked at as a document instead.
class FileSource : public ByteSource {
 public:
  FileSource(int fd, off_t size, bool spotZip)
      : fd_(fd), expected_(size > 0 ? static_cast<uint64_t>(size) : 0), spotZip_(spotZip) {}

  ssize_t Read(char* out, size_t cap) override {
    if (zip_ || (expected_ > 0 && total_ >= expected_)) return 0;
    const ssize_t r = ReadSome(fd_, out, cap);
    if (r > 0 && total_ == 0 && spotZip_ && StartsAsZip(out, static_cast<size_t>(r))) {
      zip_ = true;
      return 0;
    }
    if (r > 0) total_ += static_cast<uint64_t>(r);
    return r;
  }
  bool zip() const { return zip_; }

 private:
  bool StartsAsZip(const char* p, size_t n) const {
    char head[4];
    if (n < sizeof head) {  // only with tiny chunks: look at the start on its own
      if (pread(fd_, head, sizeof head, 0) != sizeof head) return false;
      p = head;
    }
    return memcmp(p, "PK\3\4", 4) == 0;
  }

  int fd_;
  uint64_t expected_;
  uint64_t total_ = 0;
  bool spotZip_;
  bool zip_ = false;
};

// Reused by every call on a thread: a file costs no allocation after the first.
thread_local LineBuffer t_lines;

std::string ScanFile(int fd, off_t size, const QueryMatcher& matcher, const std::atomic<bool>* stop,
                     size_t chunk = kReadChunk) {
  FileSource file(fd, size, true);
  std::string answer = t_lines.FirstMatch(file, matcher, stop, chunk);
  if (!file.zip()) return answer;
  // An office document is searched through its text; any other zip as bytes.
  if (MatchDocument(fd, size, matcher, stop, t_lines, answer, chunk)) return answer;
  if (lseek(fd, 0, SEEK_SET) != 0) return {};
  FileSource bytes(fd, size, false);
  return t_lines.FirstMatch(bytes, matcher, stop, chunk);
}

bool IsUnreadable(const std::unordered_set<dev_t>* unreadable, dev_t dev) {
  return unreadable != nullptr && unreadable->count(dev) != 0;
}

// What is open is what gets read, so the descriptor itself decides: a regular file, on a
// device that may be read.
std::string ScanOpened(int fd, const QueryMatcher& query, const std::atomic<bool>* stop,
                       struct stat* fileStat, const std::unordered_set<dev_t>* unreadable = nullptr,
                       size_t chunk = kReadChunk) {
  struct stat st;
  std::string answer;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && !IsUnreadable(unreadable, st.st_dev)) {
    answer = ScanFile(fd, st.st_size, query, stop, chunk);
    if (fileStat != nullptr) *fileStat = st;
  }
  close(fd);
  return answer;
}

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

std::string MatchContent(const std::string& path, const QueryMatcher& query,
                         const std::atomic<bool>* stop, size_t chunk) {
  struct stat st;
  // Devices and FIFOs are refused before they are ever opened.
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const int fd = open(path.c_str(), kOpenFlags);
  if (fd < 0) return {};
  return ScanOpened(fd, query, stop, nullptr, nullptr, chunk);
}

std::string MatchContentAt(int dirFd, const char* name, const QueryMatcher& query,
                           const std::atomic<bool>* stop, bool followLink, struct stat* fileStat,
                           const std::unordered_set<dev_t>* unreadable) {
  int flags = kOpenFlags;
  if (followLink) {
    struct stat st;
    if (fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode) ||
        IsUnreadable(unreadable, st.st_dev))
      return {};
  } else {
    flags |= O_NOFOLLOW;
  }
  const int fd = openat(dirFd, name, flags);
  if (fd < 0) return {};
  return ScanOpened(fd, query, stop, fileStat, unreadable);
}

}  // namespace findlark
