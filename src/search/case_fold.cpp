#include "search/case_fold.h"

#include <locale.h>
#include <string.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define FINDLARK_AVX2 1
#endif

namespace findlark {
namespace {

// Forms of one character looked for at once at most: more, and its places are not looked for.
constexpr size_t kMaxForms = 4;

constexpr std::array<unsigned char, 256> MakeLowerTable() {
  std::array<unsigned char, 256> table{};
  for (int i = 0; i < 256; ++i) {
    table[i] = static_cast<unsigned char>((i >= 'A' && i <= 'Z') ? i + 32 : i);
  }
  return table;
}
constexpr std::array<unsigned char, 256> kLower = MakeLowerTable();

// Created once, for telling letters and digits beyond ASCII apart from the rest; glibc's
// iswalnum_l with an explicit locale does not depend on the process's global locale, which the
// window layer may change.
locale_t Utf8Locale() {
  static const locale_t locale = [] {
    locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (l == static_cast<locale_t>(0))
      l = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
    return l;
  }();
  return locale;
}

bool IsCont(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// Each code point beyond ASCII whose lower case is another beyond ASCII, sorted by `from`: the
// C library's C.UTF-8 mappings, written out at build time. Making them when a search starts
// took the locale's loading and a call for each code point, most of a millisecond.
struct FoldPair {
  char32_t from;
  char32_t to;
};
constexpr FoldPair kFoldPairs[] = {
#include "fold_table.inc"
};
static_assert(std::size(kFoldPairs) < 0x10000);

// Where the pairs of each block of 256 code points start in kFoldPairs: a character of a block
// with none (most symbols, CJK, Hangul) is known to stay as it is with one look.
constexpr size_t kFoldBlocks = 0x110000 >> 8;
constexpr std::array<uint16_t, kFoldBlocks + 1> kFoldBlockStart = [] {
  std::array<uint16_t, kFoldBlocks + 1> start{};
  size_t k = 0;
  for (size_t block = 0; block <= kFoldBlocks; ++block) {
    while (k < std::size(kFoldPairs) && (kFoldPairs[k].from >> 8) < block) ++k;
    start[block] = static_cast<uint16_t>(k);
  }
  return start;
}();

// What a code point beyond ASCII folds to: itself unless its lowercase is beyond ASCII too.
constexpr char32_t FoldCodePoint(char32_t cp) {
  if (cp > 0x10FFFF) return cp;
  const FoldPair* begin = kFoldPairs + kFoldBlockStart[cp >> 8];
  const FoldPair* end = kFoldPairs + kFoldBlockStart[(cp >> 8) + 1];
  const FoldPair* it =
      std::lower_bound(begin, end, cp, [](const FoldPair& p, char32_t c) { return p.from < c; });
  return it != end && it->from == cp ? it->to : cp;
}

// Decodes one well-formed UTF-8 sequence (no overlongs, surrogates or values past U+10FFFF).
// Returns its length, or 0 when the bytes at `p` do not start one.
size_t DecodeUtf8(const unsigned char* p, size_t avail, char32_t& cp) {
  const unsigned char c = p[0];
  if (c >= 0xC2 && c <= 0xDF) {
    if (avail < 2 || !IsCont(p[1])) return 0;
    cp = (char32_t(c & 0x1F) << 6) | (p[1] & 0x3F);
    return 2;
  }
  if (c >= 0xE0 && c <= 0xEF) {
    if (avail < 3 || !IsCont(p[1]) || !IsCont(p[2])) return 0;
    if (c == 0xE0 && p[1] < 0xA0) return 0;
    if (c == 0xED && p[1] > 0x9F) return 0;
    cp = (char32_t(c & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (avail < 4 || !IsCont(p[1]) || !IsCont(p[2]) || !IsCont(p[3])) return 0;
    if (c == 0xF0 && p[1] < 0x90) return 0;
    if (c == 0xF4 && p[1] > 0x8F) return 0;
    cp = (char32_t(c & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
         (p[3] & 0x3F);
    return 4;
  }
  return 0;
}

constexpr size_t EncodeUtf8(char32_t cp, char* out) {
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Lowers eight ASCII bytes at once (all bytes must be below 0x80).
uint64_t LowerAscii8(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  const uint64_t atLeastA = w + kOnes * (0x80 - 'A');
  const uint64_t aboveZ = w + kOnes * (0x80 - 'Z' - 1);
  const uint64_t upper = atLeastA & ~aboveZ & (kOnes * 0x80);
  return w | (upper >> 2);
}

bool EqualsFolded(const unsigned char* text, const unsigned char* query, size_t n) {
  for (size_t k = 0; k < n; ++k) {
    if (kLower[text[k]] != query[k]) return false;
  }
  return true;
}

// First position where `text`, lowered bytewise, equals the ASCII `query`.
size_t FindAsciiFolded(std::string_view textView, std::string_view queryView) {
  const size_t n = textView.size();
  const size_t m = queryView.size();
  if (m == 0) return 0;
  if (m > n) return std::string_view::npos;
  const auto* text = reinterpret_cast<const unsigned char*>(textView.data());
  const auto* query = reinterpret_cast<const unsigned char*>(queryView.data());
  const unsigned char first = query[0];
  const unsigned char last = query[m - 1];
  // b | 0x20 equals a lower-case letter exactly when b is that letter in either case.
  const unsigned char firstMask = (first >= 'a' && first <= 'z') ? 0x20 : 0;
  const unsigned char lastMask = (last >= 'a' && last <= 'z') ? 0x20 : 0;
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i vFirst = _mm_set1_epi8(static_cast<char>(first));
  const __m128i vLast = _mm_set1_epi8(static_cast<char>(last));
  const __m128i mFirst = _mm_set1_epi8(static_cast<char>(firstMask));
  const __m128i mLast = _mm_set1_epi8(static_cast<char>(lastMask));
  for (; i + m - 1 + 16 <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + m - 1));
    const __m128i eq = _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, mFirst), vFirst),
                                     _mm_cmpeq_epi8(_mm_or_si128(b, mLast), vLast));
    unsigned bits = static_cast<unsigned>(_mm_movemask_epi8(eq));
    while (bits != 0) {
      const unsigned j = static_cast<unsigned>(__builtin_ctz(bits));
      if (m <= 2 || EqualsFolded(text + i + j + 1, query + 1, m - 2)) return i + j;
      bits &= bits - 1;
    }
  }
#endif
  for (; i + m <= n; ++i) {
    if ((text[i] | firstMask) == first && (text[i + m - 1] | lastMask) == last &&
        (m <= 2 || EqualsFolded(text + i + 1, query + 1, m - 2))) {
      return i;
    }
  }
  return std::string_view::npos;
}

bool HasNonAscii(std::string_view textView) {
  const auto* text = reinterpret_cast<const unsigned char*>(textView.data());
  const size_t n = textView.size();
  size_t i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    if (_mm_movemask_epi8(a) != 0) return true;
  }
#endif
  for (; i < n; ++i) {
    if (text[i] >= 0x80) return true;
  }
  return false;
}

// What each two-byte character (U+0080 to U+07FF, the Latin, Greek, Cyrillic, Hebrew and
// Arabic letters among them) folds to, in UTF-8: looked up, not decoded and mapped each time.
struct FoldedChar {
  char bytes[4];
  unsigned char len;
};
constexpr std::array<FoldedChar, 0x800 - 0x80> kTwoByteFolds = [] {
  std::array<FoldedChar, 0x800 - 0x80> table{};
  for (char32_t cp = 0x80; cp < 0x800; ++cp) {
    FoldedChar& entry = table[cp - 0x80];
    entry.len = static_cast<unsigned char>(EncodeUtf8(FoldCodePoint(cp), entry.bytes));
  }
  return table;
}();

// Folds the character that starts at `in` (a byte alone when none does) into `out`, which has
// room for four bytes. Returns how many bytes of `in` it took; `outLen` is how many it wrote.
size_t FoldChar(const unsigned char* in, size_t avail, char* out, size_t& outLen) {
  const unsigned char c = in[0];
  if (c < 0x80) {
    out[0] = static_cast<char>(kLower[c]);
    outLen = 1;
    return 1;
  }
  if (c >= 0xC2 && c <= 0xDF && avail >= 2 && IsCont(in[1])) {
    const FoldedChar& folded = kTwoByteFolds[((c & 0x1Fu) << 6 | (in[1] & 0x3Fu)) - 0x80];
    std::memcpy(out, folded.bytes, 4);
    outLen = folded.len;
    return 2;
  }
  char32_t cp = 0;
  const size_t len = DecodeUtf8(in, avail, cp);
  if (len == 0) {  // invalid: the byte stays
    out[0] = static_cast<char>(c);
    outLen = 1;
    return 1;
  }
  const char32_t lower = FoldCodePoint(cp);
  if (lower == cp) {
    std::memcpy(out, in, len);
    outLen = len;
  } else {
    outLen = EncodeUtf8(lower, out);
  }
  return len;
}

// The start in `text` of the character whose folded form holds byte `foldedAt` of the
// folded copy.
size_t TextOffset(std::string_view textView, size_t foldedAt) {
  const auto* text = reinterpret_cast<const unsigned char*>(textView.data());
  const size_t n = textView.size();
  size_t i = 0;
  size_t o = 0;
  while (i < n) {
    char folded[4];
    size_t len = 0;
    const size_t took = FoldChar(text + i, n - i, folded, len);
    if (o + len > foldedAt) break;
    i += took;
    o += len;
  }
  return i;
}

}  // namespace

void FoldCaseInto(std::string_view text, std::string& out) {
  const size_t n = text.size();
  out.resize(n + 8);  // room for a few characters that fold a byte longer
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  char* dst = out.data();
  size_t o = 0;
  size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, in + i, 8);
      if (w & 0x8080808080808080ULL) break;
      w = LowerAscii8(w);
      std::memcpy(dst + o, &w, 8);
      i += 8;
      o += 8;
    }
    if (i >= n) break;
    if (in[i] < 0x80) {
      dst[o++] = static_cast<char>(kLower[in[i++]]);
      continue;
    }
    // A lowered letter may need one byte more than its capital (U+023A gives U+2C65).
    if (o + 4 + (n - i) > out.size()) {
      out.resize(out.size() + 8 + (n - i) / 2);
      dst = out.data();
    }
    size_t len = 0;
    i += FoldChar(in + i, n - i, dst + o, len);
    o += len;
  }
  out.resize(o);
}

