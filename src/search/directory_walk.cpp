#include "search/directory_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
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

// How far past the walker's own position a helper may match files: bounds the answers held.
constexpr size_t kWorkAhead = 32;
constexpr size_t kNoSlot = static_cast<size_t>(-1);
// A file takes some microseconds; a short spin before sleeping saves the futex round trip
// that would otherwise cost about as much as the file.
constexpr int kSpinRounds = 2000;
// The largest file the walker reads ahead of its own position while it waits for a helper.
constexpr off_t kWalkerSideMax = 256 * 1024;

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

enum class Kind { kDir, kRegular, kLink, kSpecial };

// A listing entry whose contents will be searched unless something changes before the walker
// gets there; helper threads may match it ahead of time.
struct Candidate {
  size_t offset = 0;  // of its record in the listing chunk
  bool link = false;
};

enum class SlotState : unsigned char { kOpen, kBusy, kDone };

struct Slot {
  SlotState state = SlotState::kOpen;
  std::string answer;
  struct stat st {};  // the file's fstat, meaningful when `answer` is not empty
};

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
  // Work-ahead on the current listing chunk. Only shallow frames take part: their descriptor
  // and chunk stay put until the chunk is used up or the folder is left, and both of those
  // first wait for the helpers to let go of the frame. Guarded by the walker's mutex.
  bool ahead = false;
  std::vector<Candidate> candidates;
  std::vector<Slot> slots;
  size_t candNext = 0;   // the walker's position among the candidates
  size_t claimNext = 0;  // where helpers look for the next open slot
  int inFlight = 0;      // slots of this frame being matched by helpers
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

class Walker {
 public:
  Walker(const WalkOptions& options, HitSink& sink) : options_(options), sink_(sink) {
    int threads = options.contentThreads;
    if (threads <= 0) threads = std::min(UsableCpus(), 2);
    helpersWanted_ = options.searchContents ? threads - 1 : 0;
  }
  ~Walker();

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
                   const struct stat* known, size_t slot = kNoSlot);
  // The entry's category when it is not skipped and the type filter admits it; sets extension_.
  std::optional<FileCategory> AdmittedCategory(std::string_view name, bool isFolder);

  // Work-ahead. Everything below that touches a frame's slots holds mutex_.
  void PlanChunk(Frame& frame);
  void Retire(Frame& frame);
  size_t PassTo(Frame& frame, const char* name);
  std::string TakeSlot(Frame& frame, size_t index, struct stat& st);
  bool FindWork(Frame& frame, size_t& index);
  bool FindAnyWork(Frame*& frame, size_t& index);
  void RunSlot(std::unique_lock<std::mutex>& lock, Frame& frame, size_t index, off_t maxSize = -1);
  void HelperLoop();

  const WalkOptions& options_;
  HitSink& sink_;
  std::deque<Frame> frames_;  // deque: a reference stays valid while deeper frames are added
  size_t depth_ = 0;
  std::string path_;  // the current folder's path followed by "/"
  std::string scratch_;
  std::string extension_;
  std::vector<char> slurp_;

  int helpersWanted_ = 0;
  std::vector<std::thread> helpers_;  // started with the first candidate
  std::mutex mutex_;
  std::condition_variable workCv_;  // helpers wait here for open slots
  std::condition_variable doneCv_;  // the walker waits here for a helper's slot
  // Frames whose chunk helpers may work on, outermost first: shallow folders on the current
  // path. The innermost is served first, then the folders the walker will return to.
  std::vector<Frame*> aheadFrames_;
  bool quit_ = false;
  std::atomic<unsigned> changes_{0};  // bumped under mutex_ whenever a waiter may proceed

  void Changed() { changes_.fetch_add(1, std::memory_order_release); }
  // Spins a little for a change, then sleeps on `cv` until `ready` holds.
  template <class Ready>
  void WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Ready ready) {
    if (ready()) return;
    const unsigned seen = changes_.load(std::memory_order_acquire);
    lock.unlock();
    for (int k = 0; k < kSpinRounds && changes_.load(std::memory_order_acquire) == seen; ++k) {
      CpuRelax();
    }
    lock.lock();
    cv.wait(lock, ready);
  }
};

Walker::~Walker() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    Changed();
  }
  workCv_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

