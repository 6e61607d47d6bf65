// Work-stealing local queue: a Chase-Lev deque in its FIFO flavour.
//
// Roles
//   Deque<T>   - the owner's handle. Exactly one thread (the worker that owns
//                the queue) calls push() and pop(). Move-only.
//   Stealer<T> - a thief's handle. Copyable; any number of threads may call
//                steal()/steal_batch_and_pop() on copies concurrently.
//   Both hold a shared_ptr to Inner, so the queue (and every ring buffer it
//   ever used) lives until the last handle is gone.
//
// Layout
//   Items live in a power-of-two ring buffer indexed by 64-bit logical
//   positions that only ever grow: the live items are [front, back).
//   `back` is written by the owner only. `front` is advanced by whoever takes
//   an item: the owner (pop) and thieves (steal) both take from the front, so
//   the owner runs its own jobs oldest first, and every take of position i is
//   an atomic read-modify-write of `front` from i: exactly one taker wins i.
//
// Protocol
//   push:  write slot[back] (relaxed), then store back+1 (seq_cst, so also
//          release). A thief that acquires back > i therefore sees slot i.
//   pop:   fetch_add(front); if that overshot `back` (thieves emptied the
//          queue meanwhile) put front back. While front > back no thief can
//          succeed (a thief needs front < back), so the restore cannot
//          clobber a thief's update.
//   steal: read front (acquire), then back (seq_cst); if non-empty read the
//          slot(s) and CAS front forward. The values read before the CAS
//          are used only if the CAS succeeds: a failed CAS means someone
//          else took them, and the slots may since have been overwritten.
//   A slot with position i+cap (same physical slot as i) is written by the
//   owner only after it has *acquired* a front > i, i.e. after the taker of i
//   released its CAS. So a successful taker's slot read happens-before any
//   overwrite. Slots are atomics (relaxed) because a losing thief's read may
//   still overlap an overwrite.
//
// Resizing
//   push doubles the ring when it is full; pop halves it (never below 64)
//   when the queue falls to a quarter of the ring. The owner copies the live
//   range into a new ring and publishes it with a seq_cst store to `buffer`.
//   Thieves may still be reading the old ring, so it is retired, not freed.
//
// Reclamation of retired rings
//   Thief:  thieves.fetch_add (seq_cst)  ->  buffer.load (seq_cst)  ->
//           slot reads  ->  thieves.fetch_sub (release).
//   Owner:  buffer.store(new) (seq_cst)  ->  retire old  ->  later, at most
//           once per push/pop while the retired list is non-empty,
//           thieves.load (seq_cst); if it reads 0, free every retired ring.
//   Why this is sound, for a thief X and a ring R retired before the load:
//   all of these are seq_cst, so they sit in one total order S.
//   - If the owner's load comes after X's increment in S, it reads X's
//     increment or a later value of the counter; a 0 then means X's
//     decrement is also before it in the counter's modification order (a
//     count of 0 leaves no increment unmatched). That decrement is a release
//     and the load an acquire on the same RMW chain, so everything X did to
//     R happens-before the free.
//   - Otherwise the load precedes X's increment in S, so the store that
//     replaced R precedes X's buffer load in S, and a seq_cst load cannot
//     return a value older than the last seq_cst store before it: X never
//     sees R at all.
//   Anything still retired when the last handle goes away is freed by
//   ~Inner, which runs after every other handle's last use (shared_ptr's
//   reference count gives that ordering).
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "queues/steal.hpp"

namespace corvalune::core {

template <class T>
class Stealer;

namespace detail {

// Index type for the logical positions. Signed so that back - front is a
// plain length even when a thief read a stale (larger) front.
using DequeIndex = std::int64_t;

template <class T>
struct DequeRing {
  explicit DequeRing(std::size_t capacity)
      : cap(capacity), mask(capacity - 1), slots(new std::atomic<T>[capacity]) {}

  // Relaxed: a slot never carries the synchronisation itself; the owner's
  // release store of `back` (or of `buffer`, for a copied ring) publishes it,
  // and a thief acquires one of those before reading.
  T read(DequeIndex i) const { return slots[static_cast<std::size_t>(i) & mask].load(std::memory_order_relaxed); }
  void write(DequeIndex i, T v) { slots[static_cast<std::size_t>(i) & mask].store(v, std::memory_order_relaxed); }

