#include "search/read_ahead.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace findlark {
namespace {

// How many file jobs past the walker's position a helper may go: bounds the answers held.
constexpr size_t kWorkAhead = 32;
// Folders opened ahead and not yet taken; each holds a descriptor and part of its listing.
constexpr int kMaxListingsAhead = 64;
// A helper that waits for room is woken when the walker has taken this many fewer, not at
// each one, so that the two do not take turns on one CPU.
constexpr int kListingsToWake = kMaxListingsAhead / 2;
// A job takes some microseconds: the walker, waiting for one, spins about that long before it
// sleeps, which saves the futex round trip. An idle helper spins less, as it may wait long.
constexpr int kWalkerSpin = 3000;
constexpr int kHelperSpin = 300;
// The largest file the walker reads for a later entry while it waits for a helper, so that a
// huge one cannot hold up the entry in hand.
constexpr off_t kWalkerSideMax = 256 * 1024;
// getdents64 fails rather than return part of a record; a record is at most about 280 bytes.
constexpr size_t kListingRoom = 1024;

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::this_thread::yield();
#endif
}

// The lock is held for a few hundred nanoseconds at a time: a short spin on it is cheaper than
// sleeping, and keeps a thread just woken from taking the CPU of the thread it waits for.
void LockSoon(std::unique_lock<std::mutex>& lock) {
  for (int k = 0; k < 100; ++k) {
    if (lock.try_lock()) return;
    CpuRelax();
  }
  lock.lock();
}

// The same entry, unchanged: an inode number freed by a removal is often given straight to the
// next file made, and a file can be rewritten in place; either changes the status time.
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

FolderListing ListFolderAt(int dirFd, const char* name) {
  FolderListing listing;
  listing.fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (listing.fd < 0) return listing;
  if (fstat(listing.fd, &listing.st) != 0) {
    close(listing.fd);
    listing.fd = -1;
    return listing;
  }
  // Read into a buffer of this thread's and keep only what came: most folders are small.
  thread_local std::vector<char> buffer(kListingChunk);
  size_t used = 0;
  while (kListingChunk - used >= kListingRoom) {
    const auto n = syscall(SYS_getdents64, listing.fd, buffer.data() + used, kListingChunk - used);
    if (n <= 0) {  // an error part way ends the listing quietly, as it does for the walker
      listing.complete = true;
      break;
    }
    used += static_cast<size_t>(n);
  }
  listing.records.assign(buffer.data(), buffer.data() + used);
  return listing;
}

size_t ReadAhead::Chunk::JobFor(const char* name) {
  if (!planned_) return kNoJob;
  while (cursor_ < jobs_.size() && jobs_[cursor_].name < name) ++cursor_;
  if (cursor_ < jobs_.size() && jobs_[cursor_].name == name) return cursor_++;
  return kNoJob;
}

ReadAhead::ReadAhead(int helpers, FileReader readFile, FolderPlanner planFolder,
                     const std::atomic<bool>* stop)
    : helpersWanted_(std::max(helpers, 0)),
      readFile_(std::move(readFile)),
      planFolder_(std::move(planFolder)),
      stop_(stop) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    Changed();
  }
  workCv_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
}

template <class Ready>
void ReadAhead::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                          int& sleepers, Ready ready) {
  if (ready()) return;
  const unsigned seen = changes_.load(std::memory_order_acquire);
  const int spin = &cv == &doneCv_ ? kWalkerSpin : kHelperSpin;
  lock.unlock();
  for (int k = 0; k < spin && changes_.load(std::memory_order_acquire) == seen; ++k) {
    CpuRelax();
  }
  lock.lock();
  ++sleepers;
  cv.wait(lock, ready);
  --sleepers;
}

void ReadAhead::Plan(Chunk& chunk, int dirFd, size_t depth, std::vector<Job>& jobs) {
  if (jobs.empty() || helpersWanted_ == 0) return;
  bool wake = false;
  {
    std::unique_lock lock(mutex_, std::defer_lock);
    LockSoon(lock);
    chunk.jobs_.swap(jobs);
    chunk.slots_.clear();
    chunk.slots_.resize(chunk.jobs_.size());
    chunk.parent_ = nullptr;
    chunk.dirFd_ = dirFd;
    chunk.depth_ = depth;
    chunk.folders_ = chunk.jobs_.front().kind == Kind::kFolder;
    chunk.cursor_ = chunk.taken_ = chunk.claimNext_ = 0;
    chunk.planned_ = true;
    chunks_.push_back(&chunk);
    Changed();
    wake = idleHelpers_ > 0;
  }
  jobs.clear();
  while (static_cast<int>(helpers_.size()) < helpersWanted_) {
    helpers_.emplace_back(&ReadAhead::HelperLoop, this);
  }
  if (wake) workCv_.notify_all();
}

