#pragma once

#include <string>
#include <string_view>

namespace findlark {

inline constexpr const char* kSettingsFileName = "settings.ini";

struct Settings {
  bool searchContents = false;
  std::string searchFolder;  // empty: the whole machine
  std::string folderName;    // shown in the Options menu; derived, not stored
};

// The last component of a folder, or the folder itself when that is empty ("/").
std::string FolderNameOf(std::string_view folder);

// Applies the first line of `path` to `settings`; a missing or unreadable file changes
// nothing, and nothing is ever reported.
void ReadSettings(const std::string& path, Settings& settings);
// The one-line settings text: flag digit, "|", folder, CR LF. A folder holding a line break,
// or ending in CR, would read back as another folder and is left out (the whole machine).
std::string SettingsLine(const Settings& settings);
// Replaces the file atomically; false (and the old file intact) on failure.
bool WriteSettings(const std::string& path, const Settings& settings);

}  // namespace findlark
