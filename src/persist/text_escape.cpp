#include "persist/text_escape.h"

namespace findlark {

size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || at(1) < low || at(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return length;
}

bool IsControlSequence(std::string_view sequence) {
  if (sequence.size() == 1) {
    const auto c = static_cast<unsigned char>(sequence[0]);
    return c < 0x20 || c == 0x7F;
  }
  // U+0080 to U+009F are C2 80 to C2 9F.
  return sequence.size() == 2 && static_cast<unsigned char>(sequence[0]) == 0xC2 &&
         static_cast<unsigned char>(sequence[1]) <= 0x9F;
}

char32_t CodePointOf(std::string_view sequence) {
  if (sequence.empty()) return 0;
  const auto at = [&](size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(sequence[i]));
  };
  switch (sequence.size()) {
    case 1:
      return at(0);
    case 2:
      return (at(0) & 0x1F) << 6 | (at(1) & 0x3F);
    case 3:
      return (at(0) & 0x0F) << 12 | (at(1) & 0x3F) << 6 | (at(2) & 0x3F);
    default:
      return (at(0) & 0x07) << 18 | (at(1) & 0x3F) << 12 | (at(2) & 0x3F) << 6 | (at(3) & 0x3F);
  }
}

bool IsDisguisingCodePoint(char32_t c) {
  return c == 0x00AD || c == 0x061C || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x202A && c <= 0x202E) || c == 0x2060 || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

void AppendCodePointMark(std::string& out, char32_t c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "<U+";
  int digits = 4;
  while (digits < 6 && (c >> (4 * digits)) != 0) ++digits;
  for (int i = digits - 1; i >= 0; --i) out += kHex[(c >> (4 * i)) & 0xF];
  out += '>';
}

std::string VisibleName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  while (!name.empty()) {
    const size_t length = Utf8SequenceLength(name);
    if (length == 0) {
      out += name[0];
      name.remove_prefix(1);
      continue;
    }
    const std::string_view sequence = name.substr(0, length);
    name.remove_prefix(length);
    const char32_t c = CodePointOf(sequence);
    if (IsControlSequence(sequence) || IsDisguisingCodePoint(c)) {
      AppendCodePointMark(out, c);
    } else {
      out += sequence;
    }
  }
  return out;
}

void AppendHexEscapes(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
}

void AppendHtmlText(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      text.remove_prefix(1);
      continue;
    }
    const std::string_view sequence = text.substr(0, length);
    text.remove_prefix(length);
    if (IsControlSequence(sequence)) {
      AppendHexEscapes(out, sequence);
      continue;
    }
    if (const char32_t c = CodePointOf(sequence); IsDisguisingCodePoint(c)) {
      std::string mark;
      AppendCodePointMark(mark, c);
      out += "&lt;";
      out.append(mark, 1, mark.size() - 2);
      out += "&gt;";
      continue;
    }
    switch (sequence[0]) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += sequence;
    }
  }
}

}  // namespace findlark
