// Global queue: an unbounded multi-producer multi-consumer FIFO.
//
// Layout
//   A singly linked list of blocks, each with 63 slots. Items get logical
//   positions; position p lives in lap p / 64 at offset p % 64. Offsets 0..62
//   are slots of the lap's block; offset 63 is never a slot but a "closed"
//   marker: the thread that claimed the block's last slot (offset 62) is
//   linking (tail side) or moving to (head side) the next block, and others
//   wait a moment for it. Each index word holds position << 1; on the head
//   the low bit (kHasNext) says "the tail is already in a later block", which
//   lets a taker skip reading the tail.
//   head_ and tail_ (index + block pointer each) sit on separate 128-byte
//   lines: producers and consumers otherwise never share a written line.
//
// Producer (push)
//   1. CAS tail index from p to p+1: position p is ours.
//   2. If p was the block's last slot, link the next block (allocated before
//      the CAS, so the window during which the tail is closed is short):
//      tail block, then tail index (skipping the closed offset), then
//      block->next.
//   3. Write the value, then set the slot's WRITE bit (release).
//
// Consumer (steal / steal_batch_and_pop)
//   1. Decide n (1, or the batch size) from head and tail; CAS head index
//      from p to p+n: positions [p, p+n) are ours. A lost CAS returns Retry.
//   2. If the claim reached the block's last slot, wait for block->next and
//      move head block/index to the next block.
//   3. For each claimed slot: wait for WRITE (a producer that claimed the
//      position may not have written yet: the only wait on the take path),
//      read the value, then release the slot (below).
//
// Freeing a block (per-slot state bits WRITE / READ / DESTROY)
//   A block is freed exactly once, after every one of its 63 slots has been
//   read. The taker of the last slot (offset 62) starts destroy(0): it walks
//   slots 0..61; a slot already marked READ is done; for a slot not yet
//   READ it sets DESTROY and stops, handing the job over to that slot's
//   taker. A taker marks its slot READ after reading it; if the mark finds
//   DESTROY it continues destroy() from the next offset. Whoever gets past
//   offset 61 deletes the block. Takers mark their slots in increasing order
//   and never touch a slot after marking it, so the block is still alive
//   while any claimed slot is unmarked.
//
// Lifetime of block pointers: a thread dereferences a block only after a
// successful CAS of an index that lies in it. Since the block pointer is
// stored before the index that enters it, and the index only moves forward,
// a successful CAS proves the block pointer loaded before it belongs to the
// claimed position, and the block cannot be freed while that position has
// not been written (tail side) or marked READ (head side).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <type_traits>

#include "queues/deque.hpp"
#include "queues/steal.hpp"
#include "sync/cpu_relax.hpp"

namespace corvalune::core {

namespace detail {

// Exponential spin, then yield. spin() is for lost CAS races (contention
// passes quickly); snooze() is for waiting on another thread's progress,
// which on an oversubscribed machine may need that thread to be scheduled.
class Backoff {
 public:
  void spin() noexcept {
    for (unsigned i = 0; i < (1u << std::min(step_, kSpinLimit)); ++i) cpu_relax();
    if (step_ <= kSpinLimit) ++step_;
  }
  void snooze() noexcept {
    if (step_ <= kSpinLimit) {
      for (unsigned i = 0; i < (1u << step_); ++i) cpu_relax();
    } else {
      std::this_thread::yield();
    }
    if (step_ <= kYieldLimit) ++step_;
  }

 private:
  static constexpr unsigned kSpinLimit = 6;
  static constexpr unsigned kYieldLimit = 10;
  unsigned step_ = 0;
};

}  // namespace detail

template <class T>
class Injector {
  static_assert(std::is_trivially_copyable_v<T>, "queue items must be trivially copyable");

  static constexpr std::size_t kShift = 1;
  static constexpr std::size_t kHasNext = 1;
  static constexpr std::size_t kLap = 64;
  static constexpr std::size_t kBlockCap = kLap - 1;
  static constexpr std::size_t kStep = std::size_t{1} << kShift;

  static constexpr std::uint32_t kWrite = 1;
  static constexpr std::uint32_t kRead = 2;
  static constexpr std::uint32_t kDestroy = 4;

  struct Slot {
    // Plain: written once by the producer that claimed the position, read
    // once by the consumer that claimed it, ordered by `state`.
    T value{};
    std::atomic<std::uint32_t> state{0};

    void wait_write() const noexcept {
      detail::Backoff backoff;
      // Acquire: pairs with the producer's release fetch_or(kWrite).
      while ((state.load(std::memory_order_acquire) & kWrite) == 0) backoff.snooze();
    }
  };

  struct Block {
    std::atomic<Block*> next{nullptr};
    Slot slots[kBlockCap];

