#pragma once

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/background_thread.h"
#include "results/result_record.h"
#include "search/hit_batch.h"

namespace findlark {

class Subtree;

// A folder that the thread walking its parent handed to an idle thread, which walks the whole
// subtree and keeps its hits, in walk order, until the walk reaches the folder. Or the rest of
// a listing that its walker handed over in the same way: the entries of `listing()`, in the
// folder open as fd().
class Subtree {
 public:
  int fd() const { return fd_; }
  const struct stat& st() const { return st_; }
  const std::string& path() const { return path_; }  // with a trailing "/"
  size_t depth() const { return depth_; }
  bool part() const { return part_; }
  // Of a part: its entries, as the listing records that the kernel gave.
  const std::string& listing() const { return listing_; }
  // Nobody will want its hits any more: its walker may stop.
  bool dropped() const { return dropped_.load(std::memory_order_relaxed); }
  // A thread waits for its hits: what its walker holds should go out now.
  bool wanted() const { return wanted_.load(std::memory_order_relaxed); }

 private:
  friend class SubtreeSharing;
  enum class State : unsigned char { kQueued, kWalking, kDone };
  int parentFd_ = -1;  // open until the giver reaches the entry or takes it back
  std::string name_;
  bool part_ = false;  // of the listing of the folder parentFd_ itself
  std::string listing_;
  std::string path_;
  size_t depth_ = 0;
  int fd_ = -1;  // opened when a thread takes it up; -1 when that failed
  struct stat st_ {};
  State state_ = State::kQueued;
  bool collecting_ = false;  // a thread waits for its hits: its walker must never wait for room
  std::atomic<bool> dropped_{false};
  std::atomic<bool> wanted_{false};
  // Kept, not yet collected: the walker's batches as they came.
  std::vector<HitBatch> batches_;
  size_t kept_ = 0;  // hits in batches_
  std::list<Subtree>::iterator self_;
};

// Shares the walk of one search among threads by whole subtrees. A walker hands a sub-folder
// it will reach later to a thread that has nothing to do (Give); when it gets there it either
// takes the folder back, if nobody started on it, or takes its hits in their place (Reached,
// then Collect). Threads only meet at these points, so each one runs the plain depth-first loop
// on its own part, and the hits come out exactly as one thread would find them.
class SubtreeSharing {
 public:
  // Walks a subtree taken up (its folder open as fd()), keeping its hits with Keep and ending
  // with Finish. Called on a helper, or on a thread that waits for hits and has nothing else
  // to do.
  using WalkFn = std::function<void(Subtree&)>;

  // `helpers` threads besides the one that calls Collect; with none, nothing is ever given.
  // Past `maxKept` hits kept and not yet collected, a helper waits (unless its own are the ones
  // awaited). `diskHelpers` more are started, and take work, only while walkers report that
  // they wait on the disk (DiskWait): then more requests in flight than cores shorten the wait,
  // and a search served from memory never pays for threads that would only take turns.
  // `prepare`, if given, runs first on each helper, which counts as idle meanwhile. With
  // helpers, the calling walker and each helper keep to a CPU of their own for a while (see
  // LetThreadsMove); the walker may run anywhere again once this is destroyed.
  SubtreeSharing(int helpers, WalkFn walk, const std::atomic<bool>* stop, size_t maxKept,
                 int diskHelpers = 0, std::function<void()> prepare = {});
  ~SubtreeSharing();
  SubtreeSharing(const SubtreeSharing&) = delete;
  SubtreeSharing& operator=(const SubtreeSharing&) = delete;

