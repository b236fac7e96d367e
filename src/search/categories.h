#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace findlark {

inline constexpr int kCategoryCount = 13;
inline constexpr int kTypeFilterAll = -1;

// Index 0-12: tree position of the category node, icon index, and type-filter value (where
// kTypeFilterAll means every type). It converts to and from int, so it indexes and counts as the
// number it is; Valid() is the one range check for a value read from anywhere.
class FileCategory {
 public:
  constexpr FileCategory(int value = 0) : value_(value) {}
  constexpr operator int() const { return value_; }
  constexpr FileCategory& operator++() {
    ++value_;
    return *this;
  }
  constexpr bool Valid() const { return value_ >= 0 && value_ < kCategoryCount; }

 private:
  int value_;
};

enum : int {
  kDocuments = 0,
  kPictures = 1,
  kMusic = 2,
  kVideo = 3,
  kWebpages = 4,
  kPdfDocuments = 5,
  kSpreadsheets = 6,
  kPresentations = 7,
  kApplications = 8,
  kFolders = 9,
  kArchives = 10,
  kSourceCode = 11,
  kOther = 12,
};

extern const std::array<const char*, kCategoryCount> g_categoryNames;

// The part of a name after its last ".", case-folded; empty when there is no "." or it is last.
std::string ExtensionOf(std::string_view name);

// nullopt means the entry is skipped outright (".lnk" and ".url" files).
std::optional<FileCategory> ClassifyEntry(bool isFolder, std::string_view extension);

bool IsContentSearchable(FileCategory category);

// The leaf label: the name less its extension (".htaccess" gives the empty text).
std::string_view TitleOf(std::string_view name);

// The category whose display name equals `name` ignoring ASCII case, or nullopt.
std::optional<FileCategory> CategoryByName(std::string_view name);

}  // namespace findlark