  const std::size_t cap;
  const std::size_t mask;
  const std::unique_ptr<std::atomic<T>[]> slots;
};

template <class T>
struct DequeInner {
  using Ring = DequeRing<T>;

  DequeInner() : buffer(new Ring(kMinCapacity)) {}
  ~DequeInner() {
    // Last handle gone: nobody else can touch the rings any more.
    delete buffer.load(std::memory_order_relaxed);
    for (Ring* r : retired) delete r;
  }
  DequeInner(const DequeInner&) = delete;
  DequeInner& operator=(const DequeInner&) = delete;

  static constexpr std::size_t kMinCapacity = 64;

  // Each hot word gets its own 128-byte line (two 64-byte lines: adjacent-line
  // prefetch would otherwise couple them). `front` is hammered by thieves'
  // CASes; `back` is written by the owner and read by thieves.
  alignas(128) std::atomic<DequeIndex> front{0};
  alignas(128) std::atomic<DequeIndex> back{0};
  // Thieves read `buffer` and bump `thieves` together, so they share a line.
  alignas(128) std::atomic<Ring*> buffer;
  std::atomic<std::size_t> thieves{0};
  // Rings replaced by a resize but possibly still read by a thief. Touched
  // only by the owner thread, and by ~DequeInner.
  alignas(128) std::vector<Ring*> retired;
};

}  // namespace detail

template <class T>
class Deque {
  static_assert(std::is_trivially_copyable_v<T>, "queue items must be trivially copyable");
  static_assert(std::atomic<T>::is_always_lock_free,
                "queue items are kept in std::atomic<T> slots, which must be lock-free");

  using Inner = detail::DequeInner<T>;
  using Ring = detail::DequeRing<T>;
  using Index = detail::DequeIndex;

 public:
  Deque() : inner_(new Inner), ring_(inner_->buffer.load(std::memory_order_relaxed)) {}

  Deque(Deque&& other) noexcept
      : inner_(std::move(other.inner_)),
        ring_(std::exchange(other.ring_, nullptr)),
        front_hint_(other.front_hint_) {}
  Deque& operator=(Deque&& other) noexcept {
    if (this != &other) {
      inner_ = std::move(other.inner_);
      ring_ = std::exchange(other.ring_, nullptr);
      front_hint_ = other.front_hint_;
    }
    return *this;
  }
  Deque(const Deque&) = delete;
  Deque& operator=(const Deque&) = delete;
  ~Deque() = default;

  // Owner only.
  void push(T value) {
    Inner& in = *inner_;
    // Relaxed: only this thread writes `back`.
    const Index b = in.back.load(std::memory_order_relaxed);
    if (b - front_hint_ >= static_cast<Index>(ring_->cap)) {
      // The hint says full; refresh it. Acquire: pairs with the release half
      // of the takers' CAS/fetch_add on `front`, so their reads of the slots
      // we are about to overwrite (position - cap) happen-before our write.
      front_hint_ = in.front.load(std::memory_order_acquire);
      if (b - front_hint_ >= static_cast<Index>(ring_->cap)) resize(ring_->cap * 2, front_hint_, b);
    }
    ring_->write(b, value);
    // seq_cst: the release half publishes the slot write (and any ring copy
    // before it) and pairs with the acquire loads of `back` in steal()/len();
    // the seq_cst half places the push in the total order of the scheduler's
    // idle protocol (P in worker.hpp), so that a worker's last look before it
    // sleeps cannot miss a push whose submitter saw it searching.
    in.back.store(b + 1, std::memory_order_seq_cst);
    if (!in.retired.empty()) try_reclaim();
  }

