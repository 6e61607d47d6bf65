// Result of taking an item from a queue that other threads take from too.
//
// A take can end three ways, and the caller reacts differently to each:
//   Empty   - the queue held nothing when we looked; move on to another source.
//   Success - we own `value` now; nobody else received it.
//   Retry   - another taker won a race for the same item(s); the queue may still
//             hold work, so the caller should try again (or try elsewhere first
//             and come back) rather than conclude that it is empty.
// Keeping Retry apart from Empty matters to the scheduler's sleep logic: a
// worker may only go to sleep after every source answered Empty (see
// search.hpp and the last look, C, in idle.hpp).
#pragma once

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

}  // namespace corvalune::core
