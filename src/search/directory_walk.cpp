#include "search/directory_walk.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "search/borrowed.h"
#include "search/content_matcher.h"
#include "search/file_batch.h"
#include "search/hit_decider.h"
#include "search/prefault.h"
#include "search/subtree_sharing.h"
#include "search/unset_allocator.h"

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

// Bytes asked of one getdents64 call.
constexpr size_t kListingChunk = 32 * 1024;
// A folder that fills most of a chunk is read on to this many bytes at once: threads sharing
// its files wait for each other at the end of each chunk, where the next one is read.
constexpr size_t kWideListing = 256 * 1024;

// Files still ahead in a listing chunk for a content search to hand half of them to an idle
// thread: one folder of many files is then read on more than one core.
constexpr size_t kPartFiles = 16;

// Name hits the root walker holds back before it hands them on together.
constexpr size_t kHoldBatch = 64;
// Hits a walker for another thread collects before it hands them on, or sooner the bytes they
// take: most of a batch's first reservation, so that the batches kept for a thread far behind,
// fresh memory each, are neither half empty nor grown.
constexpr size_t kKeepBatch = 128;
constexpr size_t kKeepBytes = 6 * 1024;

// Not zeroed: the kernel writes a listing before anything reads it, and a thread enters many
// folders.
using Listing = std::vector<char, UnsetAllocator<char>>;

struct Frame {
  size_t index = 0;  // depth: 0 for the root
  int fd = -1;
  bool haveStat = false;
  struct stat st {};  // the folder itself, taken when it was opened (deep ones at least)
  Listing listing;
  size_t pos = 0;
  size_t end = 0;
  // Where the query's next match in the listing starts, at or past the last name looked up:
  // npos for none, kNotLooked before the first name of a listing chunk.
  static constexpr size_t kNotLooked = std::string_view::npos - 1;
  size_t nameMatch = kNotLooked;
  void NewChunk(size_t bytes) {
    pos = 0;
    end = bytes;
    nameMatch = kNotLooked;
  }
  bool eof = false;
  bool done = false;         // stopped, or the descriptor could not be got back
  bool noRead = false;       // on a pseudo file system: matched by name only
  bool holdsMounts = false;  // a pruned mount point is among its entries
  size_t prefixLen = 0;      // bytes of the walker's path that name this folder, with its "/"
  // Sub-folders of the current listing chunk given to other threads, by record offset, the
  // nearest last.
  std::vector<std::pair<size_t, Subtree*>> given;
  bool offered = false;  // Give has been through the current listing chunk: nothing is left in it
  // Parts of the current chunk given to other threads, each up to the one before it (the
  // first up to the end), by record offset, the nearest last.
  std::vector<std::pair<size_t, Subtree*>> parts;
  // Where the part of the chunk that this walker reads itself ends.
  size_t OwnEnd() const { return parts.empty() ? end : parts.back().first; }
};

ssize_t GetDents(int fd, char* buf, size_t len) {
  return syscall(SYS_getdents64, fd, buf, len);
}

// One linux_dirent64 record of a listing.
struct DirRecord {
  const char* name;
  unsigned char type;
  unsigned short length;
};

DirRecord Decode(const char* record) {
  unsigned short length;
  std::memcpy(&length, record + kRecLenOffset, sizeof length);
  return {record + kNameOffset, static_cast<unsigned char>(record[kTypeOffset]), length};
}

// The number of CPUs this thread may run on.
int UsableCpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

// Threads that walk while the disk keeps them waiting, when the count is left to the walk:
// requests in flight, not CPUs, set the pace then.
constexpr int kDiskThreads = 16;

// Folders opened, or files read, between two looks at whether this thread waited on the disk,
// and the blocks of 512 bytes read from a disk meanwhile that say it did: 4 KiB a step. A cold
// folder costs some 6 KiB of reads, a cold file more; a search served from memory still reads
// a stray block now and then, which is no reason to take on threads.
constexpr int kDiskCheckEvery = 64;
constexpr long kDiskBlocksPerCheck = 8 * kDiskCheckEvery;
thread_local int t_diskSteps = 0;
// Where a walker on this thread reads the first bytes of the files it opened ahead. Only one
// walker at a time has any: they end before the next entry that may be a folder, where another
// walker may start on this thread.
struct HeadSpace {
  // Makes the first `n` bytes present, a step at a time in one call each as batches first
  // reach them: a fault a page costs more, and most batches use a small part of the space.
  void MakeReady(size_t n) {
    constexpr size_t kStep = 64 * 1024;
    if (n <= ready) return;
    const size_t upTo = std::min(sizeof bytes, (n + kStep - 1) / kStep * kStep);
    PrefaultForWriting(bytes + ready, upTo - ready);
    ready = upTo;
  }
  // Not zeroed: only what was read is used.
  alignas(4096) char bytes[FileBatch::kMaxOpen * kFirstReadChunk];
  size_t ready = 0;
};
thread_local Borrowed<HeadSpace> t_heads;
// What is read ahead of a file longer than a first read: a page. Its rest takes a read of its
// own anyway, so more would only be copied twice, into the head and on into the line buffer.
constexpr size_t kLongFileHead = 4 * 1024;
thread_local long t_blocksSeen = -1;  // -1: not looked at yet on this thread