std::string FoldCase(std::string_view text) {
  std::string out;
  FoldCaseInto(text, out);
  return out;
}

std::string NormalizeQuery(std::string_view typed) {
  constexpr std::string_view kSpace = " \t\n\r\v\f";
  const size_t begin = typed.find_first_not_of(kSpace);
  if (begin == std::string_view::npos) return {};
  const size_t end = typed.find_last_not_of(kSpace);
  return FoldCase(typed.substr(begin, end - begin + 1));
}

QueryMatcher::QueryMatcher(std::string queryLower, bool wholeWord)
    : query_(std::move(queryLower)), wholeWord_(wholeWord) {
  for (unsigned char c : query_) {
    // A capital can never occur in folded text; the folding path keeps that answer exact.
    if (c >= 0x80 || (c >= 'A' && c <= 'Z')) ascii_ = false;
  }
  if (ascii_) return;
  // Folding keeps ASCII bytes as they are, lowered, and makes none from other bytes: the
  // query's longest ASCII run must stand in the text as it is, case aside.
  size_t runStart = 0;
  for (size_t k = 0; k <= query_.size(); ++k) {
    if (k < query_.size() && static_cast<unsigned char>(query_[k]) < 0x80) continue;
    if (k - runStart > anchor_.size()) anchor_ = query_.substr(runStart, k - runStart);
    runStart = k + 1;
  }
  // Where a match holds the first and the last character beyond ASCII: the forms of each (it,
  // and every character that folds to it) are looked for at fixed distances from the match's
  // start, which the ASCII before the first keeps exact. The last only when every character of
  // the query has forms of its own length only, which keeps the distance between them exact.
  const auto* q = reinterpret_cast<const unsigned char*>(query_.data());
  bool fixedWidth = true;
  for (size_t k = 0; k < query_.size();) {
    char32_t cp = 0;
    const size_t len = q[k] < 0x80 ? 1 : DecodeUtf8(q + k, query_.size() - k, cp);
    if (len == 0) {  // not UTF-8: matched as bytes, by the folding path alone
      first_ = last_ = {};
      return;
    }
    if (len > 1) {
      CharForms forms;
      if (!FormsOf(cp, len, forms.bytes, fixedWidth)) break;
      forms.at = k;
      if (first_.bytes.empty()) {
        first_ = forms;
      } else {
        last_ = forms;
      }
    }
    k += len;
  }
  if (!fixedWidth) last_ = {};
}

