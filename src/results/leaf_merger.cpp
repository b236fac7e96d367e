#include "results/leaf_merger.h"

#include <utility>

#include "platform/background_thread.h"

namespace findlark {
namespace {

// How much lower than its owner the helper runs. Merges are background work: on a machine with
// no core to spare, a merge at the owner's priority takes its turns on the core beside the
// window thread and holds the window's answers back by tens of milliseconds.
constexpr int kHelperNiceness = 5;

}  // namespace

LeafMerger::LeafMerger() : thread_(&LeafMerger::Loop, this) {}

LeafMerger::~LeafMerger() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    cancel_.store(true);
  }
  wake_.notify_all();
  thread_.join();
}

bool LeafMerger::Busy() const {
  std::lock_guard lock(mutex_);
  return pending_.has_value() || running_ || finished_.has_value();
}

void LeafMerger::Start(LeafMerge merge, std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    pending_ = std::move(merge);
    done_ = std::move(done);
  }
  wake_.notify_all();
}

std::optional<LeafMerge> LeafMerger::Take() {
  std::lock_guard lock(mutex_);
  return std::exchange(finished_, std::nullopt);
}

void LeafMerger::Abandon() {
  {
    std::lock_guard lock(mutex_);
    pending_.reset();
    if (running_) {
      cancel_.store(true);
      dropRunning_ = true;
    }
    if (finished_) garbage_.push_back(std::make_shared<LeafLists>(std::move(finished_->lists)));
    finished_.reset();
  }
  wake_.notify_all();
}

void LeafMerger::Cancel() {
  Abandon();
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return !running_; });
}

void LeafMerger::Dispose(std::shared_ptr<void> garbage) {
  {
    std::lock_guard lock(mutex_);
    garbage_.push_back(std::move(garbage));
  }
  wake_.notify_all();
}

void LeafMerger::Loop() {
  RunAsBackground(kHelperNiceness);
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return quit_ || pending_ || !garbage_.empty(); });
    if (!garbage_.empty()) {
      std::vector<std::shared_ptr<void>> drop;
      drop.swap(garbage_);
      lock.unlock();
      drop.clear();
      lock.lock();
      continue;
    }
    if (quit_) return;
    LeafMerge merge = std::move(*pending_);
    pending_.reset();
    std::function<void()> done = std::move(done_);
    running_ = true;
    dropRunning_ = false;
    cancel_.store(false);
    lock.unlock();
    const bool complete = ResultsTree::RunMerge(merge, &cancel_);
    lock.lock();
    running_ = false;
    const bool keep = complete && !dropRunning_ && !quit_;
    if (keep) finished_ = std::move(merge);
    idle_.notify_all();
    lock.unlock();
    if (keep && done) done();
    merge = {};  // an abandoned merge's lists go here, unlocked
    lock.lock();
  }
}

}  // namespace findlark
