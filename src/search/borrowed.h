#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace findlark {

// A thread's working space (a thread_local), taken from a shelf the whole process shares and
// put back when the thread ends, for the next thread to use. A search runs on new threads each
// time; the first write to a page of new memory costs a fault (some 12 us on a virtual
// machine), and freeing it while other threads run costs each CPU a flush of its page tables.
// At most `kKept` wait on the shelf, as many as the threads of a search on a common desktop
// machine; more are freed.
template <typename T, size_t kKept = 4>
class Borrowed {
 public:
  Borrowed() = default;
  ~Borrowed() {
    if (item_ == nullptr) return;
    Shelf& shelf = TheShelf();
    std::lock_guard lock(shelf.mutex);
    if (shelf.items.size() < kKept) shelf.items.push_back(std::move(item_));
  }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;

  // Taken on first use, or made: left uninitialised where T leaves it so, which keeps a new
  // buffer's pages untouched until written.
  T& operator*() {
    if (item_ == nullptr) item_ = Take();
    return *item_;
  }
  T* operator->() { return &**this; }

 private:
  struct Shelf {
    std::mutex mutex;
    std::vector<std::unique_ptr<T>> items;
  };
  // Never destroyed: what waits on it goes with the process, not freed piece by piece.
  static Shelf& TheShelf() {
    static Shelf* shelf = new Shelf;
    return *shelf;
  }
  static std::unique_ptr<T> Take() {
    {
      Shelf& shelf = TheShelf();
      std::lock_guard lock(shelf.mutex);
      if (!shelf.items.empty()) {
        std::unique_ptr<T> item = std::move(shelf.items.back());
        shelf.items.pop_back();
        return item;
      }
    }
    return std::unique_ptr<T>(new T);
  }

  std::unique_ptr<T> item_;
};

}  // namespace findlark
