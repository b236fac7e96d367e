#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace findlark {

// What narrows a search beyond its text, type and folder. Nothing is set by default, and then
// the search is exactly as without filters.
struct SearchFilters {
  // Shell patterns (*, ?, [...]) matched against names folded as the search text is; one holding
  // a '/' is matched against the path below the searched folder. A folder left out is not entered.
  std::vector<std::string> exclude;
  std::optional<int64_t> minSize;  // bytes, inclusive; folders have no size and are kept
  std::optional<int64_t> maxSize;
  std::optional<time_t> changedAfter;   // modification time at or after this
  std::optional<time_t> changedBefore;  // modification time before this
  bool wholeWord = false;               // the text stands as a whole word in the name or line
  bool oneFileSystem = false;           // mounted file systems below the folder are not entered

  bool Any() const {
    return !exclude.empty() || minSize || maxSize || changedAfter || changedBefore || wholeWord ||
           oneFileSystem;
  }
  bool NeedsStat() const { return minSize || maxSize || changedAfter || changedBefore; }
  // The size and modification time of something that is not a folder (or of a folder), in range.
  bool SizeAdmits(int64_t size) const {
    return (!minSize || size >= *minSize) && (!maxSize || size <= *maxSize);
  }
  bool DateAdmits(time_t mtime) const {
    return (!changedAfter || mtime >= *changedAfter) && (!changedBefore || mtime < *changedBefore);
  }
};

// The filters as the window keeps them: "changed within the last N" stays relative to each
// search, and is made a moment when one starts.
struct FilterSettings {
  SearchFilters filters;
  std::optional<int64_t> changedWithin;  // seconds before the search starts

  bool Any() const { return filters.Any() || changedWithin.has_value(); }
  SearchFilters At(time_t now) const {
    SearchFilters at = filters;
    if (changedWithin) at.changedAfter = now - static_cast<time_t>(*changedWithin);
    return at;
  }
};

// "10", "10 KB", "1.5MB", "2g": bytes; units as the window's size texts use them, a KB being
// 1024 bytes (B, K, KB, KiB, M, MB, MiB, G, GB, GiB, T, TB, TiB; any case).
std::optional<int64_t> ParseSize(std::string_view text);
// "30min", "2h", "3 days", "1w", "45s": seconds.
std::optional<int64_t> ParseDuration(std::string_view text);
// "2026-12-07", "2026-12-07 14:30", "2026-12-07T14:30:05": local time.
std::optional<time_t> ParseDate(std::string_view text);

// One line for people, such as "excluding .git, node_modules; at least 10 MB; whole words";
// empty when nothing is set.
std::string DescribeFilters(const SearchFilters& filters);

// Exclusion, with the patterns folded once.
class ExcludeMatcher {
 public:
  explicit ExcludeMatcher(const std::vector<std::string>& patterns);
  bool empty() const { return names_.empty() && paths_.empty(); }
  bool matchesPaths() const { return !paths_.empty(); }
  // `relative` is the entry's path below the searched folder, `name` its last part.
  bool Excluded(std::string_view name, std::string_view relative, std::string& scratch) const;

 private:
  std::vector<std::string> names_;
  std::vector<std::string> paths_;
};

}  // namespace findlark
