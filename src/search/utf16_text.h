#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "search/line_buffer.h"

namespace findlark {

// The byte-order marks of UTF-16 text; a file that opens with one is read as UTF-16.
enum class Utf16Order { kNone, kLittle, kBig };
Utf16Order Utf16Mark(const char* head, size_t n);

// A UTF-16 file's text as UTF-8, from just past its mark, read in pieces of at most the size
// asked for. Unpaired surrogates become U+FFFD; a lone last byte is dropped. Memory stays a few
// times the piece size whatever the file holds.
class Utf16Source final : public ByteSource {
 public:
  Utf16Source(int fd, Utf16Order order) : fd_(fd), big_(order == Utf16Order::kBig) {}
  ssize_t Read(char* out, size_t cap) override;

 private:
  bool Refill(size_t cap);
  void Encode(uint32_t cp);

  int fd_;
  bool big_;
  uint64_t offset_ = 2;  // past the mark
  bool eof_ = false;
  std::string raw_;      // bytes read and not yet converted: an odd byte or a high surrogate
  std::string text_;     // converted, not yet handed out
  size_t textAt_ = 0;
};

}  // namespace findlark
