#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace findlark {

// The one case-folding routine for queries, names and lines: A-Z to a-z, and a valid UTF-8
// code point whose simple lowercase mapping is also non-ASCII is mapped (É to é). Mappings
// that would land in ASCII (İ, the Kelvin sign) and invalid bytes are left as they are, so
// ASCII bytes of the folded text are exactly the lowered ASCII bytes of the original.
std::string FoldCase(std::string_view text);
void FoldCaseInto(std::string_view text, std::string& out);  // out is replaced

// Whether [at, at + len) of `text` stands as a whole word: at the start or end of the text, or
// next to a character that is not a letter or a digit (UTF-8, letters and digits of any script;
// an invalid byte is neither).
bool IsWholeWordAt(std::string_view text, size_t at, size_t len);

// Trims white space (space, \t, \n, \r, \v, \f) at both ends and folds: the query as searched.
std::string NormalizeQuery(std::string_view typed);

// Substring test of a folded query against unfolded text, as if the text were folded first.
// An ASCII query takes a byte-wise ASCII-case-insensitive path with identical answers. With
// `wholeWord`, only a match that no letter or digit touches counts.
class QueryMatcher {
 public:
  explicit QueryMatcher(std::string queryLower, bool wholeWord = false);

  const std::string& query() const { return query_; }

  // Offset in `text` of the first match, or npos; `scratch` may be used to fold the text into.
  // For a piece of a longer text, `openStart` and `openEnd` say that it goes on before or
  // after: a whole word is then not known there, and a match touching that end does not count
  // (yet).
  size_t Find(std::string_view text, std::string& scratch, bool openStart = false,
              bool openEnd = false) const;
  bool Contains(std::string_view text, std::string& scratch) const {
    return Find(text, scratch) != std::string_view::npos;
  }

  // A query of ASCII alone is matched byte by byte, so many names can be searched in one go
  // (a listing, names and what lies between them): FindBytes gives where the first match
  // starts, or npos. Only where ByBytes; a whole word is still to be judged by Find.
  bool ByBytes() const { return ascii_; }
  bool WholeWord() const { return wholeWord_; }
  size_t FindBytes(std::string_view bytes) const;

 private:
  std::string query_;
  bool ascii_ = true;
  bool wholeWord_ = false;
  // The first two bytes of each form of a character beyond ASCII, and where it stands in the
  // query.
  struct CharForms {
    std::vector<std::array<unsigned char, 2>> bytes;
    size_t at = 0;
  };
  static bool FormsOf(char32_t cp, size_t len, std::vector<std::array<unsigned char, 2>>& bytes,
                      bool& fixedWidth);
  // FirstPlace's answer when it gave up before it could tell.
  static constexpr size_t kUnsure = std::string_view::npos - 1;
  size_t FirstPlace(std::string_view text) const;

  // Of a query beyond ASCII: its longest run of ASCII bytes, and the forms of its first and
  // last characters beyond ASCII (none when they cannot be told).
  std::string anchor_;
  CharForms first_;
  CharForms last_;
};

}  // namespace findlark