  // Owner only. Makes room for `extra` more items, so that that many pushes
  // cannot fail. False when there is no memory for a larger ring.
  bool try_reserve(std::size_t extra) noexcept {
    Inner& in = *inner_;
    // Relaxed: only this thread writes `back`.
    const Index b = in.back.load(std::memory_order_relaxed);
    const auto fits = [&] { return b - front_hint_ + static_cast<Index>(extra) <= static_cast<Index>(ring_->cap); };
    if (fits()) return true;
    // Acquire: as in push().
    front_hint_ = in.front.load(std::memory_order_acquire);
    if (fits()) return true;
    std::size_t cap = ring_->cap * 2;
    while (static_cast<Index>(cap) < b - front_hint_ + static_cast<Index>(extra)) cap *= 2;
    try {
      resize(cap, front_hint_, b);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  // Owner only. Takes the oldest item.
  std::optional<T> pop() {
    Inner& in = *inner_;
    // Relaxed: own variable.
    const Index b = in.back.load(std::memory_order_relaxed);
    // Relaxed: only a cheap emptiness pre-check; the fetch_add below is the
    // real claim and returns the true value. Skipping the RMW when empty
    // keeps idle polling from bouncing the front line between cores.
    if (b - in.front.load(std::memory_order_relaxed) <= 0) return std::nullopt;
    // seq_cst RMW: claims position f against thieves' CAS on the same word
    // (the RMW total order makes exactly one of us win f); its acquire half
    // pairs with thieves' CAS release for the same reason as in push().
    const Index f = in.front.fetch_add(1, std::memory_order_seq_cst);
    if (b - f <= 0) {
      // Thieves emptied the queue between the check and the claim. While
      // front > back no thief CAS can succeed, so restoring is race-free.
      // Relaxed: this store publishes nothing; thieves only compare it.
      in.front.store(f, std::memory_order_relaxed);
      front_hint_ = f;
      return std::nullopt;
    }
    front_hint_ = f + 1;
    const T value = ring_->read(f);
    const Index len = b - (f + 1);
    if (ring_->cap > Inner::kMinCapacity && len <= static_cast<Index>(ring_->cap / 4)) {
      try {
        resize(ring_->cap / 2, f + 1, b);
      } catch (const std::bad_alloc&) {
        // No memory for the smaller ring: the larger one stays.
      }
    }
    if (!in.retired.empty()) try_reclaim();
    return value;
  }

  std::size_t len() const {
    // Relaxed (both): `back` is our own; `front` is only compared, and any
    // value we read is no older than our own last claim on it.
    const Index b = inner_->back.load(std::memory_order_relaxed);
    const Index f = inner_->front.load(std::memory_order_relaxed);
    return b > f ? static_cast<std::size_t>(b - f) : 0;
  }
  bool is_empty() const { return len() == 0; }
  std::size_t capacity() const { return ring_->cap; }

  Stealer<T> stealer() const { return Stealer<T>(inner_); }

 private:
  friend class Stealer<T>;

  // Replace the ring by one of `new_cap` slots holding positions [f, b).
  // f may be older than the current front; copying a few already-taken
  // positions is harmless (they are below front and never read as live).
  void resize(std::size_t new_cap, Index f, Index b) {
    Inner& in = *inner_;
    // Both allocations before any change: a resize that fails for want of
    // memory (std::bad_alloc) leaves the queue as it was.
    in.retired.reserve(in.retired.size() + 1);
    Ring* fresh = new Ring(new_cap);
    for (Index i = f; i < b; ++i) fresh->write(i, ring_->read(i));
    in.retired.push_back(ring_);  // within the reserved capacity
    // seq_cst: the release half publishes the copied slots to thieves that
    // load `buffer` (seq_cst) afterwards; the seq_cst half is the store the
    // reclamation argument at the top of this file relies on.
    in.buffer.store(fresh, std::memory_order_seq_cst);
    ring_ = fresh;
  }

  void try_reclaim() {
    Inner& in = *inner_;
    // seq_cst: pairs with the thieves' seq_cst fetch_add (entry) in the
    // total order, and (acquire) with their release fetch_sub (exit); see the
    // reclamation argument at the top of this file.
    if (in.thieves.load(std::memory_order_seq_cst) != 0) return;
    for (Ring* r : in.retired) delete r;
    in.retired.clear();
  }

  std::shared_ptr<Inner> inner_;
  // The current ring. Only the owner replaces it, so the owner can use its
  // own copy instead of loading the shared atomic.
  Ring* ring_;
  // A lower bound of `front` (front only grows, apart from pop()'s own
  // restore). Lets push() skip reading the line thieves keep writing.
  Index front_hint_ = 0;
};

template <class T>
class Stealer {
  using Inner = detail::DequeInner<T>;
  using Ring = detail::DequeRing<T>;
  using Index = detail::DequeIndex;

 public:
  // Items moved by one steal_batch_and_pop into the thief's queue, at most.
  static constexpr std::size_t kMaxMoved = 31;

  Steal<T> steal() const { return take(nullptr); }

  // Of the victim's len items, moves min((len - 1) / 2, 31) into `dest`
  // (in queue order) and returns the one before them.
  Steal<T> steal_batch_and_pop(Deque<T>& dest) const {
    assert(!same_queue(dest) && "stealing from a queue into itself");
    return take(&dest);
  }

  std::size_t len() const {
    // Same orderings as in take(), for the same reasons.
    const Index f = inner_->front.load(std::memory_order_acquire);
    const Index b = inner_->back.load(std::memory_order_seq_cst);
    return b > f ? static_cast<std::size_t>(b - f) : 0;
  }
  bool is_empty() const { return len() == 0; }
  bool same_queue(const Deque<T>& d) const { return inner_ == d.inner_; }

 private:
  friend class Deque<T>;
  explicit Stealer(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}

  // Marks this thief as possibly reading a ring, for the owner's reclaim.
  class ReaderGuard {
   public:
    explicit ReaderGuard(Inner& in) : in_(in) {
      // seq_cst: must precede our buffer load in the total order that the
      // owner's seq_cst load in try_reclaim() also belongs to.
      in_.thieves.fetch_add(1, std::memory_order_seq_cst);
    }
    ~ReaderGuard() {
      // Release: our slot reads happen-before the owner's free, which
      // acquires this via its seq_cst load of the counter.
      in_.thieves.fetch_sub(1, std::memory_order_release);
    }
    ReaderGuard(const ReaderGuard&) = delete;
    ReaderGuard& operator=(const ReaderGuard&) = delete;

   private:
    Inner& in_;
  };

  Steal<T> take(Deque<T>* dest) const {
    Inner& in = *inner_;
    T values[kMaxMoved + 1];
    Index n = 1;
    Index f = 0;
    {
      // An empty queue is answered without the guard: an idle search then
      // only reads the peers' cache lines instead of writing to each. The
      // orderings are those of the loads below, which repeat the check.
      {
        const Index f0 = in.front.load(std::memory_order_acquire);
        if (in.back.load(std::memory_order_seq_cst) - f0 <= 0) return Steal<T>::empty();
      }
      ReaderGuard guard(in);
      // Acquire: pairs with the release half of the RMW that last moved
      // front, so the back that taker saw is visible to us (b >= f below
      // unless items were taken meanwhile), and keeps the back load after
      // this one.
      f = in.front.load(std::memory_order_acquire);
      // seq_cst (acquire half): pairs with push()'s store, so the slot
      // writes below the value read are visible to us. seq_cst half: the
      // load takes part in the single total order with push()'s seq_cst
      // store, so either we see the push or the pusher, whose loads follow
      // its store, sees whatever seq_cst write we made before stealing
      // (announcing that we are about to sleep: the idle protocol in
      // worker.hpp). An "Empty" answer is therefore safe to sleep on. On x86
      // this is a plain load.
      const Index b = in.back.load(std::memory_order_seq_cst);
      const Index len = b - f;
      if (len <= 0) return Steal<T>::empty();
      if (dest != nullptr) n = 1 + std::min<Index>((len - 1) / 2, static_cast<Index>(kMaxMoved));
      // The batch is pushed after the claim, where a push may not fail: a
      // thief with no memory to make room for it takes one item.
      if (n > 1 && !dest->try_reserve(static_cast<std::size_t>(n - 1))) n = 1;
      // seq_cst: see the reclamation argument at the top of this file; its
      // acquire half also pairs with resize()'s store, making copied slots
      // visible.
      const Ring* ring = in.buffer.load(std::memory_order_seq_cst);
      for (Index i = 0; i < n; ++i) values[i] = ring->read(f + i);
    }  // guard released: we are done with the ring
    // seq_cst CAS: claims [f, f+n) against the owner's fetch_add and other
    // thieves (one RMW order on front). Release half: our slot reads
    // happen-before the owner's acquire of a front beyond them, hence before
    // it overwrites those slots. Relaxed on failure: the values are dropped.
    if (!in.front.compare_exchange_strong(f, f + n, std::memory_order_seq_cst, std::memory_order_relaxed)) {
      return Steal<T>::retry();
    }
    for (Index i = 1; i < n; ++i) dest->push(values[i]);
    return Steal<T>::success(values[0]);
  }

  std::shared_ptr<Inner> inner_;
};

}  // namespace corvalune::core
