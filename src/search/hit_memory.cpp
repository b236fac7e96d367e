#include "search/hit_memory.h"

#include <malloc.h>
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

size_t WholeLargePages(size_t bytes) {
  return (bytes + kLargePage - 1) & ~(kLargePage - 1);
}

// Fresh memory the kernel may back with 2 MiB pages: a fault per large page, not per 4 KiB.
// Whole large pages, aligned to one; null when there is no address space left.
void* MapLargePages(size_t bytes) {
  bytes = WholeLargePages(bytes);
  // One large page more than asked, so that an aligned start can be cut out of it.
  void* raw = ::mmap(nullptr, bytes + kLargePage, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t aligned = (start + kLargePage - 1) & ~(kLargePage - 1);
  if (aligned > start) ::munmap(raw, aligned - start);
  ::munmap(reinterpret_cast<char*>(aligned) + bytes, start + kLargePage - aligned);
  ::madvise(reinterpret_cast<char*>(aligned), bytes, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void UnmapLargePages(void* memory, size_t bytes) {  // `bytes` as mapped
  ::munmap(memory, WholeLargePages(bytes));
}

bool NewRegion(Pool& pool) {
  pool.next = static_cast<char*>(MapLargePages(kRegion));
  pool.left = pool.next != nullptr ? kRegion : 0;
  return pool.next != nullptr;
}

}  // namespace

void* TakeLargeArray(size_t bytes) {
  if (!kPooled || bytes < kLargePage) return ::operator new(bytes);
  void* memory = MapLargePages(bytes);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void GiveLargeArray(void* memory, size_t bytes) {
  if (!kPooled || bytes < kLargePage) return ::operator delete(memory);
  UnmapLargePages(memory, bytes);
}

void ReleaseIdleMemory() {
  if (kPooled) {
    Pool& pool = ThePool();
    // Out of the pool while their pages go: nobody waits on the pool meanwhile, nor is given
    // a buffer the kernel is still taking pages from.
    std::array<std::vector<uintptr_t>, kMaxClass + 1> held;
    {
      std::lock_guard lock(pool.mutex);
      for (size_t cls = kMinClass; cls <= kMaxClass; ++cls) {
        auto& idle = pool.idle[cls];
        const auto pagesHeld = std::partition(
            idle.begin(), idle.end(), [](uintptr_t entry) { return (entry & kReleased) != 0; });
        held[cls].assign(pagesHeld, idle.end());
        idle.erase(pagesHeld, idle.end());
      }
      pool.idleBytes = 0;
    }
    for (size_t cls = kMinClass; cls <= kMaxClass; ++cls) {
      for (const uintptr_t entry : held[cls])
        ::madvise(reinterpret_cast<void*>(entry), size_t{1} << cls, MADV_DONTNEED);
    }
    std::lock_guard lock(pool.mutex);
    for (size_t cls = kMinClass; cls <= kMaxClass; ++cls) {
      for (const uintptr_t entry : held[cls]) pool.idle[cls].push_back(entry | kReleased);
    }
  }
#ifdef __GLIBC__
  ::malloc_trim(0);
#endif
}

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
