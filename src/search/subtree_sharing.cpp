#include "search/subtree_sharing.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "platform/background_thread.h"

namespace findlark {
namespace {

// Set on helper threads: only they wait for room, as the thread that collects hits never may.
thread_local bool t_helper = false;

// How long the disk helpers stay at work after the last wait on the disk.
constexpr int64_t kDiskSpellNs = std::chrono::nanoseconds(std::chrono::milliseconds(250)).count();

// How long a search keeps its walker and helpers each on a CPU of its own: long enough for a
// short search, which waiting on wake-ups costs the most, and short enough that a CPU some
// other program takes over holds no thread of a long one for long.
constexpr int64_t kPinnedNs = std::chrono::nanoseconds(std::chrono::milliseconds(250)).count();

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The same entry, unchanged: an inode number freed by a removal is often given straight to the
// next folder made, and a removal, rename or new entry inside a folder changes its status time.
bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

SubtreeSharing::SubtreeSharing(int helpers, WalkFn walk, const std::atomic<bool>* stop,
                               size_t maxKept, int diskHelpers, std::function<void()> prepare)
    : walk_(std::move(walk)),
      prepare_(std::move(prepare)),
      stop_(stop),
      maxKept_(maxKept),
      diskHelpers_(diskHelpers) {
  StartHelpers(helpers, &SubtreeSharing::HelperLoop, true);
  if (helpers_.empty() || cpus_.size() < 2) return;
  // The walker stays on the CPU it has, the helpers each on the next ones, for a while.
  cpus_.StayHere();
  walker_ = pthread_self();
  pinnedHelpers_ = helpers_.size();
  pinnedUntil_.store(NowNs() + kPinnedNs, std::memory_order_relaxed);
}

void SubtreeSharing::StartHelpers(int count, void (SubtreeSharing::*loop)(), bool stay) {
  for (int i = 0; i < count; ++i) {
    try {
      helpers_.push_back(cpus_.Start(helpers_.size() + 1, stay, [this, loop] { (this->*loop)(); }));
    } catch (const std::system_error&) {
      return;  // out of threads: the ones started share the walk
    }
  }
}

void SubtreeSharing::LetThreadsMove() {
  const int64_t until = pinnedUntil_.load(std::memory_order_relaxed);
  if (until == 0 || NowNs() < until) return;
  std::lock_guard lock(mutex_);
  if (pinnedUntil_.exchange(0, std::memory_order_relaxed) == 0) return;
  cpus_.LetGo(walker_);
  for (size_t i = 0; i < pinnedHelpers_; ++i) cpus_.LetGo(helpers_[i].native_handle());
}

bool SubtreeSharing::DiskBound() const {
  return NowNs() - lastDiskWait_.load(std::memory_order_relaxed) < kDiskSpellNs;
}

void SubtreeSharing::DiskWait() {
  if (diskHelpers_ == 0) return;
  const int64_t now = NowNs();
  const int64_t last = lastDiskWait_.exchange(now, std::memory_order_relaxed);
  // Within a spell the disk helpers are already at work.
  if (now - last < kDiskSpellNs / 2) return;
  std::lock_guard lock(mutex_);
  if (quit_) return;
  if (!diskHelpersStarted_) {
    diskHelpersStarted_ = true;
    StartHelpers(diskHelpers_, &SubtreeSharing::DiskHelperLoop, false);
  }
  disk_.notify_all();
}

SubtreeSharing::~SubtreeSharing() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    // Not by dropping them: a dropped subtree is freed once walked, while the walker that gave
    // it may still hold it and take it back on its way out.
    quitting_.store(true, std::memory_order_relaxed);
  }
  work_.notify_all();
  room_.notify_all();
  disk_.notify_all();
  for (std::thread& helper : helpers_) helper.join();
  if (pinnedUntil_.load(std::memory_order_relaxed) != 0) cpus_.LetGo(walker_);
}

void SubtreeSharing::UpdateIdle() {
  idle_.store(idleThreads_ > static_cast<int>(queue_.size()), std::memory_order_relaxed);
}

template <class Fn>
void SubtreeSharing::CountedIdle(int& waiting, Fn&& fn) {
  ++idleThreads_;
  ++waiting;
  UpdateIdle();
  fn();
  --waiting;
  --idleThreads_;
  UpdateIdle();
}

// Counted among the idle threads while it waits, so that walkers give work away.
void SubtreeSharing::WaitIdle(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                              int& waiting) {
  CountedIdle(waiting, [&] { cv.wait(lock); });
}

