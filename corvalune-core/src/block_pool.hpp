#pragma once
// A pool of fixed-size memory blocks for the records of the hot path.
//
// Tasks, jobs and completion records are allocated by the submitting thread
// and mostly freed by a worker. With the C library's allocator that pattern
// sends every free back to the allocating thread's arena under its lock, and
// the two sides spend their time handing that lock back and forth. Here each
// thread keeps its own free lists (one per size class); a thread whose list
// grows past two magazines hands one magazine (kMagazine blocks) to a shared
// depot under a mutex, and a thread whose list is empty takes one back. The
// lock is taken once per kMagazine blocks.
//
// Blocks are cut from slabs of one magazine each and never returned to the
// system: the pool is bounded by the peak number of live blocks. Per-thread lists are plain pointers (trivially
// destructible): a thread that ends leaves its cached blocks behind, and
// nothing here is destroyed at exit. Sanitizer builds use plain new/delete so
// that use-after-free stays detectable.
#include <cstddef>
#include <memory>
#include <new>

namespace corvalune::core {

// Blocks of up to kMaxPooled bytes come from the pool, larger ones from the
// C library.
inline constexpr std::size_t kMaxPooled = 512;

void* pool_allocate(std::size_t size);
void pool_free(void* block, std::size_t size) noexcept;

// Gives a class pooled operator new/delete.
struct PoolAllocated {
  static void* operator new(std::size_t size) { return pool_allocate(size); }
  static void operator delete(void* block, std::size_t size) noexcept { pool_free(block, size); }
};

// An allocator for std::allocate_shared.
template <class T>
struct PoolAllocator {
  using value_type = T;
  PoolAllocator() noexcept = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(pool_allocate(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept { pool_free(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const PoolAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T, class... Args>
std::shared_ptr<T> make_pooled_shared(Args&&... args) {
  return std::allocate_shared<T>(PoolAllocator<T>(), std::forward<Args>(args)...);
}

}  // namespace corvalune::core
