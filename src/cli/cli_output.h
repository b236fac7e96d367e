#pragma once

#include <string>
#include <string_view>

#include "results/result_record.h"

namespace findlark {

struct SearchResults;

// Buffered writes to a file descriptor. A failed write is remembered, and everything after it
// is dropped, so the caller can check once and stop the search.
class FdWriter {
 public:
  explicit FdWriter(int fd, size_t capacity = 256 * 1024);

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

// Text meant for a terminal: as the tsv field, plus the other control bytes (C0 and DEL) as
// \xNN, so a crafted file name cannot send escape sequences to the terminal.
void AppendTerminalText(std::string& out, std::string_view text);

// The six fields of one hit and a line feed: category, path, label, size, date, match line.
void AppendTsvLine(std::string& out, const ResultRecord& record);

// The path and `terminator` (a line feed, or NUL for -0).
void AppendPathLine(std::string& out, const ResultRecord& record, char terminator);

// The results tree as the window shows it: each category that has hits, its label, then its
// leaves in tree order, each with its path. Nothing for a run without hits.
void AppendTree(std::string& out, const SearchResults& results);

}  // namespace findlark
