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
// Once a walk is over its buffers sit idle, and the heaps keep what was freed meanwhile (the
// threads that ended, and the sorted lists below a large page, made anew at every merge): gives
// the pages of both back to the kernel (the buffers' addresses stay pooled). Some tens of
// megabytes after a million hits; it takes milliseconds.
void ReleaseIdleMemory();

// For large arrays that are made anew again and again (the results' sorted lists): fresh
// memory in 2 MiB pages, aligned to one, from that size up; the heap below (and in a sanitized
// build).
void* TakeLargeArray(size_t bytes);
void GiveLargeArray(void* memory, size_t bytes);  // `bytes` as taken

// An allocator over a pair of functions that take and give back bytes.
template <typename T, void* (*Take)(size_t), void (*Give)(void*, size_t)>
struct BytesAllocator {
  using value_type = T;
  template <typename U>
  struct rebind {
    using other = BytesAllocator<U, Take, Give>;
  };
  BytesAllocator() = default;
  template <typename U>
  BytesAllocator(const BytesAllocator<U, Take, Give>&) {}
  T* allocate(size_t n) { return static_cast<T*>(Take(n * sizeof(T))); }
  void deallocate(T* p, size_t n) { Give(p, n * sizeof(T)); }
  template <typename U>
  bool operator==(const BytesAllocator<U, Take, Give>&) const {
    return true;
  }
};

template <typename T>
using HitAllocator = BytesAllocator<T, TakeHitMemory, GiveHitMemory>;
template <typename T>
using LargePageAllocator = BytesAllocator<T, TakeLargeArray, GiveLargeArray>;

}  // namespace findlark
