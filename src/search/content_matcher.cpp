#include "search/content_matcher.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace findlark {
namespace {

constexpr size_t kChunk = 256 * 1024;
// One byte past the cap is kept so that a CR just before the cut can still be told apart.
constexpr size_t kLineKeep = kMaxMatchLine + 1;

bool IsCont(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Reused by every call on a thread: a file costs no allocation after the first.
struct Buffers {
  std::string data;
  std::string folded;
  std::string head;
};
thread_local Buffers t_buffers;

// End of the complete UTF-8 sequences in buf[0, n): an unfinished sequence at the very end is
// held back so that folding sees it whole in the next round.
size_t CompleteEnd(const char* buf, size_t n) {
  for (size_t k = 1; k <= 3 && k <= n; ++k) {
    const auto c = static_cast<unsigned char>(buf[n - k]);
    if (IsCont(c)) continue;
    if (c >= 0xC0) {
      const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      if (k < need) return n - k;
    }
    break;
  }
  return n;
}

// The part of a line kept for the answer, at most kLineKeep bytes.
class LineText {
 public:
  explicit LineText(std::string& text) : text_(text) {}
  void Append(const char* p, size_t len) {
    if (dropped_) return;
    const size_t room = kLineKeep - text_.size();
    if (len > room) {
      len = room;
      dropped_ = true;
    }
    text_.append(p, len);
  }
  bool full() const { return dropped_; }
  void set_dropped(bool dropped) { dropped_ = dropped; }

 private:
  std::string& text_;
  bool dropped_ = false;
};

ssize_t ReadSome(int fd, char* p, size_t len) {
  for (;;) {
    const ssize_t r = read(fd, p, len);
    if (r >= 0 || errno != EINTR) return r;
  }
}

bool Stopped(const std::atomic<bool>* stop) {
  return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// Cuts the answer to the cap without splitting a UTF-8 sequence and drops the CR of CR LF.
std::string FinishAnswer(std::string text, bool endedAtLf, bool dropped) {
  if (endedAtLf && !dropped && !text.empty() && text.back() == '\r') text.pop_back();
  if (text.size() > kMaxMatchLine) {
    size_t cut = kMaxMatchLine;
    while (cut > kMaxMatchLine - 3 && IsCont(static_cast<unsigned char>(text[cut]))) --cut;
    text.resize(cut);
  }
  return text;
}

// `size` is the length fstat gave: once that many bytes are in, the file is taken as ended,
// which saves the read that would only return 0. A size of 0 (as /proc files report) means
// reading on to the real end.
std::string ScanFile(int fd, off_t size, const QueryMatcher& matcher,
                     const std::atomic<bool>* stop) {
  const std::string& query = matcher.query();
  if (query.find('\n') != std::string::npos) return {};  // lines never hold a line feed
  // Enough bytes of an unfinished line to catch a match that crosses a chunk edge, even when
  // folding changes byte lengths.
  const size_t keep = 4 * query.size() + 4;

  Buffers& b = t_buffers;
  if (b.data.size() < kChunk + keep + 8) b.data.resize(kChunk + keep + 8);
  char* buf = b.data.data();
  std::string& head = b.head;  // the current line's bytes before buf[0]
  head.clear();
  LineText headText(head);

  const auto expected = static_cast<uint64_t>(size > 0 ? size : 0);
  uint64_t total = 0;
  size_t carry = 0;
  bool eof = false;
  while (!eof) {
    if (Stopped(stop)) return {};
    const ssize_t r = ReadSome(fd, buf + carry, kChunk);
    if (r < 0) return {};
    total += static_cast<uint64_t>(r);
    size_t n = carry + static_cast<size_t>(r);
    if (r == 0 || (expected > 0 && total >= expected)) {
      eof = true;
      if (const void* sub = memchr(buf + carry, 0x1A, static_cast<size_t>(r))) {
        n = static_cast<size_t>(static_cast<const char*>(sub) - buf);
      }
    } else if (const void* sub = memchr(buf + carry, 0x1A, static_cast<size_t>(r))) {
      n = static_cast<size_t>(static_cast<const char*>(sub) - buf);  // text mode ends here
      eof = true;
    }
    const size_t limit = eof ? n : CompleteEnd(buf, n);

    size_t lineStart = std::string::npos;  // of the line holding the first match
    if (matcher.ascii()) {
      const size_t at = matcher.Find(std::string_view(buf, limit), b.folded);
      if (at != std::string_view::npos) {
        const void* nl = memrchr(buf, '\n', at);
        lineStart = nl ? static_cast<size_t>(static_cast<const char*>(nl) - buf) + 1 : 0;
      }
    } else {
      const size_t at = matcher.Find(std::string_view(buf, limit), b.folded);
      if (at != std::string_view::npos) {
        // Folding keeps every '\n' one for one: the match is on the same line of the raw text.
        size_t lines = static_cast<size_t>(std::count(b.folded.data(), b.folded.data() + at, '\n'));
        lineStart = 0;
        while (lines-- > 0) {
          lineStart =
              static_cast<size_t>(
                  static_cast<const char*>(memchr(buf + lineStart, '\n', n - lineStart)) - buf) +
              1;
        }
      }
    }

    if (lineStart != std::string::npos) {
      std::string answer;
      LineText text(answer);
      if (lineStart == 0) {
        answer = head;
        text.set_dropped(headText.full());
      }
      const void* nl = memchr(buf + lineStart, '\n', n - lineStart);
      if (nl != nullptr) {
        text.Append(buf + lineStart,
                    static_cast<size_t>(static_cast<const char*>(nl) - buf) - lineStart);
        return FinishAnswer(std::move(answer), true, text.full());
      }
      text.Append(buf + lineStart, n - lineStart);
      // The line goes on past this chunk: read on to its end or to the cap.
      while (!eof && !text.full()) {
        if (Stopped(stop)) return {};
        const ssize_t more = ReadSome(fd, buf, kChunk);
        if (more < 0) return {};
        if (more == 0) break;
        size_t m = static_cast<size_t>(more);
        total += m;
        if (expected > 0 && total >= expected) eof = true;
        if (const void* sub = memchr(buf, 0x1A, m)) {
          m = static_cast<size_t>(static_cast<const char*>(sub) - buf);
          eof = true;
        }
        if (const void* end = memchr(buf, '\n', m)) {
          text.Append(buf, static_cast<size_t>(static_cast<const char*>(end) - buf));
          return FinishAnswer(std::move(answer), true, text.full());
        }
        text.Append(buf, m);
      }
      return FinishAnswer(std::move(answer), false, text.full());
    }

    // No match yet: keep the tail of the unfinished line for the next round.
    const void* lastNl = memrchr(buf, '\n', n);
    const size_t openLine =
        lastNl ? static_cast<size_t>(static_cast<const char*>(lastNl) - buf) + 1 : 0;
    size_t carryStart = std::max(openLine, n > keep ? n - keep : size_t{0});
    for (int k = 0;
         k < 3 && carryStart > openLine && IsCont(static_cast<unsigned char>(buf[carryStart]));
         ++k) {
      --carryStart;
    }
    if (lastNl != nullptr) {
      head.clear();
      headText.set_dropped(false);
    }
    headText.Append(buf + openLine, carryStart - openLine);
    carry = n - carryStart;
    std::memmove(buf, buf + carryStart, carry);
  }
  return {};
}

std::string ScanOpened(int fd, const QueryMatcher& query, const std::atomic<bool>* stop,
                       struct stat* fileStat, off_t maxSize = -1, bool* declined = nullptr) {
  struct stat st;
  std::string answer;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (maxSize >= 0 && st.st_size > maxSize) {
      *declined = true;
      close(fd);
      return answer;
    }
    answer = ScanFile(fd, st.st_size, query, stop);
    if (fileStat != nullptr) *fileStat = st;
  }
  close(fd);
  return answer;
}

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

std::string MatchContent(const std::string& path, const QueryMatcher& query,
                         const std::atomic<bool>* stop) {
  struct stat st;
  // Devices and FIFOs are refused before they are ever opened.
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const int fd = open(path.c_str(), kOpenFlags);
  if (fd < 0) return {};
  return ScanOpened(fd, query, stop, nullptr);
}

std::string MatchContentAt(int dirFd, const char* name, const QueryMatcher& query,
                           const std::atomic<bool>* stop, bool followLink,
                           struct stat* fileStat) {
  bool declined = false;
  return MatchSmallContentAt(dirFd, name, query, stop, followLink, fileStat, -1, declined);
}

std::string MatchSmallContentAt(int dirFd, const char* name, const QueryMatcher& query,
                                const std::atomic<bool>* stop, bool followLink,
                                struct stat* fileStat, off_t maxSize, bool& declined) {
  declined = false;
  int flags = kOpenFlags;
  if (followLink) {
    struct stat st;
    if (fstatat(dirFd, name, &st, 0) != 0 || !S_ISREG(st.st_mode)) return {};
  } else {
    flags |= O_NOFOLLOW;
  }
  const int fd = openat(dirFd, name, flags);
  if (fd < 0) return {};
  return ScanOpened(fd, query, stop, fileStat, maxSize, &declined);
}

}  // namespace findlark
