#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <unordered_set>

struct stat;

#include "search/case_fold.h"
#include "search/line_buffer.h"

namespace findlark {

class PdfExtractor;

// With an extractor, a file that opens with "%PDF-" is searched through its text (see
// pdf_text.h); `only` reads nothing else (a file named as a PDF that is not one is no match).
struct PdfOptions {
  PdfExtractor* extractor = nullptr;
  bool only = false;
};

// First line of the file that contains the query (compared folded, returned as read, its
// CR LF dropped); the file ends at its first 0x1A byte. An office document (a zip holding
// Office Open XML, OpenDocument or EPUB) is searched through its text, one paragraph a line; a
// file that opens with a UTF-16 byte-order mark through its text as UTF-8.
// Empty when no line matches, on any file error, when the path is not a regular file (FIFOs
// and devices are never opened), or when `stop` becomes set between reads. Memory stays
// bounded whatever the file holds. `chunk` is the read size (small ones for tests).
std::string MatchContent(const std::string& path, const QueryMatcher& query,
                         const std::atomic<bool>* stop = nullptr, size_t chunk = kReadChunk,
                         const PdfOptions& pdf = {});

// The same for `name` relative to an open directory; the walk uses it to avoid path lookups.
// With `followLink` false the name is opened with O_NOFOLLOW (the walk saw a plain file);
// with it true a link is followed, but only to a regular file. When the file was read,
// `fileStat` (if given) receives its fstat, so a hit needs no second look-up. A file that turns
// out, once open, to lie on one of the `unreadable` devices is not read: a link can be pointed
// elsewhere between the caller's look-up and the open. The file is closed through this thread's
// FileBatch: FileBatch::ThisThread().Release() closes what is left.
std::string MatchContentAt(int dirFd, const char* name, const QueryMatcher& query,
                           const std::atomic<bool>* stop, bool followLink, struct stat* fileStat,
                           const std::unordered_set<dev_t>* unreadable = nullptr,
                           const PdfOptions& pdf = {});

// Makes this thread's reading buffer ready for `query`, which its first file would otherwise
// wait for.
void PrepareToMatch(const QueryMatcher& query);

// How MatchContentAt opens a file the walk saw as a plain file.
inline constexpr int kContentOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;

// A file's first bytes, read from its start (moving the file offset as a read does) before the
// scan: `length` bytes, or -1 for a read error.
struct FileHead {
  const char* bytes = nullptr;
  ssize_t length = 0;
};

// A file the caller opened with kContentOpenFlags; with `st`, its fstat, and then perhaps its
// head as well.
struct OpenedFile {
  int fd = -1;
  const struct stat* st = nullptr;
  FileHead head;
};

// MatchContentAt for a file the caller opened; it is closed here.
std::string MatchOpenedFile(const OpenedFile& file, const QueryMatcher& query,
                            const std::atomic<bool>* stop, struct stat* fileStat,
                            const std::unordered_set<dev_t>* unreadable,
                            const PdfOptions& pdf = {});

// The walk's read-ahead: an open file (closed here) read only as a PDF, as MatchContentAt does
// for a file named as one; `fileStat` receives its fstat when it was read.
std::string MatchOpenedPdf(int fd, const QueryMatcher& query, const std::atomic<bool>* stop,
                           PdfExtractor& pdf, const std::unordered_set<dev_t>* unreadable,
                           struct stat* fileStat);

}  // namespace findlark
