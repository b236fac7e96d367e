#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/drives.h"
#include "results/result_record.h"
#include "search/categories.h"
#include "search/hit_batch.h"
#include "search/search_filters.h"

namespace findlark {

class HitSink;
class PdfExtractor;

struct SearchOptions {
  std::string queryLower;  // trimmed and folded, never empty
  FileCategory typeFilter = kTypeFilterAll;
  bool searchContents = false;
  std::string folder;   // empty: the whole machine from "/", pseudo file systems pruned
  bool details = true;  // false: hits carry no size and date texts, which saves a stat each
  // A search of the whole machine (or of "/") leaves network file systems out unless this is
  // set: a server that has gone away would hold it for good.
  bool networkMounts = false;
  SearchFilters filters = {};
  // Set: PDF documents are searched through their text.
  std::shared_ptr<PdfExtractor> pdf = nullptr;
  // Threads that walk and read; 0: as the machine allows (see WalkOptions).
  int threads = 0;
  // What is mounted, when the caller has just read it; read afresh when null.
  std::shared_ptr<const MountTable> mounts = nullptr;
  // When set, called on the worker instead of the walk (benchmarks feed generated hits).
  std::function<void(HitSink& sink, const std::atomic<bool>& stop)> source = nullptr;
};

// "Searching... %d found so far.", with " Waiting for PATH" when a place does not answer.
std::string ProgressText(int found, std::string_view waitingFor = {});
std::string FinalStatusText(bool cancelled, int found);  // "Search complete./cancelled. %d found."

// How long a stopped walk may take to return before its run is given up.
inline constexpr std::chrono::milliseconds kStopGrace{1000};
// How long a folder or file may keep a walk waiting before the user is told.
inline constexpr std::chrono::milliseconds kStallPatience{2000};
// Given-up runs whose thread is still held (by a folder that never answers) past which no new
// run starts: each holds a thread and its descriptors until the kernel lets go.
inline constexpr int kMaxHeldRuns = 4;

// One search at a time on a worker thread. The worker walks and matches and pushes finished
// hits into a bounded queue that the owner drains (on the window thread in the app); when the
// queue is full the worker waits, so memory stays bounded.
//
// A walk held in the kernel (a dead network mount) cannot be ended by anyone, so the owner never
// waits for one: a run stopped and not returned within the grace time is given up. Its thread is
// left to end when the kernel lets it, and everything it finds after that is dropped.
class SearchRun {
 public:
  explicit SearchRun(size_t queueCapacity = 8192, std::chrono::milliseconds grace = kStopGrace);
  ~SearchRun();  // stops, and waits at most the grace time
  SearchRun(const SearchRun&) = delete;
  SearchRun& operator=(const SearchRun&) = delete;

  // Called on the worker when the queue turns non-empty and when the walk ends; keep it cheap.
  // Never called once the run is given up. Takes effect from the next Start().
  void SetWakeup(std::function<void()> wakeup);

  // Stops and ends (or gives up) a previous run first. False, with nothing started, while
  // kMaxHeldRuns given-up runs are still held.
  bool Start(SearchOptions options);
  void RequestStop();
  bool StopRequested() const;

  // Moves every queued hit to `out`, unless the worker holds the queue at this very moment
  // (nullopt): a worker that has lost its core meanwhile would hold the caller as long. An empty
  // `out` trades places with the queue, which keeps its memory for the hits to come: once a run
  // is under way, queueing and taking hits allocates and frees nothing. `last`: the walk had
  // ended (or the run was given up), so these were the last hits and Finished() holds from now
  // on.
  struct Taken {
    size_t hits = 0;
    bool last = false;
  };
  std::optional<Taken> TryTakeAll(HitBatch& out);
  // Blocks until a hit is queued, the walk has ended, or the timeout passes.
  void WaitForHits(int timeoutMs);
  // The same, but while hits stream in: until the queue is half full, or the walk has ended, or
  // the timeout passes. Taking them in larger batches costs fewer wake-ups, and waking at half
  // full keeps the worker from waiting for room.
  void WaitForMoreHits(int timeoutMs);

  // The worker has finished walking, or the run was given up (hits may still be queued).
  bool WalkDone();
  bool Finished();         // walk done and queue drained: the final text may be shown
  bool Cancelled() const;  // the stop flag as the walk returned, or given up
  bool GivenUp() const;
  // Waits for the worker, but once Stop is requested no longer than the grace time. While it
  // waits a full queue no longer blocks the worker (so hits are kept, not lost); call
  // RequestStop() first to end the run early.
  void Join();

  // The folder or file that has held the walk for kStallPatience, or empty. Call now and then.
  std::string WaitingFor();

  // Given-up runs in this process whose thread has not returned yet.
  static int HeldRuns();

 private:
  struct State;
  friend class RunSink;
  static void Worker(std::shared_ptr<State> state, SearchOptions options);
  void GiveUpIfOverdue();
  void GiveUp();

  const size_t capacity_;
  const std::chrono::milliseconds grace_;
  std::function<void()> wakeup_;
  std::shared_ptr<State> state_;  // shared with the worker, which may outlive this run
  std::thread worker_;
};

}  // namespace findlark
