#include "search/directory_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <vector>

#include "results/display_text.h"
#include "search/content_matcher.h"

namespace findlark {
namespace {

// Bytes asked of one getdents64 call.
constexpr size_t kListingChunk = 32 * 1024;
// Folders deeper than this give up their descriptor while a sub-folder is walked, so a tree of
// any depth needs only about this many descriptors.
constexpr size_t kKeepOpenDepth = 64;

// Offsets inside a linux_dirent64 record.
constexpr size_t kRecLenOffset = 16;
constexpr size_t kTypeOffset = 18;
constexpr size_t kNameOffset = 19;

enum class Kind { kDir, kRegular, kLink, kSpecial };

struct Frame {
  int fd = -1;
  bool haveStat = false;
  struct stat st {};  // the folder itself, taken when it was opened (only deep ones)
  std::vector<char> listing;
  size_t pos = 0;
  size_t end = 0;
  bool eof = false;
  bool done = false;     // stopped, or the descriptor could not be got back
  size_t prefixLen = 0;  // bytes of the walker's path that name this folder, with its "/"
};

ssize_t GetDents(int fd, char* buf, size_t len) {
  return syscall(SYS_getdents64, fd, buf, len);
}

class Walker {
 public:
  Walker(const WalkOptions& options, HitSink& sink) : options_(options), sink_(sink) {}

  void Run(std::string_view root);

 private:
  bool Stopped() const {
    return options_.stop != nullptr && options_.stop->load(std::memory_order_relaxed);
  }
  Frame& PushFrame(int fd);
  void PopFrame();
  bool NextEntry(Frame& frame, const char*& name, unsigned char& type);
  void Slurp(Frame& frame);
  void TakeEntry(Frame& frame, const char* name, unsigned char type);
  void HandleEntry(Frame& frame, std::string_view name, const char* nameZ, Kind kind,
                   const struct stat* known);

  const WalkOptions& options_;
  HitSink& sink_;
  std::deque<Frame> frames_;  // deque: a reference stays valid while deeper frames are added
  size_t depth_ = 0;
  std::string path_;  // the current folder's path followed by "/"
  std::string scratch_;
  std::string extension_;
  std::vector<char> slurp_;
};

Frame& Walker::PushFrame(int fd) {
  if (depth_ == frames_.size()) frames_.emplace_back();
  Frame& frame = frames_[depth_];
  frame.fd = fd;
  frame.haveStat = false;
  if (depth_ >= kKeepOpenDepth) frame.haveStat = fstat(fd, &frame.st) == 0;
  frame.pos = frame.end = 0;
  frame.eof = false;
  frame.prefixLen = path_.size();
  ++depth_;
  // Stop is looked at once the listing is open, before its first entry.
  frame.done = Stopped();
  return frame;
}

bool Walker::NextEntry(Frame& frame, const char*& name, unsigned char& type) {
  if (frame.pos >= frame.end) {
    if (frame.eof || frame.fd < 0) return false;
    if (frame.listing.size() < kListingChunk) frame.listing.resize(kListingChunk);
    const ssize_t n = GetDents(frame.fd, frame.listing.data(), frame.listing.size());
    frame.pos = 0;
    // An error part way ends this folder's listing quietly.
    frame.end = n > 0 ? static_cast<size_t>(n) : 0;
    if (n <= 0) {
      frame.eof = true;
      return false;
    }
  }
  const char* record = frame.listing.data() + frame.pos;
  unsigned short recLen;
  std::memcpy(&recLen, record + kRecLenOffset, sizeof recLen);
  type = static_cast<unsigned char>(record[kTypeOffset]);
  name = record + kNameOffset;
  frame.pos += recLen;
  return true;
}

// Reads the rest of a listing into memory so that the folder's descriptor can be closed.
void Walker::Slurp(Frame& frame) {
  slurp_.assign(frame.listing.begin() + static_cast<ptrdiff_t>(frame.pos),
                frame.listing.begin() + static_cast<ptrdiff_t>(frame.end));
  while (!frame.eof) {
    const size_t used = slurp_.size();
    slurp_.resize(used + kListingChunk);
    const ssize_t n = GetDents(frame.fd, slurp_.data() + used, kListingChunk);
    slurp_.resize(used + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n <= 0) frame.eof = true;
  }
  std::vector<char>(slurp_.begin(), slurp_.end()).swap(frame.listing);  // exact size
  frame.pos = 0;
  frame.end = frame.listing.size();
}

void Walker::PopFrame() {
  Frame& child = frames_[depth_ - 1];
  if (depth_ == 1) {
    if (child.fd >= 0) close(child.fd);
    child.fd = -1;
    depth_ = 0;
    return;
  }
  Frame& parent = frames_[depth_ - 2];
  if (parent.fd < 0) {
    // Get the parent back through "..", and only if it is still the same folder.
    int fd = child.fd >= 0 ? openat(child.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !parent.haveStat || st.st_dev != parent.st.st_dev ||
                    st.st_ino != parent.st.st_ino)) {
      close(fd);
      fd = -1;
    }
    parent.fd = fd;
    if (fd < 0) parent.done = true;
  }
  if (child.fd >= 0) close(child.fd);
  child.fd = -1;
  const size_t childIndex = depth_ - 1;
  const bool childHasStat = child.haveStat;
  const struct stat childStat = child.st;
  const size_t childPrefix = child.prefixLen;
  if (childIndex >= kKeepOpenDepth) std::vector<char>().swap(child.listing);
  --depth_;

