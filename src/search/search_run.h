#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "results/result_record.h"
#include "search/categories.h"

namespace findlark {

class HitSink;
class PdfExtractor;

struct SearchOptions {
  std::string queryLower;  // trimmed and folded, never empty
  FileCategory typeFilter = kTypeFilterAll;
  bool searchContents = false;
  std::string folder;   // empty: the whole machine from "/", pseudo file systems pruned
  bool details = true;  // false: hits carry no size and date texts, which saves a stat each
  std::shared_ptr<PdfExtractor> pdf = nullptr;  // set: PDF documents are searched through their text
  // When set, called on the worker instead of the walk (benchmarks feed generated hits).
  std::function<void(HitSink& sink, const std::atomic<bool>& stop)> source = nullptr;
};

std::string ProgressText(int found);                     // "Searching... %d found so far."
std::string FinalStatusText(bool cancelled, int found);  // "Search complete./cancelled. %d found."

// One search on one worker thread. The worker walks and matches and pushes finished hits into
// a bounded queue that the owner drains (on the window thread in the app); when the queue is
// full the worker waits, so memory stays bounded.
class SearchRun {
 public:
  explicit SearchRun(size_t queueCapacity = 8192);
  ~SearchRun();  // stops and joins
  SearchRun(const SearchRun&) = delete;
  SearchRun& operator=(const SearchRun&) = delete;

  // Called on the worker when the queue turns non-empty and when the walk ends; keep it cheap.
  // Takes effect from the next Start().
  void SetWakeup(std::function<void()> wakeup);

  void Start(SearchOptions options);  // joins a previous run first
  void RequestStop();
  bool StopRequested() const { return stop_.load(std::memory_order_relaxed); }

  // Moves up to `max` queued hits to the end of `out`; never blocks. Returns how many.
  size_t TakeHits(std::vector<ResultRecord>& out, size_t max);
  // Blocks until a hit is queued, the walk has ended, or the timeout passes.
  void WaitForHits(int timeoutMs);

  bool WalkDone() const;  // the worker has finished walking (hits may still be queued)
  bool Finished() const;  // walk done and queue drained: the final text may be shown
  bool Cancelled() const { return cancelled_.load(); }  // the stop flag as the walk returned
  // Waits for the worker. Safe at any moment: while it waits, a full queue no longer blocks
  // the worker (so hits are kept, not lost); call RequestStop() first to end the run early.
  void Join();

 private:
  void Worker(SearchOptions options);
  friend class RunSink;
  void Push(ResultRecord&& record);

  const size_t capacity_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> cancelled_{false};
  mutable std::mutex mutex_;
  std::condition_variable spaceFreed_;
  std::condition_variable hitsQueued_;
  std::deque<ResultRecord> queue_;
  bool walkDone_ = true;
  bool joining_ = false;  // Join() is waiting: pushes no longer block on a full queue
  std::function<void()> wakeup_;
  std::function<void()> workerWakeup_;  // the worker's own copy, taken as it starts
  std::thread worker_;
};

}  // namespace findlark
