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

// The code point of a well-formed sequence (as measured above).
char32_t CodePointOf(std::string_view sequence);

// Whether a code point can make a name read as another: the bidirectional controls, which
// reorder what follows (U+202E turns "gpj.js" into "sj.jpg"), and the invisible characters,
// which hide inside a name that looks like a familiar one.
bool IsDisguisingCodePoint(char32_t c);

// Appends the code point as "<U+202E>": upper-case hex, at least four digits.
void AppendCodePointMark(std::string& out, char32_t c);

// A name as a person should read it: the characters above, and control characters, shown as
// marks like "<U+202E>"; everything else as it is (bytes outside UTF-8 included, for the
// display to replace). Only for showing: every action on a file uses its exact bytes.
std::string VisibleName(std::string_view name);

// Appends "\xNN" for each byte of `bytes`.
void AppendHexEscapes(std::string& out, std::string_view bytes);

// Text for a page that declares UTF-8: markup characters as entities, control characters as
// \xNN, the disguising characters above as "&lt;U+202E&gt;" and each byte that is not part of
// well-formed UTF-8 as U+FFFD, so any file name gives a valid page.
void AppendHtmlText(std::string& out, std::string_view text);

}  // namespace findlark