void ReadAhead::Adopt(Chunk& chunk) {
  if (!chunk.planned_) return;
  std::unique_lock lock(mutex_, std::defer_lock);
  LockSoon(lock);
  chunks_.push_back(&chunk);
  // Its work was in sight already, through the folder listed ahead: a helper still spinning
  // looks again, a sleeping one is not worth the wake-up.
  Changed();
}

// Drops the answers of `chunk` that nobody took, and those of the chunks planned inside them.
// Nothing may be in flight there.
void ReadAhead::ReleaseSlots(Chunk& chunk) {
  for (Chunk::Slot& slot : chunk.slots_) {
    if (slot.state != State::kDone || !slot.answer) continue;
    Answer& answer = *slot.answer;
    if (answer.folder.fd >= 0) {
      close(answer.folder.fd);
      --listingsHeld_;
    }
    if (answer.inside) ReleaseSlots(*answer.inside);
    slot.answer.reset();  // a file answer holds no descriptor
  }
}

// Drops an answer the walker took but cannot use.
void ReadAhead::Release(std::unique_lock<std::mutex>& lock, Answer& answer) {
  if (answer.inside) {
    Chunk& inside = *answer.inside;
    WaitUntil(lock, doneCv_, waitingWalker_, [&] { return inside.inFlight_ == 0; });
    ReleaseSlots(inside);
    answer.inside.reset();
  }
  if (answer.files) {
    Chunk& files = *answer.files;
    WaitUntil(lock, doneCv_, waitingWalker_, [&] { return files.inFlight_ == 0; });
    answer.files.reset();
  }
  if (answer.folder.fd >= 0) close(answer.folder.fd);
  answer.folder.fd = -1;
}

void ReadAhead::Retire(Chunk& chunk) {
  if (!chunk.planned_) return;
  std::unique_lock lock(mutex_, std::defer_lock);
  LockSoon(lock);
  const auto it = std::find(chunks_.begin(), chunks_.end(), &chunk);
  if (it != chunks_.end()) chunks_.erase(it);
  WaitUntil(lock, doneCv_, waitingWalker_, [&] { return chunk.inFlight_ == 0; });
  const bool wasFull = listingsHeld_ >= kListingsToWake;
  ReleaseSlots(chunk);
  chunk.planned_ = false;
  Changed();
  // Helpers wait for room to list more ahead, or for new work, which Plan announces.
  const bool wake = wasFull && listingsHeld_ < kListingsToWake && idleHelpers_ > 0;
  lock.unlock();
  if (wake) workCv_.notify_all();
}

std::unique_ptr<ReadAhead::Answer> ReadAhead::Work(Chunk& chunk, size_t index, off_t maxSize,
                                                   bool planInside, bool& declined) {
  const Job& job = chunk.jobs_[index];
  auto answer = std::make_unique<Answer>();
  declined = false;
  if (job.kind != Kind::kFolder) {
    answer->matchLine = readFile_(chunk.dirFd_, job.name, job.kind == Kind::kLinkedFile,
                                  &answer->fileStat, maxSize, declined);
    return answer;
  }
  answer->folder = ListFolderAt(chunk.dirFd_, job.name);
  if (!planInside || answer->folder.fd < 0) return answer;
  std::vector<Job> folders;
  std::vector<Job> files;
  planFolder_(answer->folder, chunk.depth_ + 1, folders, files);
  // Published with the answer, under the lock.
  auto plan = [&](std::vector<Job>& jobs, bool areFolders) {
    if (jobs.empty()) return std::unique_ptr<Chunk>();
    auto inside = std::make_unique<Chunk>();
    inside->parent_ = &chunk;
    inside->dirFd_ = answer->folder.fd;
    inside->depth_ = chunk.depth_ + 1;
    inside->folders_ = areFolders;
    inside->planned_ = true;
    inside->slots_.resize(jobs.size());
    inside->jobs_ = std::move(jobs);
    return inside;
  };
  answer->inside = plan(folders, true);
  answer->files = plan(files, false);
  return answer;
}

