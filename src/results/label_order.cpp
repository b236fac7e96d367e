#include "results/label_order.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "search/case_fold.h"

namespace findlark {

namespace {

unsigned char FoldAscii(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Compares the folded forms of two labels. ASCII is folded in place; from the first other byte
// on, the rest of both is folded by the routine that matching uses. Up to there both hold only
// ASCII, so that place starts a character in each.
int CompareFolded(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  for (; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if ((x | y) & 0x80) break;
    if (FoldAscii(x) != FoldAscii(y)) return FoldAscii(x) < FoldAscii(y) ? -1 : 1;
  }
  if (i == n) return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  thread_local std::string foldedA, foldedB;
  FoldCaseInto(a.substr(i), foldedA);
  FoldCaseInto(b.substr(i), foldedB);
  const int order = foldedA.compare(foldedB);
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

constexpr uint64_t kOnes = 0x0101010101010101;

// Up to eight bytes as one number, the first byte the most significant, padded with zeros.
uint64_t RawWord(std::string_view text) {
  unsigned char bytes[8] = {};
  if (text.size() == 8) {
    std::memcpy(bytes, text.data(), 8);  // most labels: in line
  } else if (!text.empty()) {
    std::memcpy(bytes, text.data(), text.size());
  }
  uint64_t word = 0;
  for (unsigned char byte : bytes) word = word << 8 | byte;
  return word;
}

// FoldAscii on each byte of a word that holds only ASCII: eight at once, as keys are made for
// every hit at every merge.
uint64_t FoldedAsciiWord(uint64_t word) {
  // No byte is above 0x7f, so no sum carries into the next byte.
  const uint64_t fromA = word + kOnes * (0x80 - 'A');
  const uint64_t pastZ = word + kOnes * (0x80 - 'Z' - 1);
  return word | (fromA & ~pastZ & kOnes * 0x80) >> 2;
}

}  // namespace

int LabelOrder(std::string_view a, std::string_view b) {
  const int order = CompareFolded(a, b);
  if (order != 0) return order;
  // Same letters in another case: a fixed order keeps the tree deterministic.
  const int raw = a.compare(b);
  return raw < 0 ? -1 : (raw > 0 ? 1 : 0);
}

bool LabelLess(std::string_view a, std::string_view b) {
  return LabelOrder(a, b) < 0;
}

LeafKey LabelKey(std::string_view label) {
  const uint64_t high = RawWord(label.substr(0, 8));
  const uint64_t low = label.size() > 8 ? RawWord(label.substr(8, 8)) : 0;
  if (((high | low) & kOnes * 0x80) == 0) return {FoldedAsciiWord(high), FoldedAsciiWord(low)};
  // Thirty-two bytes hold at least sixteen folded bytes of whole characters.
  std::string folded;
  FoldCaseInto(label.substr(0, std::min<size_t>(label.size(), 32)), folded);
  LeafKey key;
  for (size_t i = 0; i < 16; ++i) {
    uint64_t& word = i < 8 ? key.high : key.low;
    word <<= 8;
    if (i < folded.size()) word |= FoldAscii(static_cast<unsigned char>(folded[i]));
  }
  return key;
}

}  // namespace findlark
