// Token parker: lets one thread sleep until another thread hands it a token.
//
// A Parker is owned by the one thread that parks on it; Unparkers (copies are
// cheap) may be held and used by any thread. Both share one reference-counted
// state word, so an Unparker stays valid after its Parker is gone (an
// unpark() then simply stores a token nobody will take).
//
// State word (one 32-bit wait word, wait_word.hpp):
//   kEmpty    (0)  no token, nobody parked
//   kNotified (1)  a token is stored
//   kParked  (-1)  the parking thread is (about to be) asleep on the word
// Transitions:
//   park:    fetch_sub(1): Notified -> Empty (token consumed, return at once)
//                          Empty -> Parked (go to sleep)
//            while asleep: wait while the word is Parked; on waking,
//            CAS Notified -> Empty to return; anything else was spurious.
//   unpark:  exchange(Notified); if the old value was Parked, wake the word.
// The token is a flag, not a count: two unparks before a park give one token.
// No lost wake-up: the wait re-checks "word == Parked" atomically with
// going to sleep, so an unpark that lands between our fetch_sub and the
// wait makes the wait return immediately.
#pragma once

#include <chrono>
#include <memory>

namespace corvalune::core {

namespace detail {
struct ParkerState;
}

class Unparker;

class Parker {
 public:
  Parker();
  // A moved-from Parker may only be destroyed or assigned to.
  Parker(Parker&&) noexcept;
  Parker& operator=(Parker&&) noexcept;
  Parker(const Parker&) = delete;
  Parker& operator=(const Parker&) = delete;
  ~Parker();

  // Returns at once if a token is stored (consuming it); otherwise sleeps
  // until an unpark() stores one. Only returns with a token consumed.
  // Everything the unparking thread did before unpark() is visible after.
  void park();

  // Like park(), but also returns once `d` (measured on the monotonic
  // clock) has passed. Spurious wake-ups and signals re-wait for the
  // remainder. d <= 0 only consumes a token if one is stored. Returns true
  // when a token was consumed, false when the time ran out without one.
  bool park_timeout(std::chrono::nanoseconds d);

  Unparker unparker() const;

 private:
  std::shared_ptr<detail::ParkerState> state_;
};

class Unparker {
 public:
  // Stores the token and wakes the parked thread, if any. Any thread.
  void unpark() const;

 private:
  friend class Parker;
  explicit Unparker(std::shared_ptr<detail::ParkerState> state);

  std::shared_ptr<detail::ParkerState> state_;
};

}  // namespace corvalune::core