// Each walking thread may hold about kKeepOpenDepth folders open, and the files of its
// FileBatch: the count stays within half of what the process may open.
constexpr size_t kDescriptorsPerThread =
    kKeepOpenDepth + FileBatch::kMaxClose + FileBatch::kMaxOpen + 1;  // + the ring

int ThreadsForDescriptors() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1 << 16;
  return std::max(1, static_cast<int>(limit.rlim_cur / 2 / kDescriptorsPerThread));
}

}  // namespace

void RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 && getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  }
  // The kernel grows a process's table of descriptors as higher numbers are first used. Grown
  // while other threads share it, it waits first for every CPU to pass through the scheduler,
  // which can take milliseconds on an idle machine; a search of many files would meet that
  // part way. Grown here, at the start, for what the walk's threads may hold.
  const auto threads = static_cast<rlim_t>(std::max(kDiskThreads, UsableCpus()));
  const rlim_t reserve = std::min(limit.rlim_cur, threads * kDescriptorsPerThread);
  if (reserve <= STDERR_FILENO + 1) return;
  const int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, static_cast<int>(reserve - 1));
  if (fd >= 0) close(fd);
}

namespace {

int HelperCount(const WalkOptions& options) {
  const int threads = options.threads > 0 ? options.threads : UsableCpus();
  return std::min(threads, ThreadsForDescriptors()) - 1;
}

int DiskHelperCount(const WalkOptions& options) {
  if (options.threads > 0) return 0;
  const int threads = std::min(kDiskThreads, ThreadsForDescriptors());
  return std::max(0, threads - 1 - HelperCount(options));
}

// Blocks this thread has read from a disk so far (the page cache spared it the others).
long BlocksRead() {
  struct rusage usage;
  return getrusage(RUSAGE_THREAD, &usage) == 0 ? usage.ru_inblock : 0;
}

bool IsDots(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// `path` is `folder` or lies below it.
bool IsAtOrBelow(std::string_view path, std::string_view folder) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path.starts_with(folder) && (path.size() == folder.size() || path[folder.size()] == '/');
}

// What the walkers of one search share: its options, the pruned mount points, where the hits go
// and the threads that walk parts of it.
class Search {
 public:
  Search(const WalkOptions& options, HitSink& sink);
  void Run(std::string root);

  // On the thread that called SearchFolder only.
  void Deliver(ResultRecord&& record);
  void Deliver(const HitRun& run);
  // Hands on the hits held back: before the walk may wait (on a folder or another thread).
  void HandOn();
  void Collect(Subtree& subtree);
  void SetUpPruning(const std::string& root);
  bool Stopped() const {
    return options.stop != nullptr && options.stop->load(std::memory_order_relaxed);
  }

  const WalkOptions& options;
  size_t rootPrefix = 0;  // the searched folder's path with its final "/"
  // PDF extractions running, the walkers' own and those read ahead; more are read ahead only
  // while fewer than one per CPU run.
  std::atomic<int> pdfRunning{0};
  const int pdfSlots = UsableCpus();
  // Pseudo (and skipped) mount points below the root, as paths under the root the way it was
  // given, and the folders that hold them (only their entries need a look-up).
  std::unordered_set<std::string> pruned;
  std::unordered_set<std::string> skipped;  // pruned, and not even matched by name
  std::unordered_set<std::string> prunedParents;

 private:
  // A folder hit that a walk on one thread, stopped just after the last hit delivered, would
  // still give on its way out: a folder that holds that hit.
  bool IsOnTheWayOut(std::string_view path) const {
    return lastHit_.size() > path.size() && lastHit_.starts_with(path) &&
           lastHit_[path.size()] == '/';
  }

  HitSink& sink_;
  const bool runs_ = sink_.TakesRuns();
  // A name search finds hits faster than a hand-over per hit would let them go, so they are
  // held back in runs; a content search's hits are too far apart to gain from it.
  const bool holdBack_ = runs_ && !options.searchContents;
  HitBatch held_;
  std::string lastHit_;

 public:
  void PrepareToRead() const;

  SubtreeSharing sharing;  // last: its helpers are joined before the rest goes
};

// Walks a tree depth first, on one thread: the search root, handing hits to the sink, or a
// subtree given by another walker, keeping its hits for whoever collects them.
class Walker : WalkReader {
 public:
  Walker(Search& search, Subtree* out)
      : search_(search),
        options_(search.options),
        out_(out),
        slot_(options_.watch ? options_.watch->Acquire() : nullptr),
        decider_(options_, search.rootPrefix, slot_, this) {}
  ~Walker() {
    CloseOpened();
    if (slot_) options_.watch->Release(slot_);
  }
  Walker(const Walker&) = delete;
  Walker& operator=(const Walker&) = delete;

  void Run(std::string_view root);
  void Walk(Subtree& subtree);