// The first two bytes of `cp` and of every character that folds to it; false when there are too
// many to look for at once. `fixedWidth` turns false when one is longer or shorter than `len`.
bool QueryMatcher::FormsOf(char32_t cp, size_t len,
                           std::vector<std::array<unsigned char, 2>>& bytes, bool& fixedWidth) {
  std::vector<char32_t> forms{cp};
  for (const FoldPair& pair : kFoldPairs) {
    if (pair.to == cp) forms.push_back(pair.from);
  }
  if (forms.size() > kMaxForms) return false;
  for (char32_t form : forms) {
    char encoded[4];
    if (EncodeUtf8(form, encoded) != len) fixedWidth = false;
    bytes.push_back(
        {static_cast<unsigned char>(encoded[0]), static_cast<unsigned char>(encoded[1])});
  }
  return true;
}

#if defined(FINDLARK_AVX2)
bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// The first two bytes of each form of a character, as pairs.
using FormPairs = std::array<unsigned char, 2>;

// Bit k: one of the `count` forms (their lead and next bytes in every lane) starts at p + k.
__attribute__((target("avx2"))) inline unsigned Places32(const unsigned char* p,
                                                         const __m256i* leads, const __m256i* nexts,
                                                         size_t count) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 1));
  __m256i any = _mm256_setzero_si256();
  for (size_t k = 0; k < count; ++k) {
    any = _mm256_or_si256(
        any, _mm256_and_si256(_mm256_cmpeq_epi8(a, leads[k]), _mm256_cmpeq_epi8(b, nexts[k])));
  }
  return static_cast<unsigned>(_mm256_movemask_epi8(any));
}

