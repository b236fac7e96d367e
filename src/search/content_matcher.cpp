#include "search/content_matcher.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "search/borrowed.h"
#include "search/document_text.h"
#include "search/file_batch.h"
#include "search/pdf_text.h"
#include "search/utf16_text.h"

namespace findlark {
namespace {

ssize_t ReadSome(int fd, char* p, size_t len) {
  for (;;) {
    const ssize_t r = read(fd, p, len);
    if (r >= 0 || errno != EINTR) return r;
  }
}

// What a file turns out to be from its first bytes.
enum class FileKind { kText, kZip, kUtf16Le, kUtf16Be, kPdf };

// A file's bytes. `size` is the length fstat gave: once that many bytes are in, the file is
// taken as ended, which saves the read that would only return 0. A size of 0 (as /proc files
// report) means reading on to the real end. With `spot`, a file that opens with a zip header or
// a UTF-16 mark reads as empty and is marked, so that it can be read as what it is instead.
class FileSource : public ByteSource {
 public:
  FileSource(int fd, off_t size, bool spot, bool spotPdf = false, const FileHead* head = nullptr)
      : fd_(fd),
        expected_(size > 0 ? static_cast<uint64_t>(size) : 0),
        spot_(spot),
        spotPdf_(spotPdf) {
    if (head != nullptr) {
      head_ = head->bytes;
      headLeft_ = head->length;
    }
  }

  ssize_t Read(char* out, size_t cap) override {
    if (AtEnd()) return 0;
    ssize_t r;
    if (headLeft_ != 0) {  // what was read already, as a read would give it
      r = headLeft_ < 0 ? -1 : std::min(headLeft_, static_cast<ssize_t>(cap));
      if (r > 0) std::memcpy(out, head_, static_cast<size_t>(r));
      head_ += std::max<ssize_t>(r, 0);
      headLeft_ = r < 0 ? 0 : headLeft_ - r;
    } else {
      r = ReadSome(fd_, out, cap);
    }
    if (r > 0 && total_ == 0 && spot_) {
      kind_ = Spot(out, static_cast<size_t>(r));
      if (kind_ != FileKind::kText) return 0;
    }
    if (r > 0) total_ += static_cast<uint64_t>(r);
    return r;
  }
  bool AtEnd() const override {
    return kind_ != FileKind::kText || (expected_ > 0 && total_ >= expected_);
  }
  FileKind kind() const { return kind_; }

 private:
  FileKind Spot(const char* p, size_t n) const {
    char head[5];
    if (n < sizeof head) {  // only with tiny chunks: look at the start on its own
      n = static_cast<size_t>(std::max<ssize_t>(pread(fd_, head, sizeof head, 0), 0));
      p = head;
    }
    if (n >= 4 && memcmp(p, "PK\3\4", 4) == 0) return FileKind::kZip;
    if (spotPdf_ && n >= 5 && memcmp(p, "%PDF-", 5) == 0) return FileKind::kPdf;
    switch (Utf16Mark(p, n)) {
      case Utf16Order::kLittle:
        return FileKind::kUtf16Le;
      case Utf16Order::kBig:
        return FileKind::kUtf16Be;
      case Utf16Order::kNone:
        break;
    }
    return FileKind::kText;
  }

