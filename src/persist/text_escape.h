#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace findlark {

// The length of the well-formed UTF-8 sequence at the start of `text` (1 to 4), or 0 when its
// first byte does not begin one: a stray continuation byte, an overlong form, a surrogate, a
// value beyond U+10FFFF or a cut-off sequence.
size_t Utf8SequenceLength(std::string_view text);

// Whether the sequence (as measured above) is a control character: C0, DEL or C1.
bool IsControlSequence(std::string_view sequence);

// Appends "\xNN" for each byte of `bytes`.
void AppendHexEscapes(std::string& out, std::string_view bytes);

// Text for a page that declares UTF-8: markup characters as entities, control characters as
// \xNN and each byte that is not part of well-formed UTF-8 as U+FFFD, so any file name gives
// a valid page.
void AppendHtmlText(std::string& out, std::string_view text);

}  // namespace findlark