// `frame` is the innermost one, whose chunk was just read.
void Walker::PlanChunk(Frame& frame) {
  if (helpersWanted_ <= 0 || depth_ > kKeepOpenDepth || frame.fd < 0) {
    return;
  }
  // The same tests HandleEntry makes before it searches a file's contents, as far as the
  // listing alone can tell; a candidate that turns out otherwise just has its answer dropped.
  frame.candidates.clear();
  for (size_t pos = frame.pos; pos < frame.end;) {
    const char* record = frame.listing.data() + pos;
    unsigned short recLen;
    std::memcpy(&recLen, record + kRecLenOffset, sizeof recLen);
    const auto type = static_cast<unsigned char>(record[kTypeOffset]);
    const char* name = record + kNameOffset;
    const size_t offset = pos;
    pos += recLen;
    if (type != DT_REG && type != DT_LNK) continue;
    const std::string_view nameView(name);
    if (options_.query->Find(nameView, scratch_) != std::string_view::npos) continue;
    const std::optional<FileCategory> category = AdmittedCategory(nameView, false);
    if (!category || !IsContentSearchable(*category)) continue;
    frame.candidates.push_back({offset, type == DT_LNK});
  }
  if (frame.candidates.empty()) return;
  {
    std::lock_guard lock(mutex_);
    frame.slots.resize(frame.candidates.size());
    for (Slot& slot : frame.slots) {
      slot.state = SlotState::kOpen;
      slot.answer.clear();
    }
    frame.candNext = frame.claimNext = 0;
    frame.ahead = true;
    aheadFrames_.push_back(&frame);
    Changed();
  }
  while (static_cast<int>(helpers_.size()) < helpersWanted_) {
    helpers_.emplace_back(&Walker::HelperLoop, this);
  }
  workCv_.notify_all();
}

// Helpers let go of the frame: afterwards its descriptor may close and its chunk be replaced.
void Walker::Retire(Frame& frame) {
  if (!frame.ahead) return;
  std::unique_lock lock(mutex_);
  // Only the innermost frame is ever retired, so it is the last one listed.
  aheadFrames_.pop_back();
  WaitUntil(lock, doneCv_, [&] { return frame.inFlight == 0; });
  frame.ahead = false;
  frame.candidates.clear();
  for (Slot& slot : frame.slots) std::string().swap(slot.answer);
}

// Moves the walker's position up to the entry `name`; returns its slot, or kNoSlot.
size_t Walker::PassTo(Frame& frame, const char* name) {
  if (!frame.ahead) return kNoSlot;
  const size_t offset = static_cast<size_t>(name - kNameOffset - frame.listing.data());
  size_t index = kNoSlot;
  {
    std::lock_guard lock(mutex_);
    size_t next = frame.candNext;
    while (next < frame.candidates.size() && frame.candidates[next].offset < offset) {
      std::string().swap(frame.slots[next].answer);  // passed over: its answer is not wanted
      ++next;
    }
    if (next < frame.candidates.size() && frame.candidates[next].offset == offset) index = next;
    if (next == frame.candNext) return index;
    frame.candNext = next;  // lets helpers go further ahead
    Changed();
  }
  workCv_.notify_all();
  return index;
}

bool Walker::FindWork(Frame& frame, size_t& index) {
  if (Stopped()) return false;
  const size_t limit = std::min(frame.candidates.size(), frame.candNext + kWorkAhead);
  size_t next = std::max(frame.claimNext, frame.candNext);
  while (next < limit && frame.slots[next].state != SlotState::kOpen) ++next;
  frame.claimNext = next;
  if (next >= limit) return false;
  index = next;
  return true;
}

bool Walker::FindAnyWork(Frame*& frame, size_t& index) {
  for (auto it = aheadFrames_.rbegin(); it != aheadFrames_.rend(); ++it) {
    if (FindWork(**it, index)) {
      frame = *it;
      return true;
    }
  }
  return false;
}

