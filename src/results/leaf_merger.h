#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "results/results_tree.h"

namespace findlark {

// One helper thread that runs merges away from the owner's thread, and frees big things there
// too: dropping ten million leaves or records takes longer than a frame.
class LeafMerger {
 public:
  LeafMerger();
  ~LeafMerger();  // cancels a running merge and joins
  LeafMerger(const LeafMerger&) = delete;
  LeafMerger& operator=(const LeafMerger&) = delete;

  bool Busy() const;  // a merge is running or its result not yet taken
  // Runs `merge` on the helper; `done` is called there once it is finished (not if cancelled).
  void Start(LeafMerge merge, std::function<void()> done);
  std::optional<LeafMerge> Take();  // the finished merge, once
  // Drops the pending and finished merges and ends the running one early, without waiting:
  // what it reads stays alive, as things disposed of are freed on the helper between merges.
  void Abandon();
  void Cancel();                                // Abandon, and wait until the helper is idle
  void Dispose(std::shared_ptr<void> garbage);  // released on the helper

 private:
  void Loop();

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::optional<LeafMerge> pending_;
  std::function<void()> done_;
  std::optional<LeafMerge> finished_;
  std::vector<std::shared_ptr<void>> garbage_;
  bool running_ = false;
  bool dropRunning_ = false;  // the running merge was abandoned
  bool quit_ = false;
  std::atomic<bool> cancel_{false};
  std::thread thread_;
};

}  // namespace findlark