void SubtreeSharing::Give(int parentFd, std::string_view parentPath, size_t depth,
                          const std::vector<const char*>& names, std::vector<Subtree*>& given) {
  std::lock_guard lock(mutex_);
  for (const char* name : names) {
    Subtree& subtree = subtrees_.emplace_back();
    subtree.self_ = std::prev(subtrees_.end());
    subtree.parentFd_ = parentFd;
    subtree.name_ = name;
    subtree.path_.reserve(parentPath.size() + subtree.name_.size() + 1);
    subtree.path_.append(parentPath).append(subtree.name_).push_back('/');
    subtree.depth_ = depth;
    queue_.push_back(&subtree);
    given.push_back(&subtree);
  }
  Queued();
}

Subtree* SubtreeSharing::GivePart(int folderFd, std::string_view folderPath, size_t depth,
                                  std::string_view records) {
  std::string listing(records);  // outside the lock
  std::lock_guard lock(mutex_);
  // A thread waiting to collect hits is idle too, but never takes a part up (Collect).
  if (idleHelpers_ <= static_cast<int>(queue_.size())) return nullptr;
  Subtree& part = subtrees_.emplace_back();
  part.self_ = std::prev(subtrees_.end());
  part.parentFd_ = folderFd;
  part.part_ = true;
  part.listing_ = std::move(listing);
  part.path_ = folderPath;
  part.depth_ = depth;
  queue_.push_back(&part);
  Queued();
  return &part;
}

// Under the lock: subtrees were queued.
void SubtreeSharing::Queued() {
  UpdateIdle();
  if (idleHelpers_ > 0) work_.notify_all();
  if (collecting_ > 0) news_.notify_all();
}

// Opens a queued folder (by default the one given last, the farthest from its giver) and walks
// it with the lock released. It is opened under the lock, so that the giver, which must keep the
// parent open until then, cannot pass the entry meanwhile.
void SubtreeSharing::WalkNext(std::unique_lock<std::mutex>& lock) {
  WalkNext(lock, std::prev(queue_.end()));
}