 private:
  bool Stopped() const {
    return search_.Stopped() ||
           (out_ != nullptr && (out_->dropped() || search_.sharing.Quitting()));
  }
  void Loop();
  bool IsPruned(const Frame& frame, std::string_view name) {
    return frame.holdsMounts && IsIn(search_.pruned, frame, name);
  }
  bool IsSkipped(const Frame& frame, std::string_view name) {
    return frame.holdsMounts && !search_.skipped.empty() && IsIn(search_.skipped, frame, name);
  }
  bool IsIn(const std::unordered_set<std::string>& mounts, const Frame& frame,
            std::string_view name);
  bool IsExcluded(const Frame& frame, std::string_view name) {
    return decider_.excluding() &&
           decider_.Excluded(std::string_view(path_.data(), frame.prefixLen), name);
  }
  // The walk may be held at `path` (a dead network mount): says so before going there.
  void At(std::string_view path) {
    HandOnFound();
    if (slot_)
      slot_->At(path.size() > 1 && path.back() == '/' ? path.substr(0, path.size() - 1) : path);
  }
  // Before the walk may wait, what it found goes on, rather than wait as long; a helper's only
  // once they are asked for.
  void HandOnFound() {
    if (out_ == nullptr || out_->wanted()) WillWait();
  }
  // WalkReader: also when nobody asks for them yet, as one may begin to while the read goes on.
  void WillWait() override {
    if (out_ == nullptr) {
      search_.HandOn();
    } else if (!kept_.empty()) {
      search_.sharing.Keep(*out_, kept_);
    }
  }
  void PushFrame(int fd, const struct stat* st);
  void PopFrame();
  void Give();
  bool GivePart(Frame& frame);
  bool ReachPart(Frame& frame);
  void TakeHitsOf(Subtree& subtree);
  void TakeBackGiven(Frame& frame);
  int FindParentAgain(size_t child, size_t parent);
  bool NextEntry(Frame& frame, const char*& name, unsigned char& type);
  void ReadRestOfListing(Frame& frame);
  void VisitEntry(Frame& frame, const char* name, unsigned char type);
  // Hands the entry to the decider, and its hit on.
  void MatchAndRecord(Frame& frame, std::string_view name, const char* nameZ, EntryKind kind,
                      const struct stat* known);
  ListedMatch MatchInListing(Frame& frame, std::string_view name) const;
  void Emit(ResultRecord&& record);
  long ReadBlocks() const { return options_.blocksRead ? options_.blocksRead() : BlocksRead(); }
  // Counts a step that may wait on the disk, and now and then tells the sharing if some did.
  // Counted by thread, not by walker: a thread may walk many small subtrees one after another.
  void DiskStep() {
    if (++t_diskSteps < kDiskCheckEvery) return;
    t_diskSteps = 0;
    search_.sharing.LetThreadsMove();
    const long blocks = ReadBlocks();
    if (t_blocksSeen >= 0 && blocks - t_blocksSeen >= kDiskBlocksPerCheck)
      search_.sharing.DiskWait();
    t_blocksSeen = blocks;
  }
  // WalkReader: a PDF's answer read ahead, or read now.
  std::string ReadPdf(const WalkEntry& entry, struct stat* fileStat) override;
  void ReadAhead(const Frame& frame);
  // WalkReader: a plain file opened ahead, with the next ones of the listing when it was not.
  OpenedFile TakeOpened(const WalkEntry& entry) override;
  void OpenAhead(const Frame& frame, size_t pos);
  // Closes what was opened ahead and not taken; called before `frame`'s listing changes.
  void CloseOpened(const Frame* frame = nullptr) {
    if (frame != nullptr && frame != openedFrame_) return;
    for (size_t i = openedNext_; i < opened_.size(); ++i)
      FileBatch::ThisThread().Close(opened_[i].fd);
    opened_.clear();
    openedNext_ = 0;
    openedFrame_ = nullptr;
  }

