#pragma once
// Sleeping on a 32-bit word until another thread changes it: the one place
// the core asks the OS to wait on an address (the parker and SmallMutex are
// built on it).
//
// Linux: the futex syscall (private to the process). The kernel compares
// the word with the expected value atomically with going to sleep, so a
// change and wake that lands in between makes the wait return at once.
//
// Elsewhere (macOS): C++20 std::atomic wait/notify_one, which the
// standard library builds on the OS's own address wait and which gives the
// same guarantee. It has no timeout, so a timed wait there sleeps in slices
// of at most 1 ms and looks at the word between them; only Parker's
// park_timeout uses one, and the pool's own threads never do.
//
// Building with CORVALUNE_PORTABLE_WAIT uses the second kind on Linux too,
// so that it is tested here.
#include <atomic>
#include <chrono>
#include <cstdint>

#if defined(__linux__) && !defined(CORVALUNE_PORTABLE_WAIT)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#define CORVALUNE_WAIT_FUTEX 1
#else
#include <algorithm>
#include <thread>
#endif

namespace corvalune::core {

// Words are 32-bit atomics with no lock inside: the kernel reads the
// object representation, which is then exactly the integer.
template <class Int>
inline constexpr bool kWaitWord = sizeof(std::atomic<Int>) == 4 && std::atomic<Int>::is_always_lock_free;

#if CORVALUNE_WAIT_FUTEX
template <class Int>
Int* word_address(std::atomic<Int>& word) noexcept {
  return reinterpret_cast<Int*>(&word);
}
#endif

// Sleeps while word == expected (wait_on_word_for: for at most `timeout`).
// May return early for any reason (a wake, a signal, the value changed or
// never matched): callers look at the word again.
template <class Int>
void wait_on_word(std::atomic<Int>& word, Int expected) noexcept {
  static_assert(kWaitWord<Int>);
#if CORVALUNE_WAIT_FUTEX
  syscall(SYS_futex, word_address(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
#else
  // Relaxed: the caller's own atomic operation on the word, after waking,
  // orders what it reads.
  word.wait(expected, std::memory_order_relaxed);
#endif
}

template <class Int>
void wait_on_word_for(std::atomic<Int>& word, Int expected, std::chrono::nanoseconds timeout) noexcept {
  static_assert(kWaitWord<Int>);
  if (timeout <= std::chrono::nanoseconds::zero()) return;
#if CORVALUNE_WAIT_FUTEX
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  timespec rel{};
  rel.tv_sec = static_cast<time_t>(secs.count());
  rel.tv_nsec = static_cast<long>((timeout - secs).count());
  syscall(SYS_futex, word_address(word), FUTEX_WAIT_PRIVATE, expected, &rel, nullptr, 0);
#else
  // Relaxed: as in wait_on_word.
  if (word.load(std::memory_order_relaxed) != expected) return;
  std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(timeout, std::chrono::milliseconds(1)));
#endif
}

// Wakes one thread sleeping on `word`, if any.
template <class Int>
void wake_one_on_word(std::atomic<Int>& word) noexcept {
  static_assert(kWaitWord<Int>);
#if CORVALUNE_WAIT_FUTEX
  syscall(SYS_futex, word_address(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
  word.notify_one();
#endif
}

}  // namespace corvalune::core
