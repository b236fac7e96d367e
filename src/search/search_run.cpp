#include "search/search_run.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <utility>

#include "platform/background_thread.h"
#include "platform/drives.h"
#include "search/case_fold.h"
#include "search/directory_walk.h"
#include "search/walk_watch.h"

namespace findlark {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_heldRuns{0};

}  // namespace

std::string ProgressText(int found, std::string_view waitingFor) {
  char text[64];
  std::snprintf(text, sizeof text, "Searching... %d found so far.", found);
  std::string progress = text;
  if (!waitingFor.empty()) {
    progress += " Waiting for ";
    progress += waitingFor;
  }
  return progress;
}

std::string FinalStatusText(bool cancelled, int found) {
  char text[64];
  std::snprintf(text, sizeof text,
                cancelled ? "Search cancelled. %d found." : "Search complete. %d found.", found);
  return text;
}

// What the worker and the owner share. The worker keeps it alive for as long as it runs, so a
// given-up run's thread never touches anything of the owner's.
struct SearchRun::State {
  explicit State(size_t queueCapacity) : capacity(queueCapacity) {}

  void Push(const ResultRecord& record) {
    std::unique_lock lock(mutex);
    if (!WaitForRoom(lock)) return;
    const size_t before = queue.size();
    queue.AddHit(record);
    Queued(before);
  }

  void Push(HitRun run) {
    std::unique_lock lock(mutex);
    while (run.count > 0 && WaitForRoom(lock)) {
      const size_t before = queue.size();
      // Cut to the room there is, unless the owner no longer drains the queue.
      queue.Append(stop.load() || joining ? std::exchange(run, {})
                                          : CutRun(run, capacity - before));
      Queued(before);
    }
  }

  // False: found too late, nobody is listening.
  bool WaitForRoom(std::unique_lock<std::mutex>& lock) {
    // Once Stop is requested hits go in regardless: unwinding must never wait on an owner that
    // has stopped draining.
    spaceFreed.wait(lock, [this] { return queue.size() < capacity || stop.load() || joining; });
    return !givenUp;
  }

  // Waiters sleep on an empty queue or for a half full one, so only the first hits of a burst
  // and those that fill half the queue need to wake them, each their own.
  void Queued(size_t before) {
    if (before < HalfFull() && queue.size() >= HalfFull()) gathered.notify_all();
    if (before != 0) return;
    changed.notify_all();
    if (wakeup) wakeup();  // under the lock, so it is never called once the run is given up
  }

  size_t HalfFull() const { return capacity / 2 + 1; }

  const size_t capacity;
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable spaceFreed;
  std::condition_variable changed;   // a hit queued, Stop requested, or the walk ended
  std::condition_variable gathered;  // the queue half full, Stop requested, or the walk ended
  HitBatch queue;
  Clock::time_point stopAt;
  bool walkDone = false;
  bool cancelled = false;
  bool joining = false;  // Join() is waiting: pushes no longer block on a full queue
  bool givenUp = false;
  // walkDone || givenUp, readable without the lock: the window thread must not wait on a worker
  // that holds the lock (and may have lost its core) to learn whether to say what it waits for.
  std::atomic<bool> over{false};
  std::function<void()> wakeup;
  WalkWatch watch;
};

class RunSink : public HitSink {
 public:
  explicit RunSink(SearchRun::State& state) : state_(state) {}
  // Copied: the walker's record keeps its memory for the next hit.
  void OnHit(ResultRecord&& record) override { state_.Push(record); }
  bool TakesRuns() const override { return true; }
  void OnHits(const HitRun& hits) override { state_.Push(hits); }

 private:
  SearchRun::State& state_;
};

SearchRun::SearchRun(size_t queueCapacity, std::chrono::milliseconds grace)
    : capacity_(queueCapacity == 0 ? 1 : queueCapacity), grace_(grace) {}

SearchRun::~SearchRun() {
  if (!worker_.joinable()) return;
  RequestStop();
  Join();
}

void SearchRun::SetWakeup(std::function<void()> wakeup) {
  wakeup_ = std::move(wakeup);
}

bool SearchRun::Start(SearchOptions options) {
  if (worker_.joinable()) {
    RequestStop();
    Join();
  }
  if (HeldRuns() >= kMaxHeldRuns) return false;
  state_ = std::make_shared<State>(capacity_);
  state_->wakeup = wakeup_;
  worker_ = std::thread(&SearchRun::Worker, state_, std::move(options));
  return true;
}

void SearchRun::RequestStop() {
  if (!state_) return;
  {
    // Under the lock so a worker about to wait on a full queue cannot miss it.
    std::lock_guard lock(state_->mutex);
    if (!state_->stop.load()) state_->stopAt = Clock::now();
    state_->stop.store(true);
  }
  state_->spaceFreed.notify_all();
  state_->changed.notify_all();
  state_->gathered.notify_all();
}

bool SearchRun::StopRequested() const {
  return state_ && state_->stop.load(std::memory_order_relaxed);
}