// Matches one slot with the lock released; the frame is kept alive by its inFlight count.
void Walker::RunSlot(std::unique_lock<std::mutex>& lock, Frame& frame, size_t index,
                     off_t maxSize) {
  Slot& slot = frame.slots[index];
  slot.state = SlotState::kBusy;
  ++frame.inFlight;
  frame.claimNext = index + 1;
  const int fd = frame.fd;
  const char* name = frame.listing.data() + frame.candidates[index].offset + kNameOffset;
  const bool link = frame.candidates[index].link;
  lock.unlock();
  struct stat st;
  bool declined = false;
  std::string answer =
      MatchSmallContentAt(fd, name, *options_.query, options_.stop, link, &st, maxSize, declined);
  lock.lock();
  slot.answer = std::move(answer);
  if (!slot.answer.empty()) slot.st = st;
  slot.state = declined ? SlotState::kOpen : SlotState::kDone;
  --frame.inFlight;
  Changed();
  doneCv_.notify_all();
}

void Walker::HelperLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    Frame* frame = nullptr;
    size_t index = 0;
    WaitUntil(lock, workCv_, [&] { return quit_ || FindAnyWork(frame, index); });
    if (quit_) return;
    RunSlot(lock, *frame, index);
  }
}

// The walker's answer for a candidate: a helper's, or its own when no helper has begun it.
std::string Walker::TakeSlot(Frame& frame, size_t index, struct stat& st) {
  std::unique_lock lock(mutex_);
  Slot& slot = frame.slots[index];
  for (;;) {
    if (slot.state == SlotState::kDone) {
      slot.state = SlotState::kBusy;  // taken: nobody claims it again
      if (!slot.answer.empty()) st = slot.st;
      return std::move(slot.answer);
    }
    if (slot.state == SlotState::kOpen) {
      slot.state = SlotState::kBusy;
      lock.unlock();
      const char* name = frame.listing.data() + frame.candidates[index].offset + kNameOffset;
      return MatchContentAt(frame.fd, name, *options_.query, options_.stop,
                            frame.candidates[index].link, &st);
    }
    // A helper has it: rather than idle, match a later file meanwhile, but only a small one,
    // so this entry's hit is not held up by reading something huge.
    Frame* otherFrame = nullptr;
    size_t other = 0;
    if (FindAnyWork(otherFrame, other)) {
      RunSlot(lock, *otherFrame, other, kWalkerSideMax);
      continue;
    }
    WaitUntil(lock, doneCv_, [&] { return slot.state == SlotState::kDone; });
  }
}

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
    Retire(frame);
    if (frame.listing.size() < kListingChunk) frame.listing.resize(kListingChunk);
    const ssize_t n = GetDents(frame.fd, frame.listing.data(), frame.listing.size());
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
  Retire(child);
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
  const size_t slot = PassTo(frame, name);
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
  HandleEntry(frame, nameView, name, kind, known, slot);
}

std::optional<FileCategory> Walker::AdmittedCategory(std::string_view name, bool isFolder) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    extension_.clear();
  } else {
    FoldCaseInto(name.substr(dot + 1), extension_);
  }
  const std::optional<FileCategory> category = ClassifyEntry(isFolder, extension_);
  if (!category) return std::nullopt;
  if (options_.typeFilter != kTypeFilterAll && options_.typeFilter != *category)
    return std::nullopt;
  return category;
}

void Walker::HandleEntry(Frame& frame, std::string_view name, const char* nameZ, Kind kind,
                         const struct stat* known, size_t slot) {
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
    if (!IsContentSearchable(*category) || !regular || frame.fd < 0) return;
    struct stat fileStat;
    matchLine = slot != kNoSlot ? TakeSlot(frame, slot, fileStat)
                                : MatchContentAt(frame.fd, nameZ, query, options_.stop,
                                                 kind == Kind::kLink, &fileStat);
    if (matchLine.empty()) return;
    // What was read is what a link points to, and a link already has that stat.
    if (!haveStat) {
      st = fileStat;
      haveStat = true;
    }
  }
  if (!haveStat && options_.details) {
    if (frame.fd < 0 || fstatat(frame.fd, nameZ, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  }

  ResultRecord record;
  record.path.reserve(frame.prefixLen + name.size());
  record.path.append(path_.data(), frame.prefixLen);
  record.path.append(name);
  // A hit's path never ends in "/" except for the root "/" itself, which is never a hit.
  record.category = *category;
  record.extension = extension_;
  if (options_.details) {
    if (*category != kFolders) record.sizeText = FormatSize(static_cast<int64_t>(st.st_size));
    record.dateText = FormatHitDate(st.st_mtime);
  }
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
