// Writes the table of lower-case mappings beyond ASCII, from the C library's C.UTF-8 locale,
// as C++ initialisers: "{from, to}," a line, sorted by `from`. Run at build time, so that a
// search need not load the locale and go through every code point before its first query.
#include <locale.h>
#include <wctype.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fold_table OUTPUT\n");
    return 2;
  }
  locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0))
    locale = newlocale(LC_CTYPE_MASK, "C.utf8", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) {
    std::fprintf(stderr, "make_fold_table: the C.UTF-8 locale is missing\n");
    return 1;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  std::fprintf(out, "// Made by make_fold_table at build time.\n");
  int pairs = 0;
  for (unsigned cp = 0x80; cp <= 0x10FFFF; ++cp) {
    if (cp == 0xD800) cp = 0xE000;  // no surrogates
    const unsigned lower = static_cast<unsigned>(towlower_l(static_cast<wint_t>(cp), locale));
    // A mapping into ASCII is left out: folding keeps the ASCII bytes of a text exact.
    if (lower == cp || lower < 0x80 || lower > 0x10FFFF) continue;
    std::fprintf(out, "{0x%X, 0x%X},\n", cp, lower);
    ++pairs;
  }
  freelocale(locale);
  // A C library with no case tables beyond ASCII would make a search quietly case-blind.
  if (pairs < 1000) {
    std::fprintf(stderr, "make_fold_table: only %d mappings found\n", pairs);
    return 1;
  }
  return std::fclose(out) == 0 ? 0 : 1;
}