bool HasAvx512() {
  static const bool has = __builtin_cpu_supports("avx512bw");
  return has;
}

// Bit k: one of the `count` forms (their lead and next bytes in every lane) starts at p + k.
__attribute__((target("avx512bw"))) inline uint64_t Places64(const unsigned char* p,
                                                             const __m512i* leads,
                                                             const __m512i* nexts, size_t count) {
  const __m512i a = _mm512_loadu_si512(p);
  const __m512i b = _mm512_loadu_si512(p + 1);
  uint64_t any = 0;
  for (size_t k = 0; k < count; ++k)
    any |= _mm512_cmpeq_epi8_mask(a, leads[k]) & _mm512_cmpeq_epi8_mask(b, nexts[k]);
  return any;
}

// NextBlock32 in blocks of 64 places, for AVX-512 alone.
__attribute__((target("avx512bw"))) bool NextBlock64(const unsigned char* text, size_t n, size_t& i,
                                                     size_t apart, const FormPairs* first,
                                                     size_t firstCount, const FormPairs* last,
                                                     size_t lastCount, uint64_t& bits) {
  __m512i firstLeads[kMaxForms], firstNexts[kMaxForms], lastLeads[kMaxForms], lastNexts[kMaxForms];
  for (size_t k = 0; k < firstCount; ++k) {
    firstLeads[k] = _mm512_set1_epi8(static_cast<char>(first[k][0]));
    firstNexts[k] = _mm512_set1_epi8(static_cast<char>(first[k][1]));
  }
  for (size_t k = 0; k < lastCount; ++k) {
    lastLeads[k] = _mm512_set1_epi8(static_cast<char>(last[k][0]));
    lastNexts[k] = _mm512_set1_epi8(static_cast<char>(last[k][1]));
  }
  for (; i + apart + 65 <= n; i += 64) {
    bits = Places64(text + i, firstLeads, firstNexts, firstCount);
    if (lastCount != 0 && bits != 0)
      bits &= Places64(text + i + apart, lastLeads, lastNexts, lastCount);
    if (bits != 0) return true;
  }
  return false;
}

