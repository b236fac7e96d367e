#include "search/search_filters.h"

#include <fnmatch.h>

#include <cctype>
#include <charconv>
#include <cmath>

#include "results/display_text.h"
#include "search/case_fold.h"

namespace findlark {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  return true;
}

// A number, possibly with a fraction, then a unit from `units` (name and its factor).
template <size_t N>
std::optional<int64_t> NumberWithUnit(std::string_view text,
                                      const std::pair<std::string_view, int64_t> (&units)[N],
                                      bool unitRequired) {
  text = Trim(text);
  size_t digits = 0;
  while (digits < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.'))
    ++digits;
  if (digits == 0) return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + digits, value);
  if (ec != std::errc() || end != text.data() + digits || !(value >= 0)) return std::nullopt;
  const std::string_view unit = Trim(text.substr(digits));
  int64_t factor = 0;
  if (unit.empty() && !unitRequired) factor = 1;
  for (const auto& [name, f] : units)
    if (EqualsNoCase(unit, name)) factor = f;
  if (factor == 0) return std::nullopt;
  const double result = std::round(value * static_cast<double>(factor));
  if (result > 9.2e18) return std::nullopt;
  return static_cast<int64_t>(result);
}

std::string LocalStamp(time_t when) {
  tm t{};
  if (localtime_r(&when, &t) == nullptr) return std::to_string(when);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M", &t);
  return text;
}

}  // namespace

std::optional<int64_t> ParseSize(std::string_view text) {
  static constexpr std::pair<std::string_view, int64_t> kUnits[] = {
      {"b", 1},           {"byte", 1},        {"bytes", 1},       {"k", 1LL << 10},
      {"kb", 1LL << 10},  {"kib", 1LL << 10}, {"m", 1LL << 20},   {"mb", 1LL << 20},
      {"mib", 1LL << 20}, {"g", 1LL << 30},   {"gb", 1LL << 30},  {"gib", 1LL << 30},
      {"t", 1LL << 40},   {"tb", 1LL << 40},  {"tib", 1LL << 40},
  };
  return NumberWithUnit(text, kUnits, false);
}

std::optional<int64_t> ParseDuration(std::string_view text) {
  static constexpr std::pair<std::string_view, int64_t> kUnits[] = {
      {"s", 1},       {"sec", 1},       {"second", 1},     {"seconds", 1},  {"m", 60},
      {"min", 60},    {"mins", 60},     {"minute", 60},    {"minutes", 60}, {"h", 3600},
      {"hour", 3600}, {"hours", 3600},  {"d", 86400},      {"day", 86400},  {"days", 86400},
      {"w", 604800},  {"week", 604800}, {"weeks", 604800},
  };
  return NumberWithUnit(text, kUnits, true);
}

std::optional<time_t> ParseDate(std::string_view text) {
  text = Trim(text);
  tm t{};
  int fields[6] = {0, 0, 0, 0, 0, 0};
  const char seps[] = {'-', '-', ' ', ':', ':'};
  size_t pos = 0;
  int count = 0;
  for (; count < 6; ++count) {
    const size_t start = pos;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) ++pos;
    if (pos == start ||
        std::from_chars(text.data() + start, text.data() + pos, fields[count]).ec != std::errc())
      return std::nullopt;
    if (pos == text.size()) break;
    const char sep = text[pos];
    if (count >= 5 || !(sep == seps[count] || (count == 2 && sep == 'T'))) return std::nullopt;
    ++pos;
  }
  if (count != 2 && count != 4 && count != 5) return std::nullopt;  // date, +hh:mm, +hh:mm:ss
  if (fields[1] < 1 || fields[1] > 12 || fields[2] < 1 || fields[2] > 31 || fields[3] > 23 ||
      fields[4] > 59 || fields[5] > 60)
    return std::nullopt;
  t.tm_year = fields[0] - 1900;
  t.tm_mon = fields[1] - 1;
  t.tm_mday = fields[2];
  t.tm_hour = fields[3];
  t.tm_min = fields[4];
  t.tm_sec = fields[5];
  t.tm_isdst = -1;
  const time_t when = mktime(&t);
  if (when == static_cast<time_t>(-1) || t.tm_mday != fields[2]) return std::nullopt;  // 31 Feb
  return when;
}

std::string DescribeFilters(const SearchFilters& filters) {
  std::string text;
  auto add = [&](const std::string& part) {
    if (!text.empty()) text += "; ";
    text += part;
  };
  if (!filters.exclude.empty()) {
    std::string list;
    for (const std::string& pattern : filters.exclude) list += (list.empty() ? "" : ", ") + pattern;
    add("excluding " + list);
  }
  if (filters.minSize) add("at least " + FormatSize(*filters.minSize));
  if (filters.maxSize) add("at most " + FormatSize(*filters.maxSize));
  if (filters.changedAfter) add("changed since " + LocalStamp(*filters.changedAfter));
  if (filters.changedBefore) add("changed before " + LocalStamp(*filters.changedBefore));
  if (filters.wholeWord) add("whole words");
  if (filters.oneFileSystem) add("one file system");
  return text;
}

ExcludeMatcher::ExcludeMatcher(const std::vector<std::string>& patterns) {
  for (std::string_view pattern : patterns) {
    while (pattern.size() > 1 && pattern.back() == '/') pattern.remove_suffix(1);
    while (!pattern.empty() && pattern.front() == '/') pattern.remove_prefix(1);
    if (pattern.empty()) continue;
    (pattern.find('/') == std::string_view::npos ? names_ : paths_).push_back(FoldCase(pattern));
  }
}

bool ExcludeMatcher::Excluded(std::string_view name, std::string_view relative,
                              std::string& scratch) const {
  if (!names_.empty()) {
    FoldCaseInto(name, scratch);
    for (const std::string& pattern : names_)
      if (fnmatch(pattern.c_str(), scratch.c_str(), 0) == 0) return true;
  }
  if (!paths_.empty()) {
    FoldCaseInto(relative, scratch);
    for (const std::string& pattern : paths_)
      if (fnmatch(pattern.c_str(), scratch.c_str(), FNM_PATHNAME) == 0) return true;
  }
  return false;
}

}  // namespace findlark
