#include "search/directory_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

#include "results/display_text.h"
#include "search/content_matcher.h"
#include "search/read_ahead.h"

namespace findlark {
namespace {

// Folders this deep or deeper give up their descriptor while a sub-folder is walked, so a tree
// of any depth needs only about this many descriptors.
constexpr size_t kKeepOpenDepth = 64;

// Offsets inside a linux_dirent64 record.
constexpr size_t kRecLenOffset = 16;
constexpr size_t kTypeOffset = 18;
constexpr size_t kNameOffset = 19;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

enum class Kind { kDir, kRegular, kLink, kSpecial };

struct Frame {
  size_t index = 0;  // depth: 0 for the root
  int fd = -1;
  bool haveStat = false;
  struct stat st {};  // the folder itself, taken when it was opened (deep ones at least)
  std::vector<char> listing;
  size_t pos = 0;
  size_t end = 0;
  bool eof = false;
  bool done = false;         // stopped, or the descriptor could not be got back
  bool noRead = false;       // on a pseudo file system: matched by name only
  bool holdsMounts = false;  // a pruned mount point is among its entries
  size_t prefixLen = 0;      // bytes of the walker's path that name this folder, with its "/"
  // Helpers' work on the current listing chunk (shallow folders only): its sub-folders and its
  // files, either of which may have come planned with the folder itself.
  std::unique_ptr<ReadAhead::Chunk> folders = std::make_unique<ReadAhead::Chunk>();
  std::unique_ptr<ReadAhead::Chunk> files = std::make_unique<ReadAhead::Chunk>();
};

ssize_t GetDents(int fd, char* buf, size_t len) {
  return syscall(SYS_getdents64, fd, buf, len);
}

// The number of CPUs this thread may run on.
int UsableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

int HelperCount(const WalkOptions& options) {
  const int threads = options.threads > 0 ? options.threads : std::min(UsableCpus(), 2);
  return threads - 1;
}

bool IsDots(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// `path` is `folder` or lies below it.
bool IsAtOrBelow(std::string_view path, std::string_view folder) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

class Walker {
 public:
  Walker(const WalkOptions& options, HitSink& sink)
      : options_(options),
        sink_(sink),
        ahead_(
            HelperCount(options),
            [this](int dirFd, const char* name, bool link, struct stat* st, off_t maxSize,
                   bool& declined) { return ReadFile(dirFd, name, link, st, maxSize, declined); },
            [this](const FolderListing& listing, size_t depth, std::vector<ReadAhead::Job>& folders,
                   std::vector<ReadAhead::Job>& files) {
              PlanListedAhead(listing, depth, folders, files);
            },
            options.stop) {}

  void Run(std::string_view root);

 private:
  bool Stopped() const {
    return options_.stop != nullptr && options_.stop->load(std::memory_order_relaxed);
  }
  void SetUpPruning(const std::string& root);
  bool IsPruned(const Frame& frame, std::string_view name);
  void PushFrame(int fd, FolderListing* listed, ReadAhead::Answer* ahead);
  void PlanListedAhead(const FolderListing& listing, size_t depth,
                       std::vector<ReadAhead::Job>& folders,
                       std::vector<ReadAhead::Job>& files) const;
  bool IsFileToRead(std::string_view name, unsigned char type, std::string& scratch,
                    std::string& extension) const;
  void PopFrame();
  int FindParentAgain(const Frame& child, const Frame& parent);
  bool NextEntry(Frame& frame, const char*& name, unsigned char& type);
  void ReadRestOfListing(Frame& frame);
  void PlanChunk(Frame& frame);
  void VisitEntry(Frame& frame, const char* name, unsigned char type);
  void MatchAndRecord(Frame& frame, std::string_view name, const char* nameZ, Kind kind,
                      const struct stat* known, size_t job = ReadAhead::kNoJob);
  // The entry's category when it is not skipped and the type filter admits it; sets `extension`.
  std::optional<FileCategory> AdmittedCategory(std::string_view name, bool isFolder,
                                               std::string& extension) const;
  std::optional<FileCategory> AdmittedCategory(std::string_view name, bool isFolder) {
    return AdmittedCategory(name, isFolder, extension_);
  }
  std::string ReadFile(int dirFd, const char* name, bool link, struct stat* st, off_t maxSize,
                       bool& declined) const;

  const WalkOptions& options_;
  HitSink& sink_;
  std::deque<Frame> frames_;  // deque: a reference stays valid while deeper frames are added
  size_t depth_ = 0;
  std::string path_;  // the current folder's path followed by "/"
  std::string scratch_;
  std::string extension_;
  std::vector<char> restOfListing_;
  std::vector<ReadAhead::Job> jobs_;
  // Pseudo mount points below the root, as paths under the root the way it was given, and the
  // folders that hold them (only their entries need a look-up).
  std::unordered_set<std::string> pruned_;
  std::unordered_set<std::string> prunedParents_;
  std::unordered_set<ino_t> prunedParentInodes_;  // the same folders, known by inode alone
  ReadAhead ahead_;  // last: its helpers are joined before the rest goes
};

// Mount points are known by their real paths; the walk names entries by the root as given,
// which may be a link or hold "..".
void Walker::SetUpPruning(const std::string& root) {
  if (options_.pruned == nullptr) return;
  std::string real = root;
  if (char* resolved = realpath(root.c_str(), nullptr)) {
    real = resolved;
    std::free(resolved);
  }
  for (const std::string& mount : *options_.pruned) {
    if (mount == real || !IsAtOrBelow(mount, real)) continue;  // the chosen root is walked
    std::string path = root == "/" ? std::string() : root;
    path.append(mount, real == "/" ? 0 : real.size());
    const size_t slash = path.rfind('/');
    std::string parent = slash == 0 ? std::string("/") : path.substr(0, slash);
    struct stat st;
    if (stat(parent.c_str(), &st) == 0) prunedParentInodes_.insert(st.st_ino);
    prunedParents_.insert(std::move(parent));
    pruned_.insert(std::move(path));
  }
}

bool Walker::IsPruned(const Frame& frame, std::string_view name) {
  if (!frame.holdsMounts) return false;
  scratch_.assign(path_.data(), frame.prefixLen);
  scratch_.append(name);
  return pruned_.count(scratch_) != 0;
}

// A file on a pseudo file system is never read: some never end, some are used up by reading.
std::string Walker::ReadFile(int dirFd, const char* name, bool link, struct stat* st, off_t maxSize,
                             bool& declined) const {
  return MatchSmallContentAt(dirFd, name, *options_.query, options_.stop, link, st, maxSize,
                             declined, options_.unreadable);
}

void Walker::PushFrame(int fd, FolderListing* listed, ReadAhead::Answer* ahead) {
  if (depth_ == frames_.size()) frames_.emplace_back();
  Frame& frame = frames_[depth_];
  frame.index = depth_;
  frame.fd = fd;
  frame.pos = 0;
  frame.haveStat = false;
  if (listed != nullptr) {
    frame.st = listed->st;
    frame.haveStat = true;
    // Moved, not copied: the work planned inside names entries of this very buffer.
    frame.listing = std::move(listed->records);
    frame.end = frame.listing.size();
    frame.eof = listed->complete;
  } else {
    const bool needStat =
        depth_ >= kKeepOpenDepth || (options_.searchContents && options_.unreadable != nullptr);
    if (needStat) frame.haveStat = fstat(fd, &frame.st) == 0;
    frame.end = 0;
    frame.eof = false;
  }
  if (ahead != nullptr && ahead->inside) frame.folders = std::move(ahead->inside);
  if (ahead != nullptr && ahead->files) frame.files = std::move(ahead->files);
  frame.noRead = options_.searchContents && options_.unreadable != nullptr &&
                 (!frame.haveStat || options_.unreadable->count(frame.st.st_dev) != 0);
  frame.prefixLen = path_.size();
  frame.holdsMounts = false;
  if (!prunedParents_.empty()) {
    const size_t len = frame.prefixLen > 1 ? frame.prefixLen - 1 : frame.prefixLen;
    frame.holdsMounts = prunedParents_.count(path_.substr(0, len)) != 0;
  }
  ++depth_;
  // Stop is looked at once the listing is open, before its first entry.
  frame.done = Stopped();
  if (listed != nullptr && !frame.done) PlanChunk(frame);
}

// The sub-folders of a folder that a helper listed ahead, planned in turn. The walker plans
// the folders that hold pruned mount points itself, as only it knows their paths.
void Walker::PlanListedAhead(const FolderListing& listing, size_t depth,
                             std::vector<ReadAhead::Job>& folders,
                             std::vector<ReadAhead::Job>& files) const {
  if (depth >= kKeepOpenDepth || options_.ignoreListedTypes ||
      prunedParentInodes_.count(listing.st.st_ino) != 0)
    return;
  const bool readFiles =
      options_.searchContents &&
      (options_.unreadable == nullptr || options_.unreadable->count(listing.st.st_dev) == 0);
  std::string scratch;
  std::string extension;
  for (size_t pos = 0; pos < listing.records.size();) {
    const char* record = listing.records.data() + pos;
    unsigned short recLen;
    std::memcpy(&recLen, record + kRecLenOffset, sizeof recLen);
    pos += recLen;
    const char* name = record + kNameOffset;
    const auto type = static_cast<unsigned char>(record[kTypeOffset]);
    if (type == DT_DIR && !IsDots(name)) {
      folders.push_back({name, ReadAhead::Kind::kFolder});
    } else if (readFiles && IsFileToRead(name, type, scratch, extension)) {
      files.push_back(
          {name, type == DT_LNK ? ReadAhead::Kind::kLinkedFile : ReadAhead::Kind::kFile});
    }
  }
}

// A file entry whose contents the walk will want, as far as its listing tells: not a hit by
// name already, and of a category that is searched.
bool Walker::IsFileToRead(std::string_view name, unsigned char type, std::string& scratch,
                          std::string& extension) const {
  if (type != DT_REG && type != DT_LNK) return false;
  if (options_.query->Find(name, scratch) != std::string_view::npos) return false;
  const std::optional<FileCategory> category = AdmittedCategory(name, false, extension);
  return category && IsContentSearchable(*category);
}

// Hands the helpers what the walker will need from the chunk just read: the folders to enter
// and the files to search, as far as the listing alone can tell. A job that turns out not to be
// needed just has its answer dropped.
void Walker::PlanChunk(Frame& frame) {
  if (!ahead_.enabled() || frame.index >= kKeepOpenDepth || frame.fd < 0 ||
      options_.ignoreListedTypes)
    return;
  if (frame.folders->planned()) {
    ahead_.Adopt(*frame.folders);  // came planned with the folder
  } else {
    for (size_t pos = frame.pos; pos < frame.end;) {
      const char* record = frame.listing.data() + pos;
      unsigned short recLen;
      std::memcpy(&recLen, record + kRecLenOffset, sizeof recLen);
      pos += recLen;
      const char* name = record + kNameOffset;
      if (static_cast<unsigned char>(record[kTypeOffset]) == DT_DIR && !IsDots(name) &&
          !IsPruned(frame, name)) {
        jobs_.push_back({name, ReadAhead::Kind::kFolder});
      }
    }
    ahead_.Plan(*frame.folders, frame.fd, frame.index, jobs_);
  }
  if (!options_.searchContents || frame.noRead) return;
  if (frame.files->planned()) {
    ahead_.Adopt(*frame.files);
    return;
  }
  for (size_t pos = frame.pos; pos < frame.end;) {
    const char* record = frame.listing.data() + pos;
    unsigned short recLen;
    std::memcpy(&recLen, record + kRecLenOffset, sizeof recLen);
    pos += recLen;
    const auto type = static_cast<unsigned char>(record[kTypeOffset]);
    const std::string_view name(record + kNameOffset);
    if (!IsFileToRead(name, type, scratch_, extension_) || IsPruned(frame, name)) continue;
    jobs_.push_back(
        {name.data(), type == DT_LNK ? ReadAhead::Kind::kLinkedFile : ReadAhead::Kind::kFile});
  }
  ahead_.Plan(*frame.files, frame.fd, frame.index, jobs_);
}

bool Walker::NextEntry(Frame& frame, const char*& name, unsigned char& type) {
  if (frame.pos >= frame.end) {
    if (frame.eof || frame.fd < 0) return false;
    ahead_.Retire(*frame.files);
    ahead_.Retire(*frame.folders);
    if (frame.listing.size() < kListingChunk) frame.listing.resize(kListingChunk);
    const ssize_t n = GetDents(frame.fd, frame.listing.data(), kListingChunk);
    frame.pos = 0;
    // An error part way ends this folder's listing quietly.
    frame.end = n > 0 ? static_cast<size_t>(n) : 0;
    if (n <= 0) {
      frame.eof = true;
      return false;
    }
    if (!frame.done) PlanChunk(frame);
  }
  const char* record = frame.listing.data() + frame.pos;
  unsigned short recLen;
  std::memcpy(&recLen, record + kRecLenOffset, sizeof recLen);
  type = static_cast<unsigned char>(record[kTypeOffset]);
  name = record + kNameOffset;
  frame.pos += recLen;
  return true;
}

// Reads the rest of a deep folder's listing into memory so that its descriptor can be closed.
void Walker::ReadRestOfListing(Frame& frame) {
  restOfListing_.assign(frame.listing.begin() + static_cast<ptrdiff_t>(frame.pos),
                        frame.listing.begin() + static_cast<ptrdiff_t>(frame.end));
  while (!frame.eof) {
    const size_t used = restOfListing_.size();
    restOfListing_.resize(used + kListingChunk);
    const ssize_t n = GetDents(frame.fd, restOfListing_.data() + used, kListingChunk);
    restOfListing_.resize(used + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n <= 0) frame.eof = true;
  }
  std::vector<char>(restOfListing_.begin(), restOfListing_.end())
      .swap(frame.listing);  // exact size
  frame.pos = 0;
  frame.end = frame.listing.size();
}

// A deep parent gave up its descriptor. Through ".." is quickest; when the child was moved
// elsewhere meanwhile, the parent is found again by its names from the nearest folder still
// open, so that only the moved subtree is affected.
int Walker::FindParentAgain(const Frame& child, const Frame& parent) {
  auto isParent = [&](int fd) {
    struct stat st;
    return fd >= 0 && parent.haveStat && fstat(fd, &st) == 0 && st.st_dev == parent.st.st_dev &&
           st.st_ino == parent.st.st_ino;
  };
  int fd = openat(child.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (isParent(fd)) return fd;
  if (fd >= 0) close(fd);

  size_t anchor = parent.index;
  while (anchor > 0 && frames_[anchor - 1].fd < 0) --anchor;
  if (anchor == 0) return -1;
  const Frame& from = frames_[anchor - 1];
  fd = from.fd;
  std::string name;
  for (size_t pos = from.prefixLen; pos < parent.prefixLen && fd >= 0;) {
    const size_t slash = path_.find('/', pos);
    name.assign(path_, pos, slash - pos);
    const int next = openat(fd, name.c_str(), kFolderFlags);
    if (fd != from.fd) close(fd);
    fd = next;
    pos = slash + 1;
  }
  if (isParent(fd)) return fd;
  if (fd >= 0 && fd != from.fd) close(fd);
  return -1;
}

void Walker::PopFrame() {
  Frame& child = frames_[depth_ - 1];
  ahead_.Retire(*child.files);
  ahead_.Retire(*child.folders);
  if (depth_ == 1) {
    if (child.fd >= 0) close(child.fd);
    child.fd = -1;
    depth_ = 0;
    return;
  }
  Frame& parent = frames_[depth_ - 2];
  if (parent.fd < 0) {
    parent.fd = child.fd >= 0 ? FindParentAgain(child, parent) : -1;
    if (parent.fd < 0) parent.done = true;
  }
  if (child.fd >= 0) close(child.fd);
  child.fd = -1;
  // A shallow folder is looked up afresh, as one that vanished meanwhile is no hit.
  const bool childHasStat = child.haveStat && child.index >= kKeepOpenDepth;
  const struct stat childStat = child.st;
  const size_t childPrefix = child.prefixLen;
  if (child.index >= kKeepOpenDepth) std::vector<char>().swap(child.listing);
  --depth_;

  // The folder's own entry comes after its subtree, even when Stop came during the descent.
  const std::string_view name(path_.data() + parent.prefixLen, childPrefix - parent.prefixLen - 1);
  MatchAndRecord(parent, name, nullptr, Kind::kDir, childHasStat ? &childStat : nullptr);
  path_.resize(parent.prefixLen);
  if (Stopped()) parent.done = true;
}

void Walker::VisitEntry(Frame& frame, const char* name, unsigned char type) {
  if (IsDots(name)) return;
  struct stat lst;
  const struct stat* known = nullptr;
  if (type == DT_UNKNOWN || options_.ignoreListedTypes) {
    if (fstatat(frame.fd, name, &lst, AT_SYMLINK_NOFOLLOW) == 0) {
      known = &lst;
      type = S_ISDIR(lst.st_mode)   ? DT_DIR
             : S_ISLNK(lst.st_mode) ? DT_LNK
             : S_ISREG(lst.st_mode) ? DT_REG
                                    : DT_FIFO;
    } else if (errno == ENOENT) {
      return;  // vanished
    } else {
      type = DT_FIFO;  // cannot be looked up: matched by its name only, never opened
    }
  }
  const std::string_view nameView(name);
  if (type == DT_DIR) {
    const size_t job = frame.folders->JobFor(name);
    if (!IsPruned(frame, nameView)) {
      ReadAhead::Answer answer;
      FolderListing& listed = answer.folder;
      if (job != ReadAhead::kNoJob) {
        answer = ahead_.Take(*frame.folders, job);
      } else {
        listed.fd = openat(frame.fd, name, kFolderFlags);
      }
      if (listed.fd >= 0) {
        path_.resize(frame.prefixLen);
        path_.append(nameView);
        path_.push_back('/');
        if (frame.index >= kKeepOpenDepth) {
          ReadRestOfListing(frame);
          close(frame.fd);
          frame.fd = -1;
        }
        // The entry itself is handled when the subtree is done.
        PushFrame(listed.fd, job != ReadAhead::kNoJob ? &listed : nullptr,
                  job != ReadAhead::kNoJob ? &answer : nullptr);
        return;
      }
    }
    MatchAndRecord(frame, nameView, name, Kind::kDir, known);
    return;
  }
  const Kind kind = type == DT_REG ? Kind::kRegular : type == DT_LNK ? Kind::kLink : Kind::kSpecial;
  MatchAndRecord(frame, nameView, name, kind, known, frame.files->JobFor(name));
}

std::optional<FileCategory> Walker::AdmittedCategory(std::string_view name, bool isFolder,
                                                     std::string& extension) const {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    extension.clear();
  } else {
    FoldCaseInto(name.substr(dot + 1), extension);
  }
  const std::optional<FileCategory> category = ClassifyEntry(isFolder, extension);
  if (!category) return std::nullopt;
  if (options_.typeFilter != kTypeFilterAll && options_.typeFilter != *category)
    return std::nullopt;
  return category;
}

void Walker::MatchAndRecord(Frame& frame, std::string_view name, const char* nameZ, Kind kind,
                            const struct stat* known, size_t job) {
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

  const std::optional<FileCategory> category = AdmittedCategory(name, isFolder);
  if (!category) return;

  std::string matchLine;
  if (!nameHit) {
    // FIFOs, sockets and devices are never opened.
    if (!IsContentSearchable(*category) || !regular || frame.fd < 0 || frame.noRead) return;
    struct stat fileStat;
    if (job != ReadAhead::kNoJob) {
      ReadAhead::Answer answer = ahead_.Take(*frame.files, job);
      matchLine = std::move(answer.matchLine);
      fileStat = answer.fileStat;
    } else if (!IsPruned(frame, name)) {
      bool declined = false;
      matchLine = ReadFile(frame.fd, nameZ, kind == Kind::kLink, &fileStat, -1, declined);
    }
    if (matchLine.empty()) return;
    // What was read is what a link points to, and a link already has that stat.
    if (!haveStat) {
      st = fileStat;
      haveStat = true;
    }
  }
  if (!haveStat && options_.details) {
    // A name that is gone is no hit; one that only cannot be looked up (a folder that can be
    // listed but not entered) is a hit without size and date.
    haveStat = frame.fd >= 0 && fstatat(frame.fd, nameZ, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!haveStat && (frame.fd < 0 || errno == ENOENT)) return;
  }

  ResultRecord record;
  record.path.reserve(frame.prefixLen + name.size());
  record.path.append(path_.data(), frame.prefixLen);
  record.path.append(name);
  // A hit's path never ends in "/" except for the root "/" itself, which is never a hit.
  record.category = *category;
  record.extension = extension_;
  if (options_.details && haveStat) {
    if (*category != kFolders) record.sizeText = FormatSize(static_cast<int64_t>(st.st_size));
    record.dateText = FormatHitDate(st.st_mtime);
  }
  record.matchLine = std::move(matchLine);
  sink_.OnHit(std::move(record));
}

void Walker::Run(std::string_view root) {
  std::string folder = NormalizeRoot(root);
  if (folder.empty()) return;
  // The root the user chose is followed even when it is a link.
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  SetUpPruning(folder);
  path_ = std::move(folder);
  if (path_.back() != '/') path_.push_back('/');
  PushFrame(fd, nullptr, nullptr);

  while (depth_ > 0) {
    Frame& frame = frames_[depth_ - 1];
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    if (frame.done || !NextEntry(frame, name, type)) {
      PopFrame();
      continue;
    }
    const size_t before = depth_;
    VisitEntry(frame, name, type);
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