    Block* wait_next() const noexcept {
      detail::Backoff backoff;
      for (;;) {
        // Acquire: pairs with the producer's release store of `next`, so the
        // new block's initialised state is visible before we publish it on
        // the head side.
        Block* n = next.load(std::memory_order_acquire);
        if (n != nullptr) return n;
        backoff.snooze();
      }
    }

    // Frees the block unless a slot in [start, kBlockCap - 1) is still being
    // read, in which case that slot's reader inherits the job.
    static void destroy(Block* block, std::size_t start) noexcept {
      for (std::size_t i = start; i + 1 < kBlockCap; ++i) {
        std::atomic<std::uint32_t>& st = block->slots[i].state;
        // Load (acquire): if READ is set, pairs with the reader's acq_rel
        // fetch_or(kRead), so its read of the value happens-before the
        // delete below. fetch_or(kDestroy) (acq_rel): the acquire half does
        // the same if READ appeared meanwhile; the release half pairs with
        // the reader's fetch_or(kRead) when it finds DESTROY and takes over,
        // so our checks of the earlier slots happen-before its delete.
        if ((st.load(std::memory_order_acquire) & kRead) == 0 &&
            (st.fetch_or(kDestroy, std::memory_order_acq_rel) & kRead) == 0) {
          return;
        }
      }
      delete block;
    }
  };

  // Linear item number of an index word: lap * 63 + offset. The closed
  // offset 63 maps to the same number as the next lap's offset 0.
  static std::size_t item_number(std::size_t index) noexcept {
    const std::size_t pos = index >> kShift;
    return (pos / kLap) * kBlockCap + pos % kLap;
  }

 public:
  // Most items one steal_batch_and_pop takes (returned one included).
  static constexpr std::size_t kMaxTaken = 33;

  Injector() {
    Block* first = new Block();
    // Relaxed: the queue is not shared yet; publishing the Injector to other
    // threads (thread creation etc.) orders these.
    head_.block.store(first, std::memory_order_relaxed);
    tail_.block.store(first, std::memory_order_relaxed);
  }

  ~Injector() {
    // No concurrent users. Blocks before head_.block were freed by their
    // readers; every block from head_.block on still has unread slots.
    Block* b = head_.block.load(std::memory_order_relaxed);
    while (b != nullptr) {
      Block* next = b->next.load(std::memory_order_relaxed);
      delete b;
      b = next;
    }
  }

  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;

  void push(T value) {
    detail::Backoff backoff;
    // Acquire (index, then block): pair with the release stores that move
    // the tail into a new block, so a block pointer loaded after an index in
    // that block is that block (or a later one, in which case the CAS fails).
    std::size_t tail = tail_.index.load(std::memory_order_acquire);
    Block* block = tail_.block.load(std::memory_order_acquire);
    std::unique_ptr<Block> next_block;

    for (;;) {
      const std::size_t offset = (tail >> kShift) % kLap;
      if (offset == kBlockCap) {
        // Another producer is linking the next block.
        backoff.snooze();
        tail = tail_.index.load(std::memory_order_acquire);
        block = tail_.block.load(std::memory_order_acquire);
        continue;
      }
      if (offset + 1 == kBlockCap && !next_block) next_block.reset(new Block());

      const std::size_t new_tail = tail + kStep;
      // seq_cst: claims the position. Every write of the tail index is
      // seq_cst, so take()'s seq_cst load of it returns the latest value in
      // the single total order: a consumer that saw the queue empty did not
      // miss a push that precedes its load in that order. Acquire on
      // failure: the reloaded index is used as above.
      if (tail_.index.compare_exchange_weak(tail, new_tail, std::memory_order_seq_cst,
                                            std::memory_order_acquire)) {
        if (offset + 1 == kBlockCap) {
          Block* nb = next_block.release();
          // Release: a producer that acquires the new index (below) also sees
          // the new block pointer and its initialised slots.
          tail_.block.store(nb, std::memory_order_release);
          // seq_cst: release as above, and seq_cst like every tail index
          // write (see the CAS). Once per block, so the cost does not matter.
          tail_.index.store(new_tail + kStep, std::memory_order_seq_cst);
          // Release: pairs with wait_next()'s acquire on the head side.
          block->next.store(nb, std::memory_order_release);
        }
        Slot& slot = block->slots[offset];
        slot.value = value;
        // Release: publishes the value; pairs with wait_write()'s acquire.
        slot.state.fetch_or(kWrite, std::memory_order_release);
        return;
      }
      // Lost the race (or a spurious failure): `tail` was reloaded.
      block = tail_.block.load(std::memory_order_acquire);
      backoff.spin();
    }
  }

  Steal<T> steal() { return take(nullptr); }

  // Takes up to kMaxTaken items: half of those queued (rounded up) if they
  // all lie in the head's block, else the rest of the head's block. Returns
  // the first and pushes the others into `dest`, oldest first.
  Steal<T> steal_batch_and_pop(Deque<T>& dest) { return take(&dest); }

  bool is_empty() const { return len() == 0; }

