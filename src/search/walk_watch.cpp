#include "search/walk_watch.h"

namespace findlark {

void WalkWatch::Slot::At(std::string_view path) {
  {
    std::lock_guard lock(mutex_);
    where_.assign(path);
  }
  Beat();
}

WalkWatch::Slot* WalkWatch::Acquire() {
  std::lock_guard lock(mutex_);
  for (Slot& slot : slots_) {
    if (!slot.inUse_.load(std::memory_order_relaxed)) {
      slot.inUse_.store(true, std::memory_order_relaxed);
      return &slot;
    }
  }
  Slot& slot = slots_.emplace_back();
  slot.inUse_.store(true, std::memory_order_relaxed);
  return &slot;
}

void WalkWatch::Release(Slot* slot) {
  std::lock_guard lock(mutex_);
  slot->SetWaiting(false);
  slot->Beat();
  slot->inUse_.store(false, std::memory_order_relaxed);
}

std::string WalkWatch::Stalled(std::chrono::steady_clock::time_point now,
                               std::chrono::steady_clock::duration patience) {
  std::lock_guard lock(mutex_);
  seen_.resize(slots_.size());
  std::string deepest;
  for (size_t i = 0; i < slots_.size(); ++i) {
    Slot& slot = slots_[i];
    const uint64_t beats = slot.beats_.load(std::memory_order_relaxed);
    if (beats != seen_[i].beats) seen_[i] = {beats, now};
    if (!slot.inUse_.load(std::memory_order_relaxed) ||
        slot.waiting_.load(std::memory_order_relaxed) || now - seen_[i].since < patience)
      continue;
    std::lock_guard slotLock(slot.mutex_);
    if (slot.where_.size() > deepest.size()) deepest = slot.where_;
  }
  return deepest;
}

}  // namespace findlark
