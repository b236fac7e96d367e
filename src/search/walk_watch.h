#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace findlark {

// Where each walking thread is, so that a folder or file that does not answer (a dead network
// mount holds a thread in the kernel) can be named to the user. Walkers write; one owner reads.
class WalkWatch {
 public:
  class Slot {
   public:
    // About to open or list `path`: the thread may be held there.
    void At(std::string_view path);
    // One entry done: the thread is moving.
    void Beat() {
      beats_.store(beats_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // Waiting for another thread's work, which is watched on its own.
    void SetWaiting(bool waiting) {
      waiting_.store(waiting, std::memory_order_relaxed);
      Beat();
    }

   private:
    friend class WalkWatch;
    std::atomic<uint64_t> beats_{0};
    std::atomic<bool> waiting_{false};
    std::atomic<bool> inUse_{false};
    std::mutex mutex_;
    std::string where_;
  };

  Slot* Acquire();
  void Release(Slot* slot);

  // The place where a thread has stayed, without moving on, for at least `patience`; empty when
  // every thread moves. Of several, the deepest. Called by the owner alone, now and then.
  std::string Stalled(std::chrono::steady_clock::time_point now,
                      std::chrono::steady_clock::duration patience);

 private:
  struct Seen {
    uint64_t beats = ~uint64_t{0};
    std::chrono::steady_clock::time_point since;
  };
  std::mutex mutex_;
  std::deque<Slot> slots_;  // deque: a slot never moves
  std::vector<Seen> seen_;  // the owner's, by slot
};

}  // namespace findlark
