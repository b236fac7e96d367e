#include "search/search_run.h"

#include <chrono>
#include <cstdio>

#include "platform/drives.h"
#include "search/case_fold.h"
#include "search/directory_walk.h"

namespace findlark {

std::string ProgressText(int found) {
  char text[64];
  std::snprintf(text, sizeof text, "Searching... %d found so far.", found);
  return text;
}

std::string FinalStatusText(bool cancelled, int found) {
  char text[64];
  std::snprintf(text, sizeof text,
                cancelled ? "Search cancelled. %d found." : "Search complete. %d found.", found);
  return text;
}

class RunSink : public HitSink {
 public:
  explicit RunSink(SearchRun& run) : run_(run) {}
  void OnHit(ResultRecord&& record) override { run_.Push(std::move(record)); }

 private:
  SearchRun& run_;
};

SearchRun::SearchRun(size_t queueCapacity) : capacity_(queueCapacity == 0 ? 1 : queueCapacity) {}

SearchRun::~SearchRun() {
  RequestStop();
  Join();
}

void SearchRun::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard lock(mutex_);
  wakeup_ = std::move(wakeup);
}

void SearchRun::Start(SearchOptions options) {
  if (worker_.joinable()) {
    RequestStop();
    Join();
  }
  {
    std::lock_guard lock(mutex_);
    queue_.clear();
    walkDone_ = false;
    stop_.store(false);
    cancelled_.store(false);
    workerWakeup_ = wakeup_;  // the worker reads its own copy, unlocked
  }
  worker_ = std::thread(&SearchRun::Worker, this, std::move(options));
}

void SearchRun::RequestStop() {
  {
    // Under the lock so a worker about to wait on a full queue cannot miss it.
    std::lock_guard lock(mutex_);
    stop_.store(true);
  }
  spaceFreed_.notify_all();
}

size_t SearchRun::TakeHits(std::vector<ResultRecord>& out, size_t max) {
  size_t taken = 0;
  {
    std::lock_guard lock(mutex_);
    while (taken < max && !queue_.empty()) {
      out.push_back(std::move(queue_.front()));
      queue_.pop_front();
      ++taken;
    }
  }
  if (taken > 0) spaceFreed_.notify_all();
  return taken;
}

void SearchRun::WaitForHits(int timeoutMs) {
  std::unique_lock lock(mutex_);
  hitsQueued_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                       [this] { return !queue_.empty() || walkDone_; });
}

bool SearchRun::WalkDone() const {
  std::lock_guard lock(mutex_);
  return walkDone_;
}

bool SearchRun::Finished() const {
  std::lock_guard lock(mutex_);
  return walkDone_ && queue_.empty();
}

void SearchRun::Join() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    joining_ = true;
  }
  spaceFreed_.notify_all();
  worker_.join();
  std::lock_guard lock(mutex_);
  joining_ = false;
}

void SearchRun::Push(ResultRecord&& record) {
  bool wasEmpty = false;
  {
    std::unique_lock lock(mutex_);
    // Once Stop is requested the hit goes in regardless: unwinding must never wait on an owner
    // that has stopped draining.
    spaceFreed_.wait(lock,
                     [this] { return queue_.size() < capacity_ || stop_.load() || joining_; });
    wasEmpty = queue_.empty();
    queue_.push_back(std::move(record));
  }
  // Waiters only sleep on an empty queue, so only the first hit of a burst needs to wake them.
  if (!wasEmpty) return;
  hitsQueued_.notify_all();
  if (workerWakeup_) workerWakeup_();
}

void SearchRun::Worker(SearchOptions options) {
  const QueryMatcher matcher(std::move(options.queryLower));
  WalkOptions walk;
  walk.query = &matcher;
  walk.typeFilter = options.typeFilter;
  walk.searchContents = options.searchContents;
  walk.pdf = options.pdf.get();  // the options, and so the extractor, live as long as the walk
  walk.details = options.details;
  walk.stop = &stop_;
  RunSink sink(*this);
  // Pseudo file systems are left out below any root, and never read.
  const PseudoMountTable pseudo = PseudoMounts();
  walk.pruned = &pseudo.mountPoints;
  walk.unreadable = &pseudo.devices;
  if (options.source) {
    options.source(sink, stop_);
  } else if (!options.folder.empty()) {
    SearchFolder(options.folder, walk, sink);
  } else if (!stop_.load()) {
    SearchFolder("/", walk, sink);
  }
  // Which final text is shown rests on the flag at this moment.
  cancelled_.store(stop_.load());
  {
    std::lock_guard lock(mutex_);
    walkDone_ = true;
  }
  hitsQueued_.notify_all();
  if (workerWakeup_) workerWakeup_();
}

}  // namespace findlark
