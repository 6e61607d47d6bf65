#pragma once
// A 4-byte mutex on a wait word (wait_word.hpp) for short critical sections.
//
// The records that every task shares with its handle hold two or three
// locks that are almost never contended and held for a few instructions:
// an uncontended lock is one compare-and-swap and an unlock one exchange,
// against a 40-byte pthread mutex with a call each way.
//
// States: 0 unlocked, 1 locked, 2 locked with possible waiters. A thread
// that finds it locked spins briefly, then marks it 2 and sleeps on the
// word; unlock wakes one sleeper only when the state was 2.
#include <atomic>
#include <cstdint>

#include "sync/cpu_relax.hpp"
#include "sync/wait_word.hpp"

namespace corvalune::core {

class SmallMutex {
 public:
  SmallMutex() noexcept = default;
  SmallMutex(const SmallMutex&) = delete;
  SmallMutex& operator=(const SmallMutex&) = delete;

  void lock() noexcept {
    std::uint32_t expected = 0;
    // acquire: pairs with the release in unlock(); the section sees what the
    // previous holder wrote.
    if (state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    lock_slow();
  }

  bool try_lock() noexcept {
    std::uint32_t expected = 0;
    return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed);
  }

  void unlock() noexcept {
    // release: publishes the section's writes to the next holder.
    if (state_.exchange(0, std::memory_order_release) == 2) wake_one_on_word(state_);
  }

 private:
  void lock_slow() noexcept {
    for (int spin = 0; spin < 64; ++spin) {
      cpu_relax();
      if (state_.load(std::memory_order_relaxed) == 0 && try_lock()) return;
    }
    // acquire: as in lock(). Marking 2 makes the holder's unlock wake us.
    while (state_.exchange(2, std::memory_order_acquire) != 0) wait_on_word(state_, std::uint32_t{2});
  }

  std::atomic<std::uint32_t> state_{0};
};

static_assert(sizeof(SmallMutex) == 4);

}  // namespace corvalune::core
