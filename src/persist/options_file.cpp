#include "persist/options_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "persist/atomic_file.h"

namespace findlark {
namespace {

// Far more than any set of options; a larger file is not ours.
constexpr size_t kMaxFileBytes = 1 << 20;

bool Storable(std::string_view s) {
  return s.find_first_of("\r\n") == std::string_view::npos;
}

}  // namespace

std::string OptionsFile::Get(std::string_view key, std::string_view fallback) const {
  const auto it = values_.find(key);
  return std::string(it == values_.end() ? fallback : std::string_view(it->second));
}

void OptionsFile::Set(std::string_view key, std::string_view value) {
  if (key.empty() || key.find('=') != std::string_view::npos || !Storable(key) || !Storable(value))
    return;
  values_.insert_or_assign(std::string(key), std::string(value));
}

void OptionsFile::Remove(std::string_view key) {
  if (const auto it = values_.find(key); it != values_.end()) values_.erase(it);
}

void OptionsFile::Read(const std::string& path) {
  // O_NONBLOCK: a FIFO under the name must not hang the start.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return;
  struct stat st {};
  std::string text;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  char buffer[4096];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
    ok = text.size() <= kMaxFileBytes;
  }
  ::close(fd);
  if (!ok) return;
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string_view::npos) continue;
    Set(line.substr(0, eq), line.substr(eq + 1));
  }
}

std::string OptionsFile::Text() const {
  std::string text;
  for (const auto& [key, value] : values_) text += key + "=" + value + "\n";
  return text;
}

bool OptionsFile::Write(const std::string& path) const {
  return WriteFileAtomically(path, Text());
}

namespace {

constexpr std::string_view kExclude = "filter.exclude";
constexpr std::string_view kMinSize = "filter.min_size";
constexpr std::string_view kMaxSize = "filter.max_size";
constexpr std::string_view kChangedWithin = "filter.changed_within";
constexpr std::string_view kChangedAfter = "filter.changed_after";
constexpr std::string_view kChangedBefore = "filter.changed_before";
constexpr std::string_view kWholeWord = "filter.whole_word";
constexpr std::string_view kOneFileSystem = "filter.one_file_system";

std::optional<int64_t> Number(const OptionsFile& options, std::string_view key) {
  const std::string text = options.Get(key);
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// What is not set is not written: a file without filters holds no trace of them.
void SetNumber(OptionsFile& options, std::string_view key, std::optional<int64_t> value) {
  if (value) {
    options.Set(key, std::to_string(*value));
  } else {
    options.Remove(key);
  }
}

void SetText(OptionsFile& options, std::string_view key, const std::string& text) {
  if (!text.empty()) {
    options.Set(key, text);
  } else {
    options.Remove(key);
  }
}

}  // namespace

// Patterns are kept in one value: each ends in ";", with "\\" and ";" escaped by a backslash.
FilterSettings ReadFilterSettings(const OptionsFile& options) {
  FilterSettings settings;
  SearchFilters& f = settings.filters;
  const std::string list = options.Get(kExclude);
  std::string pattern;
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == '\\' && i + 1 < list.size()) {
      pattern += list[++i];
    } else if (list[i] == ';') {
      if (!pattern.empty()) f.exclude.push_back(std::move(pattern));
      pattern.clear();
    } else {
      pattern += list[i];
    }
  }
  if (!pattern.empty()) f.exclude.push_back(std::move(pattern));
  f.minSize = Number(options, kMinSize);
  f.maxSize = Number(options, kMaxSize);
  settings.changedWithin = Number(options, kChangedWithin);
  if (const auto after = Number(options, kChangedAfter)) f.changedAfter = *after;
  if (const auto before = Number(options, kChangedBefore)) f.changedBefore = *before;
  f.wholeWord = options.GetFlag(kWholeWord);
  f.oneFileSystem = options.GetFlag(kOneFileSystem);
  return settings;
}

void WriteFilterSettings(OptionsFile& options, const FilterSettings& settings) {
  const SearchFilters& f = settings.filters;
  std::string list;
  for (const std::string& pattern : f.exclude) {
    for (char c : pattern) {
      if (c == '\\' || c == ';') list += '\\';
      list += c;
    }
    list += ';';
  }
  SetText(options, kExclude, list);
  SetNumber(options, kMinSize, f.minSize);
  SetNumber(options, kMaxSize, f.maxSize);
  SetNumber(options, kChangedWithin, settings.changedWithin);
  SetNumber(options, kChangedAfter, f.changedAfter);
  SetNumber(options, kChangedBefore, f.changedBefore);
  SetText(options, kWholeWord, f.wholeWord ? "1" : "");
  SetText(options, kOneFileSystem, f.oneFileSystem ? "1" : "");
}

}  // namespace findlark