  // A thread is idle: a walker looks for something to give at its next entry.
  bool Wanted() const { return idle_.load(std::memory_order_relaxed); }
  // A walker had to wait for the disk: the disk helpers join in for a while.
  void DiskWait();
  // Called by walkers now and then: once the search has run a while, its threads may run on
  // any CPU again (the constructor keeps the calling walker and the helpers each on one).
  void LetThreadsMove();
  // Hands the folders `names` inside `parentFd` (kept open until each is Reached or taken
  // back), nearest first, to whichever threads are idle; they start on the farthest, which the
  // giver needs last. `parentPath` ends in "/". Their subtrees go to `given`, in the same order.
  void Give(int parentFd, std::string_view parentPath, size_t depth,
            const std::vector<const char*>& names, std::vector<Subtree*>& given);
  // Hands the rest of a listing of the folder `folderFd` (kept open as for Give), `records`
  // from where the giver will stop, to an idle thread. Reached and TakeBack take it as a folder.
  // Null when no helper is free to take it.
  Subtree* GivePart(int folderFd, std::string_view folderPath, size_t depth,
                    std::string_view records);
  // The giver got to the entry. True: another thread has walked or is walking it, and it is
  // still the same folder; its hits go in this place. False: walk it yourself, as if it had
  // never been given (nobody had started on it, it could not be opened, or it has changed).
  bool Reached(Subtree& subtree);
  // The giver leaves the folder without getting to the entry (the walk was stopped).
  void TakeBack(Subtree& subtree);

  // Keeps hits of a subtree being walked (and subtrees handed on from inside it), and leaves
  // `items` empty. A helper waits here while a great many of its hits are still unread.
  void Keep(Subtree& subtree, HitBatch& items);
  // The walk of `subtree` ended; `items` are its last hits.
  void Finish(Subtree& subtree, HitBatch& items);

  // Hands the hits of a subtree Reached, with those of the subtrees given from inside it, to
  // `deliver` in walk order, as they come, in runs as packed; walks subtrees nobody has started
  // on meanwhile. After Stop, subtrees further on are dropped.
  void Collect(Subtree& subtree, const std::function<void(const HitRun&)>& deliver);
  // The search is going away: every walk still running ends at its next entry.
  bool Quitting() const { return quitting_.load(std::memory_order_relaxed); }

 private:
  bool Stopped() const { return stop_ != nullptr && stop_->load(std::memory_order_relaxed); }
  void UpdateIdle();
  void Queued();
  void WaitIdle(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, int& waiting);
  // Under the lock: counts the thread idle while `fn` runs.
  template <class Fn>
  void CountedIdle(int& waiting, Fn&& fn);
  void WalkNext(std::unique_lock<std::mutex>& lock);
  void WalkNext(std::unique_lock<std::mutex>& lock, std::deque<Subtree*>::iterator which);
  void TakeBack(std::unique_lock<std::mutex>& lock, Subtree& subtree);
  void Drop(Subtree& subtree);
  void DropInside(HitBatch& items);
  void Append(Subtree& subtree, HitBatch& items);
  void Recycle(HitBatch& batch);
  void Prepare();
  void HelperLoop();
  void DiskHelperLoop();
  bool DiskBound() const;
  void StartHelpers(int count, void (SubtreeSharing::*loop)(), bool stay);

  const WalkFn walk_;
  const std::function<void()> prepare_;
  const std::atomic<bool>* const stop_;
  const size_t maxKept_;
  std::mutex mutex_;
  std::condition_variable work_;  // idle helpers wait for a subtree
  std::condition_variable news_;  // a collecting thread waits for hits or a subtree
  std::condition_variable room_;  // a helper waits for its hits to be read
  std::condition_variable disk_;  // disk helpers wait for the disk to be slow
  int idleThreads_ = 0;
  int idleHelpers_ = 0;
  int collecting_ = 0;
  int pausedHelpers_ = 0;
  size_t unread_ = 0;  // hits kept in all subtrees and not yet collected
  std::atomic<bool> idle_{false};
  bool quit_ = false;
  std::atomic<bool> quitting_{false};
  std::list<Subtree> subtrees_;
  std::deque<Subtree*> queue_;
  // Emptied batches, their memory kept for the next ones a walker fills.
  std::vector<HitBatch> spare_;
  const CpuSpread cpus_;  // the constructing walker's
  std::vector<std::thread> helpers_;
  pthread_t walker_{};
  size_t pinnedHelpers_ = 0;
  std::atomic<int64_t> pinnedUntil_{0};  // steady-clock nanoseconds; 0: nobody is pinned
  const int diskHelpers_;
  bool diskHelpersStarted_ = false;
  // Steady-clock nanoseconds of the last wait on the disk reported.
  std::atomic<int64_t> lastDiskWait_{INT64_MIN / 2};
};

}  // namespace findlark