  // The folder's own entry comes after its subtree, even when Stop came during the descent.
  const std::string_view name(path_.data() + parent.prefixLen, childPrefix - parent.prefixLen - 1);
  HandleEntry(parent, name, nullptr, Kind::kDir, childHasStat ? &childStat : nullptr);
  path_.resize(parent.prefixLen);
  if (Stopped()) parent.done = true;
}

void Walker::TakeEntry(Frame& frame, const char* name, unsigned char type) {
  if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) return;
  struct stat lst;
  const struct stat* known = nullptr;
  if (type == DT_UNKNOWN) {
    if (fstatat(frame.fd, name, &lst, AT_SYMLINK_NOFOLLOW) != 0) return;  // vanished
    known = &lst;
    type = S_ISDIR(lst.st_mode)   ? DT_DIR
           : S_ISLNK(lst.st_mode) ? DT_LNK
           : S_ISREG(lst.st_mode) ? DT_REG
                                  : DT_FIFO;
  }
  const std::string_view nameView(name);
  if (type == DT_DIR) {
    path_.resize(frame.prefixLen);
    path_.append(nameView);
    const bool pruned = options_.pruned != nullptr && options_.pruned->count(path_) != 0;
    const int fd = pruned ? -1
                          : openat(frame.fd, name,
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0) {
      path_.push_back('/');
      if (depth_ > kKeepOpenDepth) {
        Slurp(frame);
        close(frame.fd);
        frame.fd = -1;
      }
      PushFrame(fd);  // the entry itself is handled when the subtree is done
      return;
    }
    path_.resize(frame.prefixLen);
    HandleEntry(frame, nameView, name, Kind::kDir, known);
    return;
  }
  const Kind kind = type == DT_REG ? Kind::kRegular : type == DT_LNK ? Kind::kLink : Kind::kSpecial;
  HandleEntry(frame, nameView, name, kind, known);
}

void Walker::HandleEntry(Frame& frame, std::string_view name, const char* nameZ, Kind kind,
                         const struct stat* known) {
  const QueryMatcher& query = *options_.query;
  const bool nameHit = query.Find(name, scratch_) != std::string_view::npos;
  if (!nameHit && !options_.searchContents) return;

  std::string nameCopy;
  if (nameZ == nullptr) {
    nameCopy.assign(name);
    nameZ = nameCopy.c_str();
  }
  struct stat st;
  bool haveStat = false;
  if (known != nullptr) {
    st = *known;
    haveStat = true;
  }
  bool isFolder = kind == Kind::kDir;
  bool regular = kind == Kind::kRegular;
  if (kind == Kind::kLink && frame.fd >= 0 && fstatat(frame.fd, nameZ, &st, 0) == 0) {
    // A link takes the kind, size and date of what it points to.
    haveStat = true;
    isFolder = S_ISDIR(st.st_mode);
    regular = S_ISREG(st.st_mode);
  }

  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    extension_.clear();
  } else {
    FoldCaseInto(name.substr(dot + 1), extension_);
  }
  const std::optional<FileCategory> category = ClassifyEntry(isFolder, extension_);
  if (!category) return;
  if (options_.typeFilter != kTypeFilterAll && options_.typeFilter != *category) return;

  std::string matchLine;
  if (!nameHit) {
    // FIFOs, sockets and devices are never opened.
    if (!IsContentSearchable(*category) || !regular || frame.fd < 0) return;
    matchLine = MatchContentAt(frame.fd, nameZ, query, options_.stop, kind == Kind::kLink);
    if (matchLine.empty()) return;
  }
  if (!haveStat) {
    if (frame.fd < 0 || fstatat(frame.fd, nameZ, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  }

  ResultRecord record;
  record.path.reserve(frame.prefixLen + name.size());
  record.path.append(path_.data(), frame.prefixLen);
  record.path.append(name);
  // A hit's path never ends in "/" except for the root "/" itself, which is never a hit.
  record.category = *category;
  record.extension = extension_;
  if (*category != kFolders) record.sizeText = FormatSize(static_cast<int64_t>(st.st_size));
  record.dateText = FormatHitDate(st.st_mtime);
  record.matchLine = std::move(matchLine);
  sink_.OnHit(std::move(record));
}

void Walker::Run(std::string_view root) {
  std::string folder = NormalizeRoot(root);
  if (folder.empty()) return;
  if (options_.pruned != nullptr && options_.pruned->count(folder) != 0) return;
  // The root the user chose is followed even when it is a link.
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  path_ = std::move(folder);
  if (path_.back() != '/') path_.push_back('/');
  PushFrame(fd);

  while (depth_ > 0) {
    Frame& frame = frames_[depth_ - 1];
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    if (frame.done || !NextEntry(frame, name, type)) {
      PopFrame();
      continue;
    }
    const size_t before = depth_;
    TakeEntry(frame, name, type);
    // After every entry, skipped ones included; a descent is tested when it returns.
    if (depth_ == before && Stopped()) frame.done = true;
  }
}

}  // namespace

void SearchFolder(std::string root, const WalkOptions& options, HitSink& sink) {
  if (options.query == nullptr) return;
  Walker walker(options, sink);
  walker.Run(root);
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path.append(folder);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

std::string NormalizeRoot(std::string_view root) {
  while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
  return std::string(root);
}

}  // namespace findlark
