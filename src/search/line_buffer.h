#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "search/case_fold.h"
#include "search/unset_allocator.h"

namespace findlark {

// A matching line longer than this is stored cut (at a UTF-8 boundary); the tip shows less.
inline constexpr size_t kMaxMatchLine = 16 * 1024;

// Bytes read at a time from a file; Stop is looked at between reads.
inline constexpr size_t kReadChunk = 256 * 1024;
// The first read of a file asks for less: most matches are near the start, and a search that
// stops at its first match should not copy a quarter megabyte to find it.
inline constexpr size_t kFirstReadChunk = 16 * 1024;

// Where the line matcher gets its bytes: a file, or the text of a document.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `cap` bytes into `out`: their count, 0 at the end, -1 on an error.
  virtual ssize_t Read(char* out, size_t cap) = 0;
  // True when the next Read is known to give 0, so the chunk just read is the last.
  virtual bool AtEnd() const { return false; }
};

// Reads a source in chunks of a set size and finds the first line that holds the query. It
// alone deals with the end of the text (the source's end, or a 0x1A byte as in text mode), the
// tail of an unfinished line carried from one chunk to the next, and lines that go on past a
// chunk. Memory stays the same whatever the length of a line or of the text. Reused from one
// file to the next so a file costs no allocation.
class LineBuffer {
 public:
  // The first line holding the query, as read, its CR LF dropped and cut to kMaxMatchLine;
  // empty when none does, on a read error, or when `stop` becomes set between chunks.
  std::string FirstMatch(ByteSource& source, const QueryMatcher& matcher,
                         const std::atomic<bool>* stop, size_t chunk = kReadChunk);
  // Makes the room FirstMatch needs for `matcher` and `chunk` ahead of the first file, that of
  // a first read faulted in.
  void Prepare(const QueryMatcher& matcher, size_t chunk = kReadChunk);

 private:
  // With `lastUnchecked`, a chunk that is the source's last is not looked through for 0x1A: that
  // only matters before a match, and most texts hold none.
  bool ReadChunk(ByteSource& source, char* at, size_t chunk, const std::atomic<bool>* stop,
                 size_t& got, bool* lastUnchecked = nullptr);
  size_t FindLineStart(const QueryMatcher& matcher, size_t limit);
  std::string ReadRestOfLine(ByteSource& source, size_t lineStart, size_t n, size_t chunk,
                             const std::atomic<bool>* stop);
  void CarryTail(size_t n, size_t keep);

  // Carried tail, then the chunk just read; not zeroed, as only what was read is looked at.
  std::vector<char, UnsetAllocator<char>> data_;
  std::string folded_;  // where a non-ASCII query folds the text it looks at
  std::string head_;    // the current line's bytes before data_[0], at most one cut line
  bool headFull_ = false;
  bool lineAtStart_ = true;  // data_[0] begins a line (not a tail carried from inside one)
  size_t carry_ = 0;
  bool eof_ = false;
};

}  // namespace findlark
