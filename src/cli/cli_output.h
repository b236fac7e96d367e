#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "results/result_record.h"

namespace findlark {

struct SearchResults;

// Buffered writes to a file descriptor. A failed write is remembered, and everything after it
// is dropped, so the caller can check once and stop the search.
class FdWriter {
 public:
  explicit FdWriter(int fd, size_t capacity = 64 * 1024);

  void Append(std::string_view bytes) {
    if (failed_) return;
    buffer_.append(bytes);
    if (buffer_.size() >= capacity_) Flush();
  }
  void Append(char c) {
    if (failed_) return;
    buffer_.push_back(c);
    if (buffer_.size() >= capacity_) Flush();
  }
  std::string& Buffer() { return buffer_; }  // for appending in place; check Full after
  bool Full() const { return buffer_.size() >= capacity_; }
  bool Flush();  // false once any write has failed
  bool Pending() const { return !buffer_.empty(); }
  bool Failed() const { return failed_; }
  int Error() const { return error_; }  // errno of the failed write; EPIPE for a closed pipe

 private:
  int fd_;
  size_t capacity_;
  std::string buffer_;
  bool failed_ = false;
  int error_ = 0;
};

// A field of a tsv line: backslash, tab, line feed and carriage return are written \\ \t \n \r;
// every other byte as it is.
void AppendTsvField(std::string& out, std::string_view field);

// Text meant for a terminal: as the tsv field, plus every other control character (C0, DEL,
// C1 written in UTF-8) and every byte outside well-formed UTF-8 as \xNN, so a crafted file name
// cannot send a control sequence to the terminal; bidirectional and invisible characters as
// "<U+202E>", so it cannot pass for another name either.
void AppendTerminalText(std::string& out, std::string_view text);

// The six fields of one hit and a line feed: category, path, label, size, date, match line.
void AppendTsvLine(std::string& out, const HitView& record);

// One hit as one line of JSON (JSON Lines): {"path", "category", "size", "modified", "line"}.
// Texts that are not valid UTF-8 are given lossily (U+FFFD for each bad byte) and exactly, as
// base64, in "path_base64" or "line_base64". Every control character is escaped, so the line
// is safe on a terminal too. `modified` is local time in ISO 8601 with its offset.
void AppendJsonLine(std::string& out, const HitView& record);

// The path and `terminator` (a line feed, or NUL for -0).
void AppendPathLine(std::string& out, const HitView& record, char terminator);

// SGR colours for the tree; empty strings mean no colour.
struct TreeColors {
  std::string header;  // category labels
  std::string folder;  // folder names: the folder part of each path, and folder hits

  bool Enabled() const { return !header.empty() || !folder.empty(); }
  // Bold headers; folders in the colour LS_COLORS gives them ("di="), else bold blue.
  static TreeColors FromLsColors(const char* lsColors);
};

// The results tree as the window shows it: each category that has hits, its label, then its
// leaves in tree order, each with its path. Nothing for a run without hits. `drain`, when
// given, is called whenever `out` holds a few hundred KiB, to write it out and empty it.
void AppendTree(std::string& out, const SearchResults& results, const TreeColors& colors = {},
                const std::function<void()>& drain = {});

enum class OutputFormat;

// Writes hits as they arrive (paths, -0, tsv) or, for the tree, once the search is over. On a
// terminal names are escaped in every format; piped output carries the exact bytes.
class HitPrinter {
 public:
  HitPrinter(OutputFormat format, bool print0, bool toTerminal, TreeColors colors)
      : format_(format), print0_(print0), toTerminal_(toTerminal), colors_(std::move(colors)) {}

  bool Streams() const;  // false for the tree, which needs every hit first
  void AppendHit(std::string& out, const HitView& record) const;
  // The tree, written through `out` as it is made so that its text never piles up.
  void WriteEnd(FdWriter& out, const SearchResults& results) const;

 private:
  OutputFormat format_;
  bool print0_;
  bool toTerminal_;
  TreeColors colors_;
};

}  // namespace findlark
