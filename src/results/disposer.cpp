#include "results/disposer.h"

#include <utility>

namespace findlark {

Disposer::Disposer() : thread_(&Disposer::Loop, this) {}

Disposer::~Disposer() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Disposer::Release(std::shared_ptr<void> garbage) {
  if (!garbage) return;
  {
    std::lock_guard lock(mutex_);
    garbage_.push_back(std::move(garbage));
  }
  wake_.notify_one();
}

void Disposer::Loop() {
  std::vector<std::shared_ptr<void>> drop;
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return quit_ || !garbage_.empty(); });
    drop.swap(garbage_);
    const bool quit = quit_;
    lock.unlock();
    drop.clear();  // keeps its buffer, so handing over never allocates on the owner's side
    if (quit) return;
    lock.lock();
  }
}

}  // namespace findlark
