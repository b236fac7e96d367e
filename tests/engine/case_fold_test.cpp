#include "search/case_fold.h"

#include <gtest/gtest.h>

#include <random>

namespace findlark {
namespace {

TEST(CaseFold, FoldsLettersAndLeavesTheRest) {
  const std::pair<std::string, std::string> cases[] = {
      {"Hello WORLD 123", "hello world 123"},
      {"ÉTÉ Ж Ω", "été ж ω"},
      {"İstanbul", "İstanbul"},  // U+0130 would land in ASCII: kept
      {"\xE2\x84\xAA"
       "elvin",
       "\xE2\x84\xAA"
       "elvin"},                             // Kelvin sign kept
      {"Ⱥ", "ⱥ"},                            // two bytes become three
      {"\xFF\xC3(A\xE9", "\xFF\xC3(a\xE9"},  // invalid bytes stay
      {"\xC0\x81Z", "\xC0\x81z"},            // overlong form is not decoded
      {"\xED\xA0\x80X", "\xED\xA0\x80x"},    // surrogate is not decoded
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ@[`{", "abcdefghijklmnopqrstuvwxyz@[`{"},
      {"", ""},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(FoldCase(in), out) << in;
}

TEST(CaseFold, NormalizeQueryTrimsAllWhiteSpaceKinds) {
  EXPECT_EQ(NormalizeQuery(" \t\n\r\v\fReport Draft\f\v\r\n\t "), "report draft");
  EXPECT_EQ(NormalizeQuery(" \t "), "");
  EXPECT_EQ(NormalizeQuery("ÉTÉ"), "été");
}

// The matcher must answer exactly as a plain search of the folded text.
void ExpectSameAsFoldedFind(const std::string& query, const std::string& text) {
  const QueryMatcher matcher(query);
  std::string scratch;
  const bool expected = FoldCase(text).find(query) != std::string::npos;
  EXPECT_EQ(matcher.Contains(text, scratch), expected)
      << "query '" << query << "' text '" << text << "'";
}

TEST(CaseFold, MatcherAgreesWithFoldingFirst) {
  const std::pair<std::string, std::string> cases[] = {
      {"kelvin",
       "\xE2\x84\xAA"
       "elvin"},  // the Kelvin sign is not a k
      {"elvin",
       "\xE2\x84\xAA"
       "ELVIN"},
      {"istanbul", "İSTANBUL"},
      {"été", "L'ÉTÉ"},
      {"ab",
       "a\xFF"
       "b"},
      {"a\xFF"
       "b",
       "A\xFF"
       "B"},
      {"z", "\xE2\x84\xAAZ"},
      {"@", "`"},
      {"`", "@"},
      {"world", "Hello World"},
      {"Hello", "Hello"},  // not folded: folded text never holds a capital
      {"long query over sixteen bytes", "A LONG QUERY OVER SIXTEEN BYTES, here"},
      {"long query over sixteen bytes", "A LONG QUERY OVER SIXTEEN BYTEZ, here"},
  };
  for (const auto& [query, text] : cases) ExpectSameAsFoldedFind(query, text);
}

TEST(CaseFold, MatcherAgreesWithFoldingFirstOnRandomText) {
  // Pieces chosen to hit every path: ASCII both cases, non-ASCII letters, code points that
  // fold into ASCII, broken sequences.
  const std::vector<std::string> pieces = {
      "a",
      "A",
      "b",
      "B",
      "k",
      "K",
      "z",
      "@",
      "`",
      " ",
      "\n",
      "é",
      "É",
      "ж",
      "Ж",
      "İ",
      "\xE2\x84\xAA",
      "Ⱥ",
      "ⱥ",
      "\xC3",
      "\x89",
      "\xFF",
      "ab",
      "AB",
      "kb",
  };
  std::mt19937 random(20240607);
  auto make = [&](int maxPieces) {
    std::string s;
    const int n = static_cast<int>(random() % static_cast<unsigned>(maxPieces)) + 1;
    for (int i = 0; i < n; ++i) s += pieces[random() % pieces.size()];
    return s;
  };
  for (int round = 0; round < 20000; ++round) {
    const std::string query = FoldCase(make(3));
    std::string text = make(40);
    const QueryMatcher matcher(query);
    std::string scratch;
    const bool expected = FoldCase(text).find(query) != std::string::npos;
    ASSERT_EQ(matcher.Contains(text, scratch), expected)
        << "query '" << query << "' text '" << text << "'";
  }
}

}  // namespace
}  // namespace findlark
