#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace findlark::testing {

// Date texts are in local time: every engine test reads and writes them in UTC.
inline const bool kInUtc = [] {
  setenv("TZ", "UTC", 1);
  tzset();
  return true;
}();

// Bytes written as in C: \n \r \t \0 \\ \xNN (two hex digits), \uNNNN (as UTF-8, so that an
// invisible or bidirectional character stays visible in the table); everything else as it is.
inline std::string Unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'x' || c == 'u') {
      const size_t digits = c == 'x' ? 2 : 4;
      const unsigned v = std::stoul(std::string(s.substr(i + 1, digits)), nullptr, 16);
      i += digits;
      if (c == 'x' || v < 0x80) {
        out += static_cast<char>(v);
      } else if (v < 0x800) {
        out += {static_cast<char>(0xC0 | v >> 6), static_cast<char>(0x80 | (v & 0x3F))};
      } else {
        out += {static_cast<char>(0xE0 | v >> 12), static_cast<char>(0x80 | (v >> 6 & 0x3F)),
                static_cast<char>(0x80 | (v & 0x3F))};
      }
    } else {
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    }
  }
  return out;
}

// The cases of tests/engine/cases/<name>: a case a line, its fields split at tabs and unescaped.
// Blank lines and lines starting with # are notes. Each case must have `fields` fields.
inline std::vector<std::vector<std::string>> Cases(const std::string& name, size_t fields) {
  std::ifstream in(FINDLARK_CASES_DIR "/" + name, std::ios::binary);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> row;
    for (size_t from = 0, tab = 0; tab != std::string::npos; from = tab + 1) {
      tab = line.find('\t', from);
      row.push_back(Unescape(std::string_view(line).substr(from, tab - from)));
    }
    EXPECT_EQ(row.size(), fields) << name << ": " << line;
    row.resize(fields);
    rows.push_back(std::move(row));
  }
  EXPECT_FALSE(rows.empty()) << "no cases in " << name;
  return rows;
}

// Category names, written out here and not taken from the program's table; "skipped" (never a
// hit) is -1.
inline const char* const kCategoryNames[] = {
    "skipped",  "Documents",     "Pictures",     "Music",         "Video",
    "Webpages", "PDF Documents", "Spreadsheets", "Presentations", "Applications",
    "Folders",  "Archives",      "Source Code",  "Other"};
inline int Category(const std::string& name) {
  for (int i = 0; i < 14; ++i)
    if (name == kCategoryNames[i]) return i - 1;
  ADD_FAILURE() << "no category " << name;
  return -2;
}
inline std::string CategoryName(int category) {
  return category >= -1 && category < 13 ? kCategoryNames[category + 1] : "?";
}

}  // namespace findlark::testing