  Search& search_;
  const WalkOptions& options_;
  Subtree* const out_;  // null: hits go to the sink as they are found
  WalkWatch::Slot* const slot_;
  HitDecider decider_;
  const Frame* listing_ = nullptr;  // that of the entry being decided
  ResultRecord hit_;  // reused: most entries are no hit, and need no record made and freed
  HitBatch kept_;
  std::deque<Frame> frames_;  // deque: a reference stays valid while deeper frames are added
  size_t depth_ = 0;          // frames in use
  size_t base_ = 0;           // the depth of the first frame below the search root
  bool mayGive_ = false;      // a listing was read since Give last found nothing
  std::string path_;          // the current folder's path followed by "/"
  std::string scratch_;
  Listing restOfListing_;
  std::vector<size_t> offsets_;  // for Give
  std::vector<const char*> names_;
  std::vector<Subtree*> subtrees_;
  // PDFs further on in the current listing whose text is being read on other threads, by path:
  // the walker takes each answer when it reaches the entry, so hits keep the walk's order.
  struct ReadAheadResult {
    std::string line;
    struct stat st {};
  };
  std::unordered_map<std::string, std::future<ReadAheadResult>> ahead_;
  std::string aheadKey_;
  std::string aheadScratch_;
  // Plain files opened ahead in one batch, from the entry being read up to the next folder of
  // the listing (so that no descent comes between), in listing order by record offset.
  // Each with its fstat and its first bytes, read in one batch too.
  struct Opened {
    size_t pos;
    int fd;
    bool statted;
    struct stat st;
    FileHead head;
  };
  std::vector<Opened> opened_;
  size_t openedNext_ = 0;
  const Frame* openedFrame_ = nullptr;
  std::vector<const char*> openNames_;
  std::vector<int> openFds_;
  std::vector<int> readFds_;
  std::vector<char*> readBuffers_;
  std::vector<size_t> readLengths_;
  std::vector<ssize_t> readGot_;
  std::vector<size_t> readIndex_;
};

Search::Search(const WalkOptions& options, HitSink& sink)
    : options(options),
      sink_(sink),
      sharing(
          HelperCount(options), [this](Subtree& subtree) { Walker(*this, &subtree).Walk(subtree); },
          options.stop, options.maxHitsAhead, DiskHelperCount(options),
          [this] { PrepareToRead(); }) {}

// What a thread sets up at its first file to read: on a helper, done while the walkers are
// still listing the first folders, instead of after it was given work.
void Search::PrepareToRead() const {
  if (!options.searchContents || options.ignoreListedTypes) return;
  FileBatch::ThisThread().Prepare();
  t_heads->MakeReady(FileBatch::kMaxOpen * kLongFileHead);  // what most batches use
  PrepareToMatch(*options.query);
}

void Search::Run(std::string root) {
  std::string folder = NormalizeRoot(root);
  if (folder.empty()) return;
  rootPrefix = folder == "/" ? 1 : folder.size() + 1;
  Walker(*this, nullptr).Run(folder);
  HandOn();
}

void Search::Collect(Subtree& subtree) {
  HandOn();  // the hits before the subtree's, and its walker may keep this thread waiting
  sharing.Collect(subtree, [this](const HitRun& run) { Deliver(run); });
}

void Search::Deliver(ResultRecord&& record) {
  lastHit_.assign(record.path);
  if (holdBack_ && !Stopped()) {
    held_.AddHit(record);
    if (held_.size() >= kHoldBatch) HandOn();
    return;
  }
  HandOn();
  sink_.OnHit(std::move(record));
}

void Search::HandOn() {
  if (held_.empty()) return;
  sink_.OnHits(held_.AsRun());
  held_.clear();
}

void Search::Deliver(const HitRun& run) {
  if (runs_ && !Stopped()) {
    sink_.OnHits(run);
    lastHit_.assign(LastPath(run));
    return;
  }
  ResultRecord hit;
  Subtree* inside = nullptr;
  for (HitBatch::Reader reader(run); reader.Next(hit, inside);) {
    // Once stopped (the sink may stop it between two hits), only what a walk on one thread
    // would still give on its way out.
    if (Stopped() && !IsOnTheWayOut(hit.path)) continue;
    Deliver(std::move(hit));
  }
}

// Mount points are known by their real paths; the walk names entries by the root as given,
// which may be a link or hold "..".
void Search::SetUpPruning(const std::string& root) {
  if (options.pruned == nullptr && options.skipped == nullptr) return;
  std::string real = root;
  if (char* resolved = realpath(root.c_str(), nullptr)) {
    real = resolved;
    std::free(resolved);
  }
  auto add = [&](const std::string& mount, bool skip) {
    if (mount == real || !IsAtOrBelow(mount, real)) return;  // the chosen root is walked
    std::string path = root == "/" ? std::string() : root;
    path.append(mount, real == "/" ? 0 : real.size());
    const size_t slash = path.rfind('/');
    prunedParents.insert(slash == 0 ? std::string("/") : path.substr(0, slash));
    if (skip) skipped.insert(path);
    pruned.insert(std::move(path));
  };
  if (options.pruned != nullptr)
    for (const std::string& mount : *options.pruned) add(mount, false);
  if (options.skipped != nullptr)
    for (const std::string& mount : *options.skipped) add(mount, true);
}

bool Walker::IsIn(const std::unordered_set<std::string>& mounts, const Frame& frame,
                  std::string_view name) {
  scratch_.assign(path_.data(), frame.prefixLen);
  scratch_.append(name);
  return mounts.count(scratch_) != 0;
}

void Walker::PushFrame(int fd, const struct stat* st) {
  if (depth_ == frames_.size()) frames_.emplace_back();
  Frame& frame = frames_[depth_];
  CloseOpened(&frame);
  frame.index = base_ + depth_;
  frame.fd = fd;
  frame.NewChunk(0);
  frame.eof = false;
  frame.offered = false;
  frame.haveStat = st != nullptr;
  if (st != nullptr) {
    frame.st = *st;
  } else if (frame.index >= kKeepOpenDepth ||
             (options_.searchContents && options_.unreadable != nullptr)) {
    frame.haveStat = fstat(fd, &frame.st) == 0;
  }
  frame.noRead = options_.searchContents && options_.unreadable != nullptr &&
                 (!frame.haveStat || options_.unreadable->count(frame.st.st_dev) != 0);
  frame.prefixLen = path_.size();
  frame.holdsMounts = false;
  if (!search_.prunedParents.empty()) {
    const size_t len = frame.prefixLen > 1 ? frame.prefixLen - 1 : frame.prefixLen;
    frame.holdsMounts = search_.prunedParents.count(path_.substr(0, len)) != 0;
  }
  ++depth_;
  mayGive_ = true;
  DiskStep();
  // Stop is looked at once the listing is open, before its first entry.
  frame.done = Stopped();
}

// Another thread is idle: hands over the sub-folders still ahead in the listing of the
// shallowest folder that has any, the largest pieces of work. The helpers start on the
// farthest, this walker goes on with the nearest, and what nobody started it takes back.
void Walker::Give() {
  if (!mayGive_ || options_.ignoreListedTypes) return;
  for (size_t k = 0; k < depth_; ++k) {
    Frame& frame = frames_[k];
    if (frame.done || frame.fd < 0 || frame.index + 1 >= kKeepOpenDepth) continue;
    if (frame.offered) {
      if (k + 1 == depth_ && GivePart(frame)) return;
      continue;
    }
    // Every sub-folder ahead in the chunk is given now, or is the walker's very next one.
    frame.offered = true;
    const size_t limit = frame.given.empty() ? frame.OwnEnd() : frame.given.back().first;
    offsets_.clear();
    names_.clear();
    for (size_t pos = frame.pos; pos < limit;) {
      const DirRecord record = Decode(frame.listing.data() + pos);
      if (record.type == DT_DIR && !IsDots(record.name) && !IsPruned(frame, record.name) &&
          !IsExcluded(frame, record.name)) {
        offsets_.push_back(pos);
        names_.push_back(record.name);
      }
      pos += record.length;
    }
    // The next folder of the walker's own listing is entered at once: not worth handing over.
    if (k + 1 == depth_ && !names_.empty()) {
      offsets_.erase(offsets_.begin());
      names_.erase(names_.begin());
    }
    if (names_.empty()) {
      if (k + 1 == depth_ && GivePart(frame)) return;
      continue;
    }
    subtrees_.clear();
    search_.sharing.Give(frame.fd, std::string_view(path_.data(), frame.prefixLen), frame.index + 1,
                         names_, subtrees_);
    for (size_t i = subtrees_.size(); i-- > 0;) frame.given.emplace_back(offsets_[i], subtrees_[i]);
    return;
  }
  mayGive_ = false;
}

// The walker's own listing has no folder left ahead to give: the second half of the files of
// its own part of the chunk go instead, when they are to be read and there are enough of them
// to pay for the hand-over.
bool Walker::GivePart(Frame& frame) {
  if (!options_.searchContents || frame.noRead || !frame.given.empty()) return false;
  offsets_.clear();
  const size_t end = frame.OwnEnd();
  for (size_t pos = frame.pos; pos < end;) {
    const DirRecord record = Decode(frame.listing.data() + pos);
    if (record.type == DT_REG) offsets_.push_back(pos);
    pos += record.length;
  }
  if (offsets_.size() < kPartFiles) return false;
  const size_t at = offsets_[offsets_.size() / 2];
  Subtree* part =
      search_.sharing.GivePart(frame.fd, std::string_view(path_.data(), frame.prefixLen),
                               frame.index, std::string_view(frame.listing.data() + at, end - at));
  if (part == nullptr) return false;
  frame.parts.emplace_back(at, part);
  return true;
}

// The walker got to the nearest part it gave: its hits go here, or it reads it on as if it had
// never been given. False: the walk of the folder ends here.
bool Walker::ReachPart(Frame& frame) {
  Subtree& part = *frame.parts.back().second;
  frame.parts.pop_back();
  if (!search_.sharing.Reached(part)) return true;
  CloseOpened(&frame);
  TakeHitsOf(part);
  frame.pos = frame.OwnEnd();  // where the next part starts, or the end
  if (!Stopped()) return true;
  frame.done = true;
  return false;
}

void Walker::TakeHitsOf(Subtree& subtree) {
  if (out_ != nullptr) {
    kept_.AddSubtree(&subtree);
    return;
  }
  // The helper walking it is watched on its own.
  if (slot_) slot_->SetWaiting(true);
  search_.Collect(subtree);
  if (slot_) slot_->SetWaiting(false);
}

void Walker::TakeBackGiven(Frame& frame) {
  for (const auto& [offset, subtree] : frame.given) search_.sharing.TakeBack(*subtree);
  frame.given.clear();
  for (const auto& [offset, part] : frame.parts) search_.sharing.TakeBack(*part);
  frame.parts.clear();
}

bool Walker::NextEntry(Frame& frame, const char*& name, unsigned char& type) {
  while (!frame.parts.empty() && frame.pos >= frame.parts.back().first) {
    if (!ReachPart(frame)) return false;
  }
  if (frame.pos >= frame.end) {
    if (frame.eof || frame.fd < 0) return false;
    TakeBackGiven(frame);
    CloseOpened(&frame);
    if (frame.listing.size() < kListingChunk) frame.listing.resize(kListingChunk);
    HandOnFound();
    const ssize_t n = GetDents(frame.fd, frame.listing.data(), kListingChunk);
    // An error part way ends this folder's listing quietly.
    frame.NewChunk(n > 0 ? static_cast<size_t>(n) : 0);
    if (n <= 0) {
      frame.eof = true;
      return false;
    }
    while (frame.end > kListingChunk / 2 && frame.end + kListingChunk <= kWideListing) {
      if (frame.listing.size() < kWideListing) frame.listing.resize(kWideListing);
      const ssize_t more =
          GetDents(frame.fd, frame.listing.data() + frame.end, kWideListing - frame.end);
      if (more <= 0) {
        frame.eof = true;
        break;
      }
      frame.end += static_cast<size_t>(more);
    }
    frame.offered = false;
    mayGive_ = true;
  }
  const DirRecord record = Decode(frame.listing.data() + frame.pos);
  type = record.type;
  name = record.name;
  frame.pos += record.length;
  return true;
}

// Reads the rest of a deep folder's listing into memory so that its descriptor can be closed.
void Walker::ReadRestOfListing(Frame& frame) {
  CloseOpened(&frame);
  HandOnFound();
  restOfListing_.assign(frame.listing.begin() + static_cast<ptrdiff_t>(frame.pos),
                        frame.listing.begin() + static_cast<ptrdiff_t>(frame.end));
  while (!frame.eof) {
    const size_t used = restOfListing_.size();
    restOfListing_.resize(used + kListingChunk);
    const ssize_t n = GetDents(frame.fd, restOfListing_.data() + used, kListingChunk);
    restOfListing_.resize(used + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n <= 0) frame.eof = true;
  }
  Listing(restOfListing_.begin(), restOfListing_.end()).swap(frame.listing);  // exact size
  frame.NewChunk(frame.listing.size());
}

// A deep parent gave up its descriptor. Through ".." is quickest; when the child was moved
// elsewhere meanwhile, the parent is found again by its names from the nearest folder still
// open, so that only the moved subtree is affected.
int Walker::FindParentAgain(size_t childAt, size_t parentAt) {
  const Frame& child = frames_[childAt];
  const Frame& parent = frames_[parentAt];
  auto isParent = [&](int fd) {
    struct stat st;
    return fd >= 0 && parent.haveStat && fstat(fd, &st) == 0 && st.st_dev == parent.st.st_dev &&
           st.st_ino == parent.st.st_ino;
  };
  int fd = openat(child.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (isParent(fd)) return fd;
  if (fd >= 0) close(fd);

  size_t anchor = parentAt;
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
  TakeBackGiven(child);
  CloseOpened(&child);
  if (depth_ == 1) {
    if (child.fd >= 0) close(child.fd);
    child.fd = -1;
    depth_ = 0;
    return;
  }
  Frame& parent = frames_[depth_ - 2];
  if (parent.fd < 0) {
    parent.fd = child.fd >= 0 ? FindParentAgain(depth_ - 1, depth_ - 2) : -1;
    if (parent.fd < 0) parent.done = true;
  }
  if (child.fd >= 0) close(child.fd);
  child.fd = -1;
  // A shallow folder is looked up afresh, as one that vanished meanwhile is no hit.
  const bool childHasStat = child.haveStat && child.index >= kKeepOpenDepth;
  const struct stat childStat = child.st;
  const size_t childPrefix = child.prefixLen;
  if (child.index >= kKeepOpenDepth) Listing().swap(child.listing);
  --depth_;

  // The folder's own entry comes after its subtree, even when Stop came during the descent.
  const std::string_view name(path_.data() + parent.prefixLen, childPrefix - parent.prefixLen - 1);
  MatchAndRecord(parent, name, nullptr, EntryKind::kDir, childHasStat ? &childStat : nullptr);
  path_.resize(parent.prefixLen);
  if (Stopped()) parent.done = true;
}

void Walker::VisitEntry(Frame& frame, const char* name, unsigned char type) {
  if (IsDots(name)) return;
  if (type == DT_DIR || type == DT_UNKNOWN) CloseOpened();
  if (IsSkipped(frame, name) || IsExcluded(frame, name)) return;
  struct stat lst;
  const struct stat* known = nullptr;
  if (type == DT_UNKNOWN || options_.ignoreListedTypes) {
    if (fstatat(frame.fd, name, &lst, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0) {
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
    const size_t offset = static_cast<size_t>(name - kNameOffset - frame.listing.data());
    if (!frame.given.empty() && frame.given.back().first == offset) {
      Subtree& subtree = *frame.given.back().second;
      frame.given.pop_back();
      if (search_.sharing.Reached(subtree)) {
        // Its hits come here, then its own entry, as if walked on this thread.
        TakeHitsOf(subtree);
        MatchAndRecord(frame, nameView, name, EntryKind::kDir, nullptr);
        return;
      }
    }
    if (!IsPruned(frame, nameView)) {
      path_.resize(frame.prefixLen);
      path_.append(nameView);
      At(path_);
      path_.push_back('/');
      const int fd = openat(frame.fd, name, kFolderFlags);
      if (fd >= 0) {
        if (frame.index >= kKeepOpenDepth) {
          ReadRestOfListing(frame);
          close(frame.fd);
          frame.fd = -1;
        }
        // The entry itself is handled when the subtree is done.
        PushFrame(fd, nullptr);
        return;
      }
      path_.resize(frame.prefixLen);
    }
    MatchAndRecord(frame, nameView, name, EntryKind::kDir, known);
    return;
  }
  const EntryKind kind = type == DT_REG   ? EntryKind::kRegular
                         : type == DT_LNK ? EntryKind::kLink
                                          : EntryKind::kSpecial;
  MatchAndRecord(frame, nameView, name, kind, known);
}

// Most names hold no match, and a look at each costs more than one search of the whole listing,
// which then only needs doing again past each name that holds one.
ListedMatch Walker::MatchInListing(Frame& frame, std::string_view name) const {
  const QueryMatcher& query = *options_.query;
  if (!query.ByBytes()) return ListedMatch::kNotLooked;
  const auto at =
      reinterpret_cast<uintptr_t>(name.data()) - reinterpret_cast<uintptr_t>(frame.listing.data());
  if (at >= frame.end) return ListedMatch::kNotLooked;  // a copy, as a folder's own name is
  if (frame.nameMatch == Frame::kNotLooked || frame.nameMatch < at) {
    const size_t found = query.FindBytes(std::string_view(name.data(), frame.end - at));
    frame.nameMatch = found == std::string_view::npos ? found : at + found;
  }
  const bool inName = frame.nameMatch != std::string_view::npos &&
                      frame.nameMatch + query.query().size() <= at + name.size();
  return inName ? ListedMatch::kFound : ListedMatch::kNone;
}

void Walker::MatchAndRecord(Frame& frame, std::string_view name, const char* nameZ, EntryKind kind,
                            const struct stat* known) {
  WalkEntry entry;
  entry.dirFd = frame.fd;
  entry.folder = std::string_view(path_.data(), frame.prefixLen);
  entry.name = name;
  entry.nameZ = nameZ;
  entry.kind = kind;
  entry.known = known;
  entry.noRead = frame.noRead || IsPruned(frame, name);
  entry.listed = MatchInListing(frame, name);
  listing_ = &frame;
  if (decider_.Decide(entry, hit_)) Emit(std::move(hit_));
  if (options_.searchContents) DiskStep();
}

// A file named as a PDF: its answer read ahead, or read now; either way the next PDFs of the
// listing are started on other threads while cores are free.
std::string Walker::ReadPdf(const WalkEntry& entry, struct stat* fileStat) {
  const Frame& frame = *listing_;
  aheadKey_.assign(entry.folder);
  aheadKey_.append(entry.name);
  if (auto it = ahead_.find(aheadKey_); it != ahead_.end()) {
    WillWait();
    ReadAheadResult result = it->second.get();
    ahead_.erase(it);
    ReadAhead(frame);
    *fileStat = result.st;
    return std::move(result.line);
  }
  ReadAhead(frame);
  WillWait();
  search_.pdfRunning.fetch_add(1);
  std::string line = MatchContentAt(entry.dirFd, entry.nameZ, *options_.query, options_.stop, false,
                                    fileStat, options_.unreadable, {options_.pdf, true});
  search_.pdfRunning.fetch_sub(1);
  return line;
}

// Starts reading the PDFs that come later in the folder's listing chunk, ones that only their
// text can make hits, while fewer extractions run than there are CPUs. Each is opened here, so
// that the other thread reads the very file the listing named.
void Walker::ReadAhead(const Frame& frame) {
  if (frame.fd < 0 || frame.noRead || options_.ignoreListedTypes) return;
  for (size_t pos = frame.pos; pos < frame.OwnEnd();) {
    if (search_.pdfRunning.load() >= search_.pdfSlots) return;
    const DirRecord record = Decode(frame.listing.data() + pos);
    pos += record.length;
    const char* nameZ = record.name;
    const std::string_view name(nameZ);
    const size_t dot = name.rfind('.');
    if (record.type != DT_REG || dot == std::string_view::npos || name.size() - dot != 4 ||
        IsExcluded(frame, name))
      continue;
    FoldCaseInto(name.substr(dot + 1), aheadScratch_);
    if (aheadScratch_ != "pdf" ||
        (options_.typeFilter != kTypeFilterAll && options_.typeFilter != kPdfDocuments) ||
        options_.query->Find(name, aheadScratch_) != std::string_view::npos)
      continue;
    aheadKey_.assign(path_.data(), frame.prefixLen);
    aheadKey_.append(name);
    if (ahead_.contains(aheadKey_)) continue;
    const int fd =
        openat(frame.fd, nameZ, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0) continue;
    search_.pdfRunning.fetch_add(1);
    try {
      ahead_.emplace(aheadKey_, std::async(std::launch::async, [this, fd] {
                       ReadAheadResult result;
                       result.line = MatchOpenedPdf(fd, *options_.query, options_.stop,
                                                    *options_.pdf, options_.unreadable, &result.st);
                       search_.pdfRunning.fetch_sub(1);
                       return result;
                     }));
    } catch (const std::system_error&) {  // no thread to be had: the walker reads it itself
      close(fd);
      search_.pdfRunning.fetch_sub(1);
      return;
    }
  }
}

OpenedFile Walker::TakeOpened(const WalkEntry& entry) {
  const Frame& frame = *listing_;
  if (frame.fd < 0 || entry.dirFd != frame.fd || options_.ignoreListedTypes) return {};
  const size_t pos = static_cast<size_t>(entry.nameZ - kNameOffset - frame.listing.data());
  if (openedFrame_ != &frame || openedNext_ >= opened_.size() || opened_.back().pos < pos ||
      opened_[openedNext_].pos > pos) {
    CloseOpened();
    OpenAhead(frame, pos);
  }
  // Files passed over (the decider looked them up first and needed no read) are closed.
  FileBatch& batch = FileBatch::ThisThread();
  for (; openedNext_ < opened_.size() && opened_[openedNext_].pos < pos; ++openedNext_)
    batch.Close(opened_[openedNext_].fd);
  if (openedNext_ < opened_.size() && opened_[openedNext_].pos == pos) {
    const Opened& file = opened_[openedNext_++];
    return {file.fd, file.statted ? &file.st : nullptr, file.head};
  }
  return {};
}

// Opens the file at `pos` of the listing with the plain files after it that will be read too,
// up to the next entry that may be a folder, in one batch.
void Walker::OpenAhead(const Frame& frame, size_t pos) {
  if (frame.noRead || frame.holdsMounts) return;
  openNames_.clear();
  opened_.clear();
  openedNext_ = 0;
  for (size_t at = pos; at < frame.OwnEnd() && opened_.size() < FileBatch::kMaxOpen;) {
    const DirRecord record = Decode(frame.listing.data() + at);
    if (IsDots(record.name)) {  // listed anywhere, never entered
      at += record.length;
      continue;
    }
    if (record.type == DT_DIR || record.type == DT_UNKNOWN) break;
    const std::string_view name(record.name);
    if (at == pos ||
        (record.type == DT_REG && !IsExcluded(frame, name) && decider_.WouldRead(name))) {
      opened_.push_back({at, -1, false, {}, {}});
      openNames_.push_back(record.name);
    }
    at += record.length;
  }
  if (opened_.empty()) return;
  openFds_.resize(opened_.size());
  FileBatch::ThisThread().OpenAll(frame.fd, openNames_.data(), openNames_.size(), kContentOpenFlags,
                                  openFds_.data());
  openedFrame_ = &frame;
  // Each is looked at before anything is read from it, as ScanOpened would; the first bytes of
  // the plain files are then read all at once, as much as their first read would ask for.
  readIndex_.clear();
  readFds_.clear();
  readBuffers_.clear();
  readLengths_.clear();
  char* space = t_heads->bytes;
  for (size_t i = 0; i < opened_.size(); ++i) {
    Opened& file = opened_[i];
    file.fd = openFds_[i];
    if (file.fd < 0) continue;
    file.statted = fstat(file.fd, &file.st) == 0;
    if (!file.statted || !S_ISREG(file.st.st_mode) || file.st.st_size <= 0 ||
        (options_.unreadable != nullptr && options_.unreadable->count(file.st.st_dev) != 0))
      continue;
    const auto size = static_cast<size_t>(file.st.st_size);
    const size_t length = size <= kFirstReadChunk ? size : kLongFileHead;
    readIndex_.push_back(i);
    readFds_.push_back(file.fd);
    readBuffers_.push_back(space);
    readLengths_.push_back(length);
    space += length;
  }
  t_heads->MakeReady(static_cast<size_t>(space - t_heads->bytes));
  readGot_.resize(readIndex_.size());
  FileBatch::ThisThread().ReadAll(readFds_.data(), readBuffers_.data(), readLengths_.data(),
                                  readIndex_.size(), readGot_.data());
  for (size_t k = 0; k < readIndex_.size(); ++k) {
    // Nothing read (it would have waited for the disk): the scan reads it from the start.
    if (readGot_[k] != -2) opened_[readIndex_[k]].head = {readBuffers_[k], readGot_[k]};
  }
}

void Walker::Emit(ResultRecord&& record) {
  if (out_ == nullptr) {
    search_.Deliver(std::move(record));
    return;
  }
  kept_.AddHit(record);  // copied: the record keeps its memory for the next hit
  if (kept_.size() >= kKeepBatch || kept_.bytes() >= kKeepBytes) search_.sharing.Keep(*out_, kept_);
}

void Walker::Run(std::string_view root) {
  At(root);
  search_.SetUpPruning(std::string(root));
  // The root the user chose is followed even when it is a link.
  const int fd = open(std::string(root).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  path_ = root;
  if (path_.back() != '/') path_.push_back('/');
  PushFrame(fd, nullptr);
  Loop();
  CloseOpened();
}

void Walker::Walk(Subtree& subtree) {
  path_ = subtree.path();
  At(path_);
  base_ = subtree.depth();
  PushFrame(subtree.fd(), &subtree.st());
  if (subtree.part()) {
    Frame& frame = frames_[0];
    frame.listing.assign(subtree.listing().begin(), subtree.listing().end());
    frame.NewChunk(frame.listing.size());
    frame.eof = true;  // the giver reads on past it
  }
  Loop();
  CloseOpened();
  search_.sharing.Finish(subtree, kept_);
}

void Walker::Loop() {
  while (depth_ > 0) {
    if (search_.sharing.Wanted()) Give();
    if (out_ != nullptr && out_->wanted() && !kept_.empty()) search_.sharing.Keep(*out_, kept_);
    Frame& frame = frames_[depth_ - 1];
    const char* name = nullptr;
    unsigned char type = DT_UNKNOWN;
    if (frame.done || !NextEntry(frame, name, type)) {
      PopFrame();
      continue;
    }
    const size_t before = depth_;
    if (slot_) slot_->Beat();
    VisitEntry(frame, name, type);
    // After every entry, skipped ones included; a descent is tested when it returns.
    if (depth_ == before && Stopped()) frame.done = true;
  }
}

}  // namespace

void SearchFolder(std::string root, const WalkOptions& options, HitSink& sink) {
  if (options.query == nullptr) return;
  Search(options, sink).Run(std::move(root));
  // Helpers close theirs as they end; this thread holds no descriptor past the search.
  FileBatch::ThisThread().Release();
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
