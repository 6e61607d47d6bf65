#include "block_pool.hpp"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

namespace corvalune::core {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kPoolEnabled = false;
#else
constexpr bool kPoolEnabled = true;
#endif

constexpr std::size_t kClasses = 4;  // 64, 128, 256, 512 bytes
constexpr std::uint32_t kMagazine = 64;

std::size_t class_of(std::size_t size) {
  if (size <= 64) return 0;
  if (size <= 128) return 1;
  if (size <= 256) return 2;
  return 3;
}

constexpr std::size_t class_size(std::size_t c) { return std::size_t{64} << c; }

struct Block {
  Block* next;
};

// A thread's cached blocks of one class. Trivially destructible on purpose.
struct FreeList {
  Block* head;
  std::uint32_t count;
};

thread_local FreeList t_lists[kClasses];

// Full magazines (chains of kMagazine blocks) shared between threads.
struct Depot {
  std::mutex lock;
  std::vector<Block*> magazines[kClasses];  // guarded by lock
};

Depot& depot() {
  static Depot* d = new Depot();  // never destroyed: workers outlive exit
  return *d;
}

}  // namespace

void* pool_allocate(std::size_t size) {
  if (!kPoolEnabled || size > kMaxPooled) return ::operator new(size);
  const std::size_t c = class_of(size);
  FreeList& list = t_lists[c];
  if (list.head == nullptr) {
    Depot& d = depot();
    std::lock_guard guard(d.lock);
    auto& shelf = d.magazines[c];
    if (!shelf.empty()) {
      list.head = shelf.back();
      list.count = kMagazine;
      shelf.pop_back();
    }
  }
  if (Block* block = list.head) {
    list.head = block->next;
    --list.count;
    return block;
  }
  return ::operator new(class_size(c));
}

void pool_free(void* p, std::size_t size) noexcept {
  if (p == nullptr) return;
  if (!kPoolEnabled || size > kMaxPooled) {
    ::operator delete(p);
    return;
  }
  const std::size_t c = class_of(size);
  FreeList& list = t_lists[c];
  auto* block = static_cast<Block*>(p);
  block->next = list.head;
  list.head = block;
  if (++list.count < 2 * kMagazine) return;
  // Hand the newest kMagazine blocks to the depot as one chain.
  Block* first = list.head;
  Block* last = first;
  for (std::uint32_t i = 1; i < kMagazine; ++i) last = last->next;
  Depot& d = depot();
  std::lock_guard guard(d.lock);
  try {
    d.magazines[c].push_back(first);
  } catch (const std::bad_alloc&) {
    // No memory for the depot's shelf to grow: the blocks stay on this
    // thread's list (past two magazines), to be handed over at a later free.
    return;
  }
  list.head = last->next;
  list.count -= kMagazine;
  last->next = nullptr;
}

}  // namespace corvalune::core