void SubtreeSharing::WalkNext(std::unique_lock<std::mutex>& lock,
                              std::deque<Subtree*>::iterator which) {
  Subtree& subtree = **which;
  queue_.erase(which);
  UpdateIdle();
  // A part is read in the very folder its giver lists, through a descriptor of its own.
  subtree.fd_ = subtree.part_
                    ? fcntl(subtree.parentFd_, F_DUPFD_CLOEXEC, 0)
                    : openat(subtree.parentFd_, subtree.name_.c_str(),
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (subtree.fd_ >= 0 && fstat(subtree.fd_, &subtree.st_) != 0) {
    close(subtree.fd_);
    subtree.fd_ = -1;
  }
  if (subtree.fd_ < 0) {
    subtree.state_ = Subtree::State::kDone;
    return;
  }
  subtree.state_ = Subtree::State::kWalking;
  lock.unlock();
  walk_(subtree);
  lock.lock();
}

bool SubtreeSharing::Reached(Subtree& subtree) {
  std::unique_lock lock(mutex_);
  if (subtree.state_ == Subtree::State::kQueued || subtree.fd_ < 0) {
    TakeBack(lock, subtree);
    return false;
  }
  lock.unlock();
  if (subtree.part_) return true;  // the folder the giver has open
  // The walk on one thread would open the folder now: what was opened earlier must still be it.
  struct stat now;
  const bool same =
      fstatat(subtree.parentFd_, subtree.name_.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISDIR(now.st_mode) && SameFile(now, subtree.st_);
  if (same) return true;
  lock.lock();
  Drop(subtree);
  return false;
}

void SubtreeSharing::TakeBack(Subtree& subtree) {
  std::unique_lock lock(mutex_);
  TakeBack(lock, subtree);
}

void SubtreeSharing::TakeBack(std::unique_lock<std::mutex>&, Subtree& subtree) {
  if (subtree.state_ == Subtree::State::kQueued) {
    queue_.erase(std::find(queue_.begin(), queue_.end(), &subtree));
    UpdateIdle();
    subtrees_.erase(subtree.self_);
    return;
  }
  Drop(subtree);
}

// Under the lock. Its walker, if any, stops at its next entry and frees it when done; the
// subtrees handed on from inside it are dropped too.
void SubtreeSharing::Drop(Subtree& subtree) {
  subtree.dropped_ = true;
  for (HitBatch& batch : subtree.batches_) {
    DropInside(batch);
    Recycle(batch);
  }
  unread_ -= subtree.kept_;
  subtree.kept_ = 0;
  subtree.batches_.clear();
  if (pausedHelpers_ > 0) room_.notify_all();
  if (subtree.state_ == Subtree::State::kDone) subtrees_.erase(subtree.self_);
}

void SubtreeSharing::DropInside(HitBatch& items) {
  items.ForEachPart([](const HitRun&) {}, [this](Subtree* inside) { Drop(*inside); });
}

// Under the lock. The batch is kept as it is, and the walker fills a spare one next.
void SubtreeSharing::Append(Subtree& subtree, HitBatch& items) {
  if (subtree.dropped_) {
    DropInside(items);
    items.clear();
  } else if (!items.empty()) {
    unread_ += items.size();
    subtree.kept_ += items.size();
    subtree.batches_.push_back(std::move(items));
    items.clear();  // a moved-from vector is only valid, not surely empty
    if (!spare_.empty()) {
      items = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  subtree.wanted_.store(false, std::memory_order_relaxed);
  if (collecting_ > 0) news_.notify_all();
}

// Under the lock. Only a few, of a walker's usual batch size, are kept for reuse.
void SubtreeSharing::Recycle(HitBatch& batch) {
  constexpr size_t kMaxSpare = 16;
  constexpr size_t kMaxSpareCapacity = 64 * 1024;
  batch.clear();
  if (spare_.size() < kMaxSpare && batch.capacity() > 0 && batch.capacity() <= kMaxSpareCapacity)
    spare_.push_back(std::move(batch));
}

void SubtreeSharing::Keep(Subtree& subtree, HitBatch& items) {
  std::unique_lock lock(mutex_);
  Append(subtree, items);
  if (!t_helper) return;
  ++pausedHelpers_;
  room_.wait(
      lock, [&] { return unread_ < maxKept_ || subtree.collecting_ || subtree.dropped_ || quit_; });
  --pausedHelpers_;
}

void SubtreeSharing::Finish(Subtree& subtree, HitBatch& items) {
  std::lock_guard lock(mutex_);
  Append(subtree, items);
  subtree.state_ = Subtree::State::kDone;
  if (subtree.dropped_) subtrees_.erase(subtree.self_);
}

void SubtreeSharing::Collect(Subtree& subtree, const std::function<void(const HitRun&)>& deliver) {
  std::vector<HitBatch> batches;
  std::unique_lock lock(mutex_);
  subtree.collecting_ = true;
  if (pausedHelpers_ > 0) room_.notify_all();
  for (;;) {
    if (!subtree.batches_.empty()) {
      unread_ -= subtree.kept_;
      subtree.kept_ = 0;
      batches.swap(subtree.batches_);
      if (pausedHelpers_ > 0) room_.notify_all();
      lock.unlock();
      for (const HitBatch& batch : batches) {
        batch.ForEachPart(deliver, [&](Subtree* inside) {
          if (!Stopped()) {
            Collect(*inside, deliver);
          } else {
            // Subtrees further on hold no folder on the way out from where the walk stopped.
            lock.lock();
            Drop(*inside);
            lock.unlock();
          }
        });
      }
      lock.lock();
      for (HitBatch& batch : batches) Recycle(batch);
      batches.clear();
      continue;
    }
    if (subtree.state_ == Subtree::State::kDone) break;
    // Its walker is ahead of nothing: it should hand out what it holds, and some of its work.
    subtree.wanted_.store(true, std::memory_order_relaxed);
    // Not the rest of a listing: it is likely to hold the file that the hits waited for come
    // before, and this thread would then read that file (for as long as it takes) with those
    // hits at hand and unable to hand them on.
    const auto folder = std::find_if(queue_.rbegin(), queue_.rend(),
                                     [](const Subtree* queued) { return !queued->part_; });
    if (folder != queue_.rend() && !Stopped()) {
      WalkNext(lock, std::prev(folder.base()));
      continue;
    }
    WaitIdle(lock, news_, collecting_);
  }
  subtrees_.erase(subtree.self_);
}

void SubtreeSharing::Prepare() {
  if (prepare_ && !quitting_.load()) prepare_();
}

void SubtreeSharing::HelperLoop() {
  t_helper = true;
  std::unique_lock lock(mutex_);
  // Counted idle while it gets ready, so that walkers hand it work at once: it then finds work
  // waiting, rather than being woken for it, which can take a scheduler tick.
  CountedIdle(idleHelpers_, [&] {
    lock.unlock();
    Prepare();
    lock.lock();
  });
  for (;;) {
    if (quit_) return;
    if (!queue_.empty() && !Stopped()) {
      WalkNext(lock);
      continue;
    }
    WaitIdle(lock, work_, idleHelpers_);
  }
}

// Takes work only in a spell of waiting on the disk; between spells it sleeps uncounted, so
// that walkers do not hand it work.
void SubtreeSharing::DiskHelperLoop() {
  t_helper = true;
  Prepare();
  std::unique_lock lock(mutex_);
  for (;;) {
    if (quit_) return;
    if (!DiskBound()) {
      disk_.wait(lock);
      continue;
    }
    if (!queue_.empty() && !Stopped()) {
      WalkNext(lock);
      continue;
    }
    WaitIdle(lock, work_, idleHelpers_);
  }
}

}  // namespace findlark