std::optional<SearchRun::Taken> SearchRun::TryTakeAll(HitBatch& out) {
  if (!state_) return Taken{0, true};
  GiveUpIfOverdue();
  size_t n = 0;
  bool last = false;
  {
    std::unique_lock lock(state_->mutex, std::try_to_lock);
    if (!lock.owns_lock()) return std::nullopt;
    n = state_->queue.size();
    last = state_->walkDone || state_->givenUp;
    if (n > 0) {
      if (out.empty()) {
        out.swap(state_->queue);
      } else {
        out.Append(state_->queue);
      }
      state_->queue.clear();  // after a swap, `out`'s old bytes (its count says none)
    }
  }
  if (n > 0) state_->spaceFreed.notify_all();
  return Taken{n, last};
}

void SearchRun::WaitForHits(int timeoutMs) {
  if (!state_) return;
  std::unique_lock lock(state_->mutex);
  state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
    return !state_->queue.empty() || state_->walkDone || state_->givenUp;
  });
}

void SearchRun::WaitForMoreHits(int timeoutMs) {
  if (!state_) return;
  std::unique_lock lock(state_->mutex);
  state_->gathered.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
    return state_->queue.size() >= state_->HalfFull() || state_->walkDone || state_->givenUp;
  });
}

bool SearchRun::WalkDone() {
  if (!state_) return true;
  GiveUpIfOverdue();
  std::lock_guard lock(state_->mutex);
  return state_->walkDone || state_->givenUp;
}

bool SearchRun::Finished() {
  if (!state_) return true;
  GiveUpIfOverdue();
  std::lock_guard lock(state_->mutex);
  return (state_->walkDone || state_->givenUp) && state_->queue.empty();
}

bool SearchRun::Cancelled() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

bool SearchRun::GivenUp() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return state_->givenUp;
}

void SearchRun::Join() {
  if (!worker_.joinable()) return;
  std::unique_lock lock(state_->mutex);
  state_->joining = true;
  state_->spaceFreed.notify_all();
  const auto done = [this] { return state_->walkDone; };
  state_->changed.wait(lock, [this] { return state_->walkDone || state_->stop.load(); });
  if (!state_->walkDone && !state_->changed.wait_until(lock, state_->stopAt + grace_, done)) {
    lock.unlock();
    GiveUp();
    return;
  }
  lock.unlock();
  worker_.join();
}

void SearchRun::GiveUpIfOverdue() {
  if (!worker_.joinable() || !state_->stop.load()) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->walkDone || Clock::now() < state_->stopAt + grace_) return;
  }
  GiveUp();
}

void SearchRun::GiveUp() {
  bool held = false;
  {
    std::lock_guard lock(state_->mutex);
    held = !state_->walkDone;  // else it returned meanwhile
    if (held) {
      state_->givenUp = true;
      state_->over.store(true);
      state_->cancelled = true;
      state_->wakeup = nullptr;
      g_heldRuns.fetch_add(1);
    }
  }
  state_->spaceFreed.notify_all();
  // The thread keeps its own share of the state; it is ended by the kernel, not by us.
  if (held) {
    worker_.detach();
  } else {
    worker_.join();
  }
}

std::string SearchRun::WaitingFor() {
  if (!state_) return {};
  GiveUpIfOverdue();
  if (state_->over.load()) return {};
  return state_->watch.Stalled(Clock::now(), kStallPatience);
}

int SearchRun::HeldRuns() {
  return g_heldRuns.load();
}

void SearchRun::Worker(std::shared_ptr<State> state, SearchOptions options) {
  // The walk, and the helpers it starts, which inherit this, must not take the window's core
  // each time one of them wakes.
  RunAsBackground();
  const QueryMatcher matcher(std::move(options.queryLower), options.filters.wholeWord);
  WalkOptions walk;
  walk.query = &matcher;
  walk.typeFilter = options.typeFilter;
  walk.searchContents = options.searchContents;
  walk.pdf = options.pdf.get();  // the options, and so the extractor, live as long as the walk
  walk.details = options.details;
  walk.threads = options.threads;
  walk.stop = &state->stop;
  walk.watch = &state->watch;
  walk.filters = &options.filters;
  RunSink sink(*state);
  // Pseudo file systems are left out below any root, and never read; network ones are left out
  // of a whole-machine search.
  if (!options.mounts) options.mounts = std::make_shared<const MountTable>(Mounts());
  const MountTable& mounts = *options.mounts;
  walk.pruned = &mounts.pseudoMountPoints;
  // Staying on one file system: every other mount below the folder is pruned as those are.
  std::unordered_set<std::string> otherMounts;
  if (options.filters.oneFileSystem) {
    otherMounts = mounts.mountPoints;
    walk.pruned = &otherMounts;
  }
  walk.unreadable = &mounts.pseudoDevices;
  const std::string root = options.folder.empty() ? "/" : NormalizeRoot(options.folder);
  if (root == "/" && !options.networkMounts) walk.skipped = &mounts.networkMountPoints;
  if (options.source) {
    options.source(sink, state->stop);
  } else if (!state->stop.load()) {
    SearchFolder(root, walk, sink);
  }
  std::lock_guard lock(state->mutex);
  // Which final text is shown rests on the flag at this moment.
  if (!state->givenUp) state->cancelled = state->stop.load();
  state->walkDone = true;
  state->over.store(true);
  if (state->givenUp) {
    g_heldRuns.fetch_sub(1);
    return;
  }
  state->changed.notify_all();
  state->gathered.notify_all();
  if (state->wakeup) state->wakeup();
}

}  // namespace findlark
