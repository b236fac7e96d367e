#include "results/label_order.h"

#include <algorithm>
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
  const size_t n = std::min<size_t>(label.size(), 16);
  bool ascii = true;
  for (size_t i = 0; i < n; ++i) ascii = ascii && !(static_cast<unsigned char>(label[i]) & 0x80);
  std::string folded;
  if (!ascii) {
    // Thirty-two bytes hold at least sixteen folded bytes of whole characters.
    FoldCaseInto(label.substr(0, std::min<size_t>(label.size(), 32)), folded);
    label = folded;
  }
  LeafKey key;
  for (size_t i = 0; i < 16; ++i) {
    uint64_t& word = i < 8 ? key.high : key.low;
    word <<= 8;
    if (i < label.size()) word |= FoldAscii(static_cast<unsigned char>(label[i]));
  }
  return key;
}

}  // namespace findlark