// Whether an answer made earlier still holds for the entry as it is now. Only answers that would
// make something of the entry are checked: a folder to enter, a file that matched.
bool ReadAhead::StillTrue(const Chunk& chunk, size_t index, const Answer& answer) const {
  const Job& job = chunk.jobs_[index];
  struct stat now;
  if (job.kind == Kind::kFolder) {
    return answer.folder.fd >= 0 &&
           fstatat(chunk.dirFd_, job.name, &now, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISDIR(now.st_mode) && SameFile(now, answer.folder.st);
  }
  if (answer.matchLine.empty()) return true;
  const int flags = job.kind == Kind::kLinkedFile ? 0 : AT_SYMLINK_NOFOLLOW;
  return fstatat(chunk.dirFd_, job.name, &now, flags) == 0 && SameFile(now, answer.fileStat);
}

ReadAhead::Answer ReadAhead::Take(Chunk& chunk, size_t index) {
  std::unique_lock lock(mutex_, std::defer_lock);
  LockSoon(lock);
  if (index >= chunk.taken_) {
    // Lets helpers read further ahead; folders they list however far ahead.
    const bool moreWork = !chunk.folders_ && chunk.jobs_.size() > chunk.taken_ + kWorkAhead;
    chunk.taken_ = index + 1;
    Changed();
    if (moreWork && idleHelpers_ > 0) {
      lock.unlock();  // so that the helper woken does not at once wait for the lock
      workCv_.notify_all();
      LockSoon(lock);
    }
  }
  Chunk::Slot& slot = chunk.slots_[index];
  bool declined = false;
  for (;;) {
    if (slot.state == State::kDone) {
      slot.state = State::kTaken;
      std::unique_ptr<Answer> answer = std::move(slot.answer);
      bool wake = false;
      if (answer->folder.fd >= 0) {
        wake = listingsHeld_-- == kListingsToWake && idleHelpers_ > 0;  // room again
        Changed();
      }
      lock.unlock();
      if (wake) workCv_.notify_all();
      if (StillTrue(chunk, index, *answer)) return std::move(*answer);
      lock.lock();
      Release(lock, *answer);
      lock.unlock();
      return std::move(*Work(chunk, index, -1, false, declined));
    }
    if (slot.state == State::kOpen) {
      slot.state = State::kTaken;
      lock.unlock();
      return std::move(*Work(chunk, index, -1, false, declined));
    }
    if (chunk.folders_) {
      // A helper is listing it: that takes some microseconds, so wait as long. Past that the
      // helper may have lost its CPU to another program, and listing it again costs less than
      // waiting on; the helper's answer is then dropped.
      const unsigned seen = changes_.load(std::memory_order_acquire);
      lock.unlock();
      for (int k = 0; k < kWalkerSpin && changes_.load(std::memory_order_acquire) == seen; ++k) {
        CpuRelax();
      }
      LockSoon(lock);
      if (slot.state == State::kDone) continue;
      slot.state = State::kTaken;
      lock.unlock();
      return std::move(*Work(chunk, index, -1, false, declined));
    }
    // A helper is reading it: rather than idle, do the next job meanwhile, but not a large file.
    Chunk* other = nullptr;
    size_t otherIndex = 0;
    if (FindAnyWork(false, other, otherIndex)) {
      RunSlot(lock, *other, otherIndex, kWalkerSideMax);
      continue;
    }
    WaitUntil(lock, doneCv_, waitingWalker_, [&] { return slot.state == State::kDone; });
  }
}

bool ReadAhead::FindFileWork(Chunk& chunk, size_t& index) {
  const size_t limit = std::min(chunk.jobs_.size(), chunk.taken_ + kWorkAhead);
  size_t next = std::max(chunk.claimNext_, chunk.taken_);
  while (next < limit && chunk.slots_[next].state != State::kOpen) ++next;
  chunk.claimNext_ = next;
  if (next >= limit) return false;
  index = next;
  return true;
}

// The open folder job among jobs [from, to) of `chunk` that comes next in walk order after
// `passedOne` more open jobs, going through the folders already listed ahead.
bool ReadAhead::FindFolderWork(Chunk& chunk, size_t from, size_t to, bool& passedOne, Chunk*& found,
                               size_t& index) {
  for (size_t i = from; i < to; ++i) {
    const Chunk::Slot& slot = chunk.slots_[i];
    if (slot.state == State::kOpen) {
      if (!passedOne) {
        passedOne = true;
        continue;
      }
      found = &chunk;
      index = i;
      return true;
    }
    if (slot.state == State::kDone && slot.answer->inside) {
      Chunk& inside = *slot.answer->inside;
      if (FindFolderWork(inside, 0, inside.slots_.size(), passedOne, found, index)) return true;
    }
  }
  return false;
}

// `leaveFirst`: a helper leaves the first open folder job to the walker, which will be there
// soonest; both then list different folders instead of racing for the same one.
bool ReadAhead::FindAnyWork(bool leaveFirst, Chunk*& chunk, size_t& index) {
  if (Stopped()) return false;
  bool passedOne = !leaveFirst;
  for (size_t pos = chunks_.size(); pos-- > 0;) {
    Chunk& candidate = *chunks_[pos];
    if (!candidate.folders_) {
      if (FindFileWork(candidate, index)) {
        chunk = &candidate;
        return true;
      }
      continue;
    }
    for (size_t i = candidate.taken_; i < candidate.slots_.size(); ++i) {
      if (FindFolderWork(candidate, i, i + 1, passedOne, chunk, index)) {
        return listingsHeld_ < kMaxListingsAhead || MakeRoomBefore(pos, i);
      }
    }
  }
  // Nothing nearer: the files of folders listed ahead, nearest first. Most folders hold a few
  // files only, and without this a helper would wait while the walker reads them.
  for (size_t pos = chunks_.size(); pos-- > 0;) {
    Chunk& candidate = *chunks_[pos];
    if (candidate.folders_ && FindFileWorkAhead(candidate, candidate.taken_, chunk, index))
      return true;
  }
  return false;
}

bool ReadAhead::FindFileWorkAhead(Chunk& folders, size_t from, Chunk*& found, size_t& index) {
  for (size_t i = from; i < folders.slots_.size(); ++i) {
    const Chunk::Slot& slot = folders.slots_[i];
    if (slot.state != State::kDone || !slot.answer) continue;
    if (Chunk* files = slot.answer->files.get(); files != nullptr && FindFileWork(*files, index)) {
      found = files;
      return true;
    }
    if (slot.answer->inside && FindFileWorkAhead(*slot.answer->inside, 0, found, index))
      return true;
  }
  return false;
}

// Folders listed far ahead wait for the walker while it works nearer: drops the one it will
// need last, if that comes after job `index` of the walker's chunk at `pos`, so that the work
// nearer the walker can go on.
bool ReadAhead::MakeRoomBefore(size_t pos, size_t index) {
  for (size_t p = 0; p <= pos; ++p) {
    Chunk& chunk = *chunks_[p];
    if (!chunk.folders_) continue;
    const size_t first = p == pos ? index + 1 : chunk.taken_;
    for (size_t i = chunk.slots_.size(); i-- > first;) {
      Chunk::Slot& slot = chunk.slots_[i];
      if (slot.state != State::kDone || slot.answer->folder.fd < 0) continue;
      if (slot.answer->inside && slot.answer->inside->inFlight_ != 0) continue;
      if (slot.answer->files && slot.answer->files->inFlight_ != 0) continue;
      close(slot.answer->folder.fd);
      --listingsHeld_;
      if (slot.answer->inside) ReleaseSlots(*slot.answer->inside);
      slot.answer.reset();
      slot.state = State::kOpen;
      return true;
    }
  }
  return false;
}

// Does one job with the lock released; the chunks stay planned while their inFlight is up.
void ReadAhead::RunSlot(std::unique_lock<std::mutex>& lock, Chunk& chunk, size_t index,
                        off_t maxSize) {
  Chunk::Slot& slot = chunk.slots_[index];
  const bool folder = chunk.folders_;
  slot.state = State::kBusy;
  for (Chunk* c = &chunk; c != nullptr; c = c->parent_) ++c->inFlight_;
  if (folder) ++listingsHeld_;
  if (!folder) chunk.claimNext_ = index + 1;
  lock.unlock();
  bool declined = false;
  std::unique_ptr<Answer> answer = Work(chunk, index, maxSize, true, declined);
  LockSoon(lock);
  if (folder && answer->folder.fd < 0) --listingsHeld_;
  if (slot.state == State::kTaken) {  // the walker did it itself meanwhile
    if (answer->folder.fd >= 0) {
      close(answer->folder.fd);
      --listingsHeld_;
    }
    if (answer->inside) ReleaseSlots(*answer->inside);
  } else if (declined) {
    slot.state = State::kOpen;
    chunk.claimNext_ = std::min(chunk.claimNext_, index);
  } else {
    slot.answer = std::move(answer);
    slot.state = State::kDone;
  }
  for (Chunk* c = &chunk; c != nullptr; c = c->parent_) --c->inFlight_;
  Changed();
  if (waitingWalker_ > 0) {
    lock.unlock();
    doneCv_.notify_all();
    LockSoon(lock);
  }
}

void ReadAhead::HelperLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    Chunk* chunk = nullptr;
    size_t index = 0;
    WaitUntil(lock, workCv_, idleHelpers_,
              [&] { return quit_ || FindAnyWork(true, chunk, index); });
    if (quit_) return;
    RunSlot(lock, *chunk, index, -1);
  }
}

}  // namespace findlark
