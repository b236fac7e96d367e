#include "search/hit_memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

namespace findlark {
namespace {

// Sizes are rounded up to a power of two from 4 KiB; past 16 MiB they come from the heap.
constexpr size_t kMinClass = 12;
constexpr size_t kMaxClass = 24;
constexpr size_t kLargePage = size_t{2} << 20;
constexpr size_t kRegion = size_t{16} << 20;  // address space cut at a time
// Given back beyond this, a buffer's pages go back to the kernel (its address stays pooled):
// a window left open after a big search holds no more than this unused.
constexpr size_t kMaxIdle = size_t{32} << 20;
constexpr uintptr_t kReleased = 1;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPooled = false;  // the heap, where a sanitizer sees every overrun
#else
constexpr bool kPooled = true;
#endif

struct Pool {
  std::mutex mutex;
  // Page-aligned addresses; the low bit says the pages went back to the kernel.
  std::array<std::vector<uintptr_t>, kMaxClass + 1> idle;
  size_t idleBytes = 0;  // of those whose pages are still held
  char* next = nullptr;
  size_t left = 0;
};

Pool& ThePool() {
  static Pool* pool = new Pool;  // never destroyed: buffers may be given back at exit
  return *pool;
}

size_t ClassOf(size_t bytes) {
  return std::max(kMinClass, static_cast<size_t>(std::bit_width(std::max<size_t>(bytes, 1) - 1)));
}

// A new region, aligned so that the kernel can back it with large pages.
bool NewRegion(Pool& pool) {
  void* raw = ::mmap(nullptr, kRegion + kLargePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return false;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  ::munmap(reinterpret_cast<char*>(aligned) + kRegion, start + kLargePage - aligned);
  ::madvise(reinterpret_cast<char*>(aligned), kRegion, MADV_HUGEPAGE);
  pool.next = reinterpret_cast<char*>(aligned);
  pool.left = kRegion;
  return true;
}

}  // namespace

bool HitMemoryPooled() {
  return kPooled;
}

void* TakeHitMemory(size_t bytes) {
  const size_t cls = ClassOf(bytes);
  if (!kPooled || cls > kMaxClass) return ::operator new(bytes);
  const size_t size = size_t{1} << cls;
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  if (auto& idle = pool.idle[cls]; !idle.empty()) {
    const uintptr_t entry = idle.back();
    idle.pop_back();
    if ((entry & kReleased) == 0) pool.idleBytes -= size;
    return reinterpret_cast<void*>(entry & ~kReleased);
  }
  // The rest of a region too small for this size is left unused: it was never written, so it
  // holds no memory.
  if (pool.left < size && !NewRegion(pool)) throw std::bad_alloc();
  void* memory = pool.next;
  pool.next += size;
  pool.left -= size;
  return memory;
}

void GiveHitMemory(void* memory, size_t bytes) {
  const size_t cls = ClassOf(bytes);
  if (!kPooled || cls > kMaxClass) return ::operator delete(memory);
  const size_t size = size_t{1} << cls;
  Pool& pool = ThePool();
  std::lock_guard lock(pool.mutex);
  auto entry = reinterpret_cast<uintptr_t>(memory);
  if (pool.idleBytes + size > kMaxIdle) {
    ::madvise(memory, size, MADV_DONTNEED);
    entry |= kReleased;
  } else {
    pool.idleBytes += size;
  }
  pool.idle[cls].push_back(entry);
}

}  // namespace findlark