// From place `i` on, in blocks of 32 places while whole ones fit: the first block where a form
// of `first` starts and, with `last`, one of `last` starts `apart` bytes further on. `bits` gets
// the places in the block (bit k: place i + k); false when no whole block is left. Built for
// AVX2 alone, so that a machine without it never runs it.
__attribute__((target("avx2"))) bool NextBlock32(const unsigned char* text, size_t n, size_t& i,
                                                 size_t apart, const FormPairs* first,
                                                 size_t firstCount, const FormPairs* last,
                                                 size_t lastCount, unsigned& bits) {
  // FormsOf gives no character more than kMaxForms forms; `lastCount` is 0 without a last one.
  __m256i firstLeads[kMaxForms], firstNexts[kMaxForms], lastLeads[kMaxForms], lastNexts[kMaxForms];
  for (size_t k = 0; k < firstCount; ++k) {
    firstLeads[k] = _mm256_set1_epi8(static_cast<char>(first[k][0]));
    firstNexts[k] = _mm256_set1_epi8(static_cast<char>(first[k][1]));
  }
  for (size_t k = 0; k < lastCount; ++k) {
    lastLeads[k] = _mm256_set1_epi8(static_cast<char>(last[k][0]));
    lastNexts[k] = _mm256_set1_epi8(static_cast<char>(last[k][1]));
  }
  for (; i + apart + 33 <= n; i += 32) {
    bits = Places32(text + i, firstLeads, firstNexts, firstCount);
    if (lastCount != 0 && bits != 0)
      bits &= Places32(text + i + apart, lastLeads, lastNexts, lastCount);
    if (bits != 0) return true;
  }
  return false;
}
#endif

// Where in the text the first match starts: the places that hold forms of the query's
// characters where a match would are looked at in order, each by folding the text from where
// the match would start against the query. kUnsure once about a quarter of the characters the
// text holds have been folded so: folding it all then costs little more.
size_t QueryMatcher::FirstPlace(std::string_view textView) const {
  const auto* text = reinterpret_cast<const unsigned char*>(textView.data());
  const size_t n = textView.size();
  size_t budget = n / 4 + 64;  // characters folded to look at places
  const bool two = !last_.bytes.empty();
  const size_t apart = two ? last_.at - first_.at : 0;
  // The start of a match whose first character beyond ASCII stands at `pos`, npos when there
  // is none, or kUnsure.
  const auto matchAt = [&](size_t pos) {
    if (pos < first_.at) return std::string_view::npos;
    const size_t start = pos - first_.at;  // the ASCII before it folds byte for byte
    size_t at = start;
    for (size_t q = 0; q < query_.size();) {
      if (at >= n) return std::string_view::npos;
      if (budget-- == 0) return kUnsure;
      char folded[4];
      size_t len = 0;
      at += FoldChar(text + at, n - at, folded, len);
      len = std::min(len, query_.size() - q);
      if (std::memcmp(folded, query_.data() + q, len) != 0) return std::string_view::npos;
      q += len;
    }
    return start;
  };
  const auto isForm = [&](const CharForms& forms, size_t pos) {
    for (const auto& [lead, next] : forms.bytes) {
      if (pos + 1 < n && text[pos] == lead && text[pos + 1] == next) return true;
    }
    return false;
  };
  size_t i = 0;
#if defined(FINDLARK_AVX2)
  if (HasAvx512()) {
    uint64_t bits = 0;
    for (; NextBlock64(text, n, i, apart, first_.bytes.data(), first_.bytes.size(),
                       last_.bytes.data(), last_.bytes.size(), bits);
         i += 64) {
      for (; bits != 0; bits &= bits - 1) {
        const size_t at = matchAt(i + static_cast<size_t>(__builtin_ctzll(bits)));
        if (at != std::string_view::npos) return at;
      }
    }
  }
  if (HasAvx2()) {
    unsigned bits = 0;
    for (; NextBlock32(text, n, i, apart, first_.bytes.data(), first_.bytes.size(),
                       last_.bytes.data(), last_.bytes.size(), bits);
         i += 32) {
      for (; bits != 0; bits &= bits - 1) {
        const size_t at = matchAt(i + static_cast<size_t>(__builtin_ctz(bits)));
        if (at != std::string_view::npos) return at;
      }
    }
  }
#endif
#if defined(__SSE2__)
  // Each form's two bytes in every lane, made once for the whole text.
  struct Lanes {
    explicit Lanes(const CharForms& forms) {
      for (const auto& [lead, next] : forms.bytes) {
        leads[count] = _mm_set1_epi8(static_cast<char>(lead));
        nexts[count++] = _mm_set1_epi8(static_cast<char>(next));
      }
    }
    // Bit k: a form starts at p + k.
    unsigned At(const unsigned char* p) const {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1));
      __m128i any = _mm_and_si128(_mm_cmpeq_epi8(a, leads[0]), _mm_cmpeq_epi8(b, nexts[0]));
      for (size_t k = 1; k < count; ++k) {
        any = _mm_or_si128(any,
                           _mm_and_si128(_mm_cmpeq_epi8(a, leads[k]), _mm_cmpeq_epi8(b, nexts[k])));
      }
      return static_cast<unsigned>(_mm_movemask_epi8(any));
    }
    __m128i leads[kMaxForms];
    __m128i nexts[kMaxForms];
    size_t count = 0;
  };
  const Lanes firstLanes(first_);
  const Lanes lastLanes(two ? last_ : first_);
  for (; i + apart + 17 <= n; i += 16) {
    unsigned bits = firstLanes.At(text + i);
    if (two && bits != 0) bits &= lastLanes.At(text + i + apart);
    for (; bits != 0; bits &= bits - 1) {
      const size_t at = matchAt(i + static_cast<size_t>(__builtin_ctz(bits)));
      if (at != std::string_view::npos) return at;
    }
  }
