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

// Size classes: 16-byte steps up to 128 bytes (the records of one task are
// 48-128 bytes, and a step of 64 would waste up to half of each), then
// 64-byte steps up to kMaxPooled.
constexpr std::size_t kSmallStep = 16;
constexpr std::size_t kSmallMax = 128;
constexpr std::size_t kLargeStep = 64;
constexpr std::size_t kClasses = kSmallMax / kSmallStep + (kMaxPooled - kSmallMax) / kLargeStep;  // 14
constexpr std::uint32_t kMagazine = 64;

std::size_t class_of(std::size_t size) {
  if (size <= kSmallMax) return size == 0 ? 0 : (size - 1) / kSmallStep;
  return kSmallMax / kSmallStep + (size - kSmallMax - 1) / kLargeStep;
}

constexpr std::size_t class_size(std::size_t c) {
  return c < kSmallMax / kSmallStep ? (c + 1) * kSmallStep : kSmallMax + (c + 1 - kSmallMax / kSmallStep) * kLargeStep;
}

static_assert(class_size(kClasses - 1) == kMaxPooled);

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

// Fills an empty list with a magazine cut from one new slab, in address
// order: blocks of a size sit side by side (no allocator header between
// them), and a thread that allocates many in a row walks memory forwards.
void carve(FreeList& list, std::size_t size) {
  auto* slab = static_cast<char*>(::operator new(size * kMagazine));
  Block* next = nullptr;
  for (std::uint32_t i = kMagazine; i-- > 0;) {
    auto* block = reinterpret_cast<Block*>(slab + i * size);
    block->next = next;
    next = block;
  }
  list.head = next;
  list.count = kMagazine;
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
  if (list.head == nullptr) carve(list, class_size(c));
  Block* block = list.head;
  list.head = block->next;
  --list.count;
  return block;
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
