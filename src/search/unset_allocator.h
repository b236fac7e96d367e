#pragma once

#include <memory>
#include <new>
#include <utility>

namespace findlark {

// Leaves the elements a resize adds unset (default-initialised): for buffers the kernel or a
// read fills before anything looks at them, where zeroing a fresh one costs a page fault per
// page.
template <typename T>
struct UnsetAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UnsetAllocator<U>;
  };
  UnsetAllocator() = default;
  template <typename U>
  UnsetAllocator(const UnsetAllocator<U>&) noexcept {}
  template <typename U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

}  // namespace findlark
