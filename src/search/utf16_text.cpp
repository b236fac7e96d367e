#include "search/utf16_text.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace findlark {
namespace {

// Raw bytes read at a time at most, whatever piece is asked for.
constexpr size_t kRawChunk = 64 * 1024;

bool IsHigh(uint32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(uint32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

Utf16Order Utf16Mark(const char* head, size_t n) {
  if (n < 2) return Utf16Order::kNone;
  const auto a = static_cast<unsigned char>(head[0]);
  const auto b = static_cast<unsigned char>(head[1]);
  if (a == 0xFF && b == 0xFE) return Utf16Order::kLittle;
  if (a == 0xFE && b == 0xFF) return Utf16Order::kBig;
  return Utf16Order::kNone;
}

void Utf16Source::Encode(uint32_t cp) {
  if (cp < 0x80) {
    text_ += static_cast<char>(cp);
  } else if (cp < 0x800) {
    text_ += static_cast<char>(0xC0 | (cp >> 6));
    text_ += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    text_ += static_cast<char>(0xE0 | (cp >> 12));
    text_ += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    text_ += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    text_ += static_cast<char>(0xF0 | (cp >> 18));
    text_ += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    text_ += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    text_ += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Converts the next raw piece; false at the end of the file or on an error.
bool Utf16Source::Refill(size_t cap) {
  text_.clear();
  textAt_ = 0;
  while (text_.empty()) {
    if (eof_) return false;
    const size_t kept = raw_.size();
    const size_t want = std::clamp<size_t>(cap, 1, kRawChunk);
    raw_.resize(kept + want);
    ssize_t r;
    do {
      r = pread(fd_, raw_.data() + kept, want, static_cast<off_t>(offset_));
    } while (r < 0 && errno == EINTR);
    if (r < 0) return false;
    raw_.resize(kept + static_cast<size_t>(r));
    offset_ += static_cast<uint64_t>(r);
    if (r == 0) eof_ = true;

    const auto* p = reinterpret_cast<const unsigned char*>(raw_.data());
    const size_t units = raw_.size() / 2;
    size_t i = 0;
    auto unit = [&](size_t k) -> uint32_t {
      return big_ ? (p[2 * k] << 8 | p[2 * k + 1]) : (p[2 * k + 1] << 8 | p[2 * k]);
    };
    for (; i < units; ++i) {
      const uint32_t u = unit(i);
      if (IsHigh(u)) {
        if (i + 1 == units && !eof_) break;  // its partner comes with the next piece
        if (i + 1 < units && IsLow(unit(i + 1))) {
          Encode(0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00));
          ++i;
          continue;
        }
        Encode(0xFFFD);
      } else if (IsLow(u)) {
        Encode(0xFFFD);
      } else {
        Encode(u);
      }
    }
    raw_.erase(0, eof_ ? raw_.size() : 2 * i);
  }
  return true;
}

ssize_t Utf16Source::Read(char* out, size_t cap) {
  if (textAt_ == text_.size() && !Refill(cap)) return eof_ ? 0 : -1;
  const size_t n = std::min(cap, text_.size() - textAt_);
  std::memcpy(out, text_.data() + textAt_, n);
  textAt_ += n;
  return static_cast<ssize_t>(n);
}

}  // namespace findlark
