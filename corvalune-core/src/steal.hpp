// Result of taking an item from a queue that other threads take from too.
//
// A take can end three ways, and the caller reacts differently to each:
//   Empty   - the queue held nothing when we looked; move on to another source.
//   Success - we own `value` now; nobody else received it.
//   Retry   - another taker won a race for the same item(s); the queue may still
//             hold work, so the caller should try again (or try elsewhere first
//             and come back) rather than conclude that it is empty.
// Keeping Retry apart from Empty matters to the scheduler's sleep logic: a
// worker may only go to sleep after every source answered Empty.
#pragma once

#include <atomic>
#include <type_traits>
#include <utility>

namespace corvalune::core {

enum class StealStatus { Empty, Success, Retry };

template <class T>
struct Steal {
  // The queues copy items around as raw bytes (and store them in atomics), so
  // an item must not own anything that a copy would duplicate or a skipped
  // destructor would leak. The runtime stores raw owning pointers.
  static_assert(std::is_trivially_copyable_v<T>, "queue items must be trivially copyable");

  StealStatus status{StealStatus::Empty};
  T value{};  // meaningful only when status == Success

  static Steal empty() { return Steal{StealStatus::Empty, T{}}; }
  static Steal retry() { return Steal{StealStatus::Retry, T{}}; }
  static Steal success(T v) { return Steal{StealStatus::Success, std::move(v)}; }

  bool is_success() const { return status == StealStatus::Success; }
  bool is_empty() const { return status == StealStatus::Empty; }
  bool is_retry() const { return status == StealStatus::Retry; }
};

namespace detail {

// A full (seq_cst) fence, shared by the queues in this directory.
//
// GCC's ThreadSanitizer does not model stand-alone fences and warns (-Wtsan)
// wherever one is compiled. Our queues never rely on a fence to order data
// accesses (every hand-over of an item goes through a release/acquire pair
// on an atomic that TSan does see); the fences only make an "Empty" answer
// trustworthy with respect to the scheduler's seq_cst sleep protocol. So it
// is safe for TSan to ignore them, and we silence the warning here, once.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 11
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
inline void seq_cst_fence() noexcept { std::atomic_thread_fence(std::memory_order_seq_cst); }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 11
#pragma GCC diagnostic pop
#endif

// One pause instruction: tells the core we are spinning, so a sibling
// hyper-thread gets the pipeline and the exit from the spin is not penalised
// by a memory-order mis-speculation.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

}  // namespace detail
}  // namespace corvalune::core
