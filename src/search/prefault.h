#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace findlark {

// Makes the whole pages within [memory, memory + bytes) present and writable in one call, for a
// buffer about to be written through: on a virtual machine each first write to a page otherwise
// costs a fault of some ten microseconds, this well under one a page. Without it (a kernel
// before 5.14) the pages fault in as they are written, as before.
inline void PrefaultForWriting(void* memory, size_t bytes) {
  constexpr uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<uintptr_t>(memory);
  const uintptr_t first = (start + kPage - 1) & ~(kPage - 1);
  const uintptr_t end = (start + bytes) & ~(kPage - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
}

}  // namespace findlark