#endif
  for (; i < n; ++i) {
    if (!isForm(first_, i) || (two && !isForm(last_, i + apart))) continue;
    const size_t at = matchAt(i);
    if (at != std::string_view::npos) return at;
  }
  return std::string_view::npos;
}

namespace {

bool IsWordCharAt(const unsigned char* p, const unsigned char* end) {
  if (*p < 0x80) return std::isalnum(*p) != 0;
  char32_t cp = 0;
  if (DecodeUtf8(p, static_cast<size_t>(end - p), cp) == 0) return false;
  const locale_t locale = Utf8Locale();
  // Without the UTF-8 classes, a character beyond ASCII is taken as part of a word.
  return locale == static_cast<locale_t>(0) || iswalnum_l(static_cast<wint_t>(cp), locale) != 0;
}

}  // namespace

bool IsWholeWordAt(std::string_view text, size_t at, size_t len) {
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  if (at > 0) {
    const unsigned char* p = begin + at - 1;
    for (int k = 0; k < 3 && p > begin && IsCont(*p); ++k) --p;
    if (IsWordCharAt(p, end)) return false;
  }
  return at + len >= text.size() || !IsWordCharAt(begin + at + len, end);
}

size_t QueryMatcher::FindBytes(std::string_view bytes) const {
  return FindAsciiFolded(bytes, query_);
}

size_t QueryMatcher::Find(std::string_view text, std::string& scratch, bool openStart,
                          bool openEnd) const {
  std::string_view folded = text;
  if (!ascii_) {
    // Most texts searched hold no match: refuse them before the copy that folding makes. A
    // text of ASCII alone folds to ASCII alone, which such a query never matches.
    if (!HasNonAscii(text)) return std::string_view::npos;
    if (!anchor_.empty() && FindAsciiFolded(text, anchor_) == std::string_view::npos)
      return std::string_view::npos;
    if (!first_.bytes.empty()) {
      const size_t at = FirstPlace(text);
      if (at == std::string_view::npos) return at;
      // Whether a match stands as a whole word is judged on the folded text.
      if (at != kUnsure && !wholeWord_) return at;
    }
    FoldCaseInto(text, scratch);
    folded = scratch;
  }
  const auto findFrom = [&](size_t from) -> size_t {
    if (ascii_) {
      const size_t at = FindAsciiFolded(folded.substr(from), query_);
      return at == std::string_view::npos ? at : from + at;
    }
    if (query_.empty()) return from;
    const void* hit =
        memmem(folded.data() + from, folded.size() - from, query_.data(), query_.size());
    return hit == nullptr ? std::string_view::npos
                          : static_cast<size_t>(static_cast<const char*>(hit) - folded.data());
  };
  // Where the match found in the folded copy starts in the text.
  const auto inText = [&](size_t at) {
    return ascii_ || at == std::string_view::npos ? at : TextOffset(text, at);
  };
  size_t at = findFrom(0);
  if (!wholeWord_) return inText(at);
  for (; at != std::string_view::npos && at < folded.size(); at = findFrom(at + 1)) {
    const bool touchesEnd = at + query_.size() >= folded.size();
    if (openEnd && touchesEnd) return std::string_view::npos;  // the next piece decides
    if ((at > 0 || !openStart) && IsWholeWordAt(folded, at, query_.size())) return inText(at);
  }
  return std::string_view::npos;
}

}  // namespace findlark
