#include "persist/settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>

#include "persist/atomic_file.h"

namespace findlark {

namespace {

// No real folder line comes near this; a longer first line is not a settings line at all.
constexpr size_t kMaxLineBytes = 64 * 1024;

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The first line without its line end, or nullopt when the file cannot be read or the line is
// longer than kMaxLineBytes.
std::optional<std::string> ReadFirstLine(const std::string& path) {
  // O_NONBLOCK: a FIFO under the settings name must not hang the start.
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;

  std::string line;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    const std::string_view chunk(buffer, static_cast<size_t>(n));
    const size_t lf = chunk.find('\n');
    line.append(chunk.substr(0, lf));
    if (line.size() > kMaxLineBytes) return std::nullopt;
    if (lf != std::string_view::npos) break;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::string FolderNameOf(std::string_view folder) {
  const size_t slash = folder.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? folder : folder.substr(slash + 1);
  return std::string(name.empty() ? folder : name);
}

void ReadSettings(const std::string& path, Settings& settings) {
  const std::optional<std::string> line = ReadFirstLine(path);
  if (!line || line->empty()) return;
  settings.searchContents = (*line)[0] == '1';
  // The second character is a separator and is not looked at.
  settings.searchFolder = line->size() > 2 ? line->substr(2) : std::string();
  if (!settings.searchFolder.empty()) settings.folderName = FolderNameOf(settings.searchFolder);
}

std::string SettingsLine(const Settings& settings) {
  std::string line = settings.searchContents ? "1|" : "0|";
  // A line break would end the line inside the folder, and the next start would search only
  // the part before it; the whole machine is the safer reading.
  if (settings.searchFolder.find('\n') == std::string::npos) line += settings.searchFolder;
  line += "\r\n";
  return line;
}

bool WriteSettings(const std::string& path, const Settings& settings) {
  return WriteFileAtomically(path, SettingsLine(settings));
}

}  // namespace findlark
