#pragma once

#include <cstddef>

namespace findlark {

// Memory for the buffers hits travel in between threads. On a virtual machine the first write
// to a fresh 4 KiB page can cost some ten microseconds: a search with tens of thousands of hits
// in flight spent more time there than on packing them. So buffers come from large pages and
// what is given back is kept for the next buffer of its size, up to a bound.
void* TakeHitMemory(size_t bytes);
void GiveHitMemory(void* memory, size_t bytes);  // `bytes` as taken
bool HitMemoryPooled();  // false in a sanitized build: there it is the heap's

template <typename T>
struct HitAllocator {
  using value_type = T;
  HitAllocator() = default;
  template <typename U>
  HitAllocator(const HitAllocator<U>&) {}
  T* allocate(size_t n) { return static_cast<T*>(TakeHitMemory(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { GiveHitMemory(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const HitAllocator<U>&) const {
    return true;
  }
};

}  // namespace findlark
