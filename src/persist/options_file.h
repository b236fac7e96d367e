#pragma once

#include <map>
#include <string>
#include <string_view>

#include "search/search_filters.h"

namespace findlark {

// The options that the one-line settings file has no room for, kept beside it as "key=value"
// lines. Keys this version does not know are kept as they were read, so an older Findlark
// never drops what a newer one stored.
inline constexpr const char* kOptionsFileName = "options.ini";
inline constexpr const char* kOptionSearchPdf = "search_pdf";  // "1": search inside PDFs

// The window's filters, kept under keys starting with "filter.".
class OptionsFile;
FilterSettings ReadFilterSettings(const OptionsFile& options);
void WriteFilterSettings(OptionsFile& options, const FilterSettings& filters);

class OptionsFile {
 public:
  // The value of `key`, or `fallback` when it is not set.
  std::string Get(std::string_view key, std::string_view fallback = {}) const;
  bool GetFlag(std::string_view key) const { return Get(key) == "1"; }
  // A key or value holding a line break, or a key holding "=", is not stored.
  void Set(std::string_view key, std::string_view value);
  void SetFlag(std::string_view key, bool on) { Set(key, on ? "1" : "0"); }
  void Remove(std::string_view key);

  // Reads every "key=value" line of `path`; lines without "=", blank ones and those starting
  // with "#" are skipped. A missing, unreadable or oversized file leaves the options empty.
  void Read(const std::string& path);
  std::string Text() const;  // sorted by key, one line each, LF ends
  // Replaces the file atomically; false (and the old file intact) on failure.
  bool Write(const std::string& path) const;

 private:
  std::map<std::string, std::string, std::less<>> values_;
};

}  // namespace findlark
