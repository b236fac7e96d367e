#include "persist/options_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace findlark