  int fd_;
  const char* head_ = nullptr;
  ssize_t headLeft_ = 0;
  uint64_t expected_;
  uint64_t total_ = 0;
  bool spot_;
  bool spotPdf_;
  FileKind kind_ = FileKind::kText;
};

// Reused by every call on a thread, and by later threads: a file costs no allocation after the
// first.
thread_local Borrowed<LineBuffer> t_lines;

std::string MatchPdf(int fd, const QueryMatcher& matcher, const std::atomic<bool>* stop,
                     PdfExtractor& pdf, size_t chunk) {
  PdfTextSource text(pdf, fd, stop);
  std::string answer = t_lines->FirstMatch(text, matcher, stop, chunk);
  text.Finish(!answer.empty());
  return answer;
}

bool StartsAsPdf(int fd) {
  char head[5];
  return pread(fd, head, sizeof head, 0) == sizeof head && memcmp(head, "%PDF-", 5) == 0;
}

std::string ScanFile(int fd, off_t size, const QueryMatcher& matcher, const std::atomic<bool>* stop,
                     const PdfOptions& pdf, size_t chunk = kReadChunk,
                     const FileHead* head = nullptr) {
  // A file named as a PDF is read only as one.
  if (pdf.only) {
    return pdf.extractor != nullptr && StartsAsPdf(fd)
               ? MatchPdf(fd, matcher, stop, *pdf.extractor, chunk)
               : std::string();
  }
  FileSource file(fd, size, true, pdf.extractor != nullptr, head);
  std::string answer = t_lines->FirstMatch(file, matcher, stop, chunk);
  switch (file.kind()) {
    case FileKind::kText:
      return answer;
    case FileKind::kUtf16Le:
    case FileKind::kUtf16Be: {
      Utf16Source text(fd,
                       file.kind() == FileKind::kUtf16Le ? Utf16Order::kLittle : Utf16Order::kBig);
      return t_lines->FirstMatch(text, matcher, stop, chunk);
    }
    case FileKind::kPdf:
      return MatchPdf(fd, matcher, stop, *pdf.extractor, chunk);
    case FileKind::kZip:
      break;
  }
  // An office document is searched through its text; any other zip as bytes.
  if (MatchDocument(fd, size, matcher, stop, *t_lines, answer, chunk)) return answer;
  if (lseek(fd, 0, SEEK_SET) != 0) return {};
  FileSource bytes(fd, size, false);
  return t_lines->FirstMatch(bytes, matcher, stop, chunk);
}

bool IsUnreadable(const std::unordered_set<dev_t>* unreadable, dev_t dev) {
  return unreadable != nullptr && unreadable->count(dev) != 0;
}

// What is open is what gets read, so the descriptor itself decides: a regular file, on a
// device that may be read.
std::string ScanOpened(int fd, const QueryMatcher& query, const std::atomic<bool>* stop,
                       struct stat* fileStat, const std::unordered_set<dev_t>* unreadable,
                       const PdfOptions& pdf, size_t chunk = kReadChunk, bool batchClose = false,
                       const OpenedFile* opened = nullptr) {
  struct stat st;
  std::string answer;
  const bool statted = opened != nullptr && opened->st != nullptr;
  if (statted) st = *opened->st;
  if ((statted || fstat(fd, &st) == 0) && S_ISREG(st.st_mode) &&
      !IsUnreadable(unreadable, st.st_dev)) {
    answer = ScanFile(fd, st.st_size, query, stop, pdf, chunk,
                      statted && opened->head.length != 0 ? &opened->head : nullptr);
    if (fileStat != nullptr) *fileStat = st;
  }
  if (batchClose) {
    FileBatch::ThisThread().Close(fd);
  } else {
    close(fd);
  }
  return answer;
}

constexpr int kOpenFlags = kContentOpenFlags & ~O_NOFOLLOW;

}  // namespace

void PrepareToMatch(const QueryMatcher& query) {
  t_lines->Prepare(query);
}

std::string MatchContent(const std::string& path, const QueryMatcher& query,
                         const std::atomic<bool>* stop, size_t chunk, const PdfOptions& pdf) {
  struct stat st;
  // Devices and FIFOs are refused before they are ever opened.
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const int fd = open(path.c_str(), kOpenFlags);
  if (fd < 0) return {};
  return ScanOpened(fd, query, stop, nullptr, nullptr, pdf, chunk);
}

std::string MatchOpenedPdf(int fd, const QueryMatcher& query, const std::atomic<bool>* stop,
                           PdfExtractor& pdf, const std::unordered_set<dev_t>* unreadable,
                           struct stat* fileStat) {
  return ScanOpened(fd, query, stop, fileStat, unreadable, {&pdf, true});
}

std::string MatchOpenedFile(const OpenedFile& file, const QueryMatcher& query,
                            const std::atomic<bool>* stop, struct stat* fileStat,
                            const std::unordered_set<dev_t>* unreadable, const PdfOptions& pdf) {
  return ScanOpened(file.fd, query, stop, fileStat, unreadable, pdf, kReadChunk, true, &file);
}

std::string MatchContentAt(int dirFd, const char* name, const QueryMatcher& query,
                           const std::atomic<bool>* stop, bool followLink, struct stat* fileStat,
                           const std::unordered_set<dev_t>* unreadable, const PdfOptions& pdf) {
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
  return ScanOpened(fd, query, stop, fileStat, unreadable, pdf, kReadChunk, true);
}

}  // namespace findlark