  std::size_t len() const {
    for (;;) {
      // seq_cst: re-reading the tail after the head makes the pair a
      // consistent snapshot (tail unchanged across the head load).
      const std::size_t tail = tail_.index.load(std::memory_order_seq_cst);
      const std::size_t head = head_.index.load(std::memory_order_seq_cst);
      if (tail_.index.load(std::memory_order_seq_cst) == tail) {
        const std::size_t t = item_number(tail);
        const std::size_t h = item_number(head);
        return t > h ? t - h : 0;
      }
    }
  }

 private:
  Steal<T> take(Deque<T>* dest) {
    detail::Backoff backoff;
    // Acquire (index, then block): as in push(), for the head side.
    std::size_t head = head_.index.load(std::memory_order_acquire);
    Block* block = head_.block.load(std::memory_order_acquire);

    std::size_t offset;
    std::size_t n = 1;
    std::size_t new_head;
    for (;;) {
      offset = (head >> kShift) % kLap;
      if (offset != kBlockCap) break;
      // Another consumer is moving the head to the next block.
      backoff.snooze();
      head = head_.index.load(std::memory_order_acquire);
      block = head_.block.load(std::memory_order_acquire);
    }

    if (dest == nullptr && (head & kHasNext) != 0) {
      // The tail is past this block: every slot here is claimed by a
      // producer, so position `head` exists.
      new_head = head + kStep;
    } else {
      // seq_cst: pairs with the producers' seq_cst writes of the tail index
      // (see push()): we see the latest claim in the total order. No data
      // rides on it (slots are read after waiting for WRITE), and positions
      // below the value read have all been claimed by producers.
      const std::size_t tail = tail_.index.load(std::memory_order_seq_cst);
      const std::size_t h = head >> kShift;
      const std::size_t t = tail >> kShift;
      if (t <= h) return Steal<T>::empty();
      const bool tail_ahead = h / kLap != t / kLap;
      if (dest != nullptr) {
        // Position of the newest item: t - 1, stepping over a closed offset.
        std::size_t last = t - 1;
        if (last % kLap == kBlockCap) --last;
        if (last / kLap == h / kLap) {
          n = std::min((last - h + 2) / 2, kMaxTaken);  // ceil(queued / 2)
        } else {
          n = std::min(kBlockCap - offset, kMaxTaken);
        }
      }
      // The batch is pushed after the claim, where a push may not fail: a
      // taker with no memory to make room for it takes one item.
      if (n > 1 && !dest->try_reserve(n - 1)) n = 1;
      new_head = head + n * kStep;
      if (tail_ahead) new_head |= kHasNext;
    }

    // seq_cst: claims [head, head+n) against other consumers; the release
    // half lets a consumer that acquires this head value also see the tail
    // value our kHasNext decision was based on. Relaxed on failure: a lost
    // race is reported to the caller as Retry and nothing read is used.
    if (!head_.index.compare_exchange_strong(head, new_head, std::memory_order_seq_cst,
                                             std::memory_order_relaxed)) {
      return Steal<T>::retry();
    }

    if (offset + n == kBlockCap) {
      // We closed this block on the head side; move the head to the next.
      Block* next = block->wait_next();
      std::size_t next_index = (new_head & ~kHasNext) + kStep;
      // Relaxed: only tells whether the tail has left `next` already (it
      // links next->next after moving the tail index). No data rides on it:
      // slots are still read after waiting for their WRITE bit.
      if (next->next.load(std::memory_order_relaxed) != nullptr) next_index |= kHasNext;
      // Release (block, then index): pairs with the consumers' acquire loads,
      // so whoever sees the new index also sees the new block pointer.
      head_.block.store(next, std::memory_order_release);
      head_.index.store(next_index, std::memory_order_release);
    }

    T first{};
    T rest[kMaxTaken - 1];
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t at = offset + i;
      Slot& slot = block->slots[at];
      slot.wait_write();
      if (i == 0) {
        first = slot.value;
      } else {
        rest[i - 1] = slot.value;
      }
      if (at + 1 == kBlockCap) {
        // Last slot of the block (and last of our claim): start freeing it.
        Block::destroy(block, 0);
      } else if (slot.state.fetch_or(kRead, std::memory_order_acq_rel) & kDestroy) {
        // acq_rel: release publishes our read of the value to whoever frees
        // the block; acquire pairs with destroy()'s fetch_or(kDestroy) when
        // we inherit the job. If `at` is not our last slot, destroy() will
        // stop at our next (still unmarked) slot and hand it back to us.
        Block::destroy(block, at + 1);
      }
    }

    for (std::size_t i = 1; i < n; ++i) dest->push(rest[i - 1]);
    return Steal<T>::success(first);
  }

  struct alignas(128) Position {
    std::atomic<std::size_t> index{0};
    std::atomic<Block*> block{nullptr};
  };

  Position head_;
  Position tail_;
};

}  // namespace corvalune::core
