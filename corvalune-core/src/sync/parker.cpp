// Parker/Unparker on a wait word (wait_word.hpp); the protocol is
// described in parker.hpp.
#include "sync/parker.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

#include "sync/wait_word.hpp"

namespace corvalune::core {

namespace detail {

struct ParkerState {
  std::atomic<std::int32_t> word{0};
};

}  // namespace detail

namespace {

constexpr std::int32_t kEmpty = 0;
constexpr std::int32_t kNotified = 1;
constexpr std::int32_t kParked = -1;

// Acquire: pairs with the release exchange in unpark(), so the unparker's
// earlier writes are visible once we have consumed its token.
bool try_consume_parked_token(detail::ParkerState& s) noexcept {
  std::int32_t expected = kNotified;
  return s.word.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire,
                                        std::memory_order_relaxed);
}

}  // namespace

Parker::Parker() : state_(std::make_shared<detail::ParkerState>()) {}
Parker::Parker(Parker&&) noexcept = default;
Parker& Parker::operator=(Parker&&) noexcept = default;
Parker::~Parker() = default;

void Parker::park() {
  detail::ParkerState& s = *state_;
  // Acquire: pairs with unpark()'s release exchange when this consumes a
  // stored token (Notified -> Empty); otherwise it is Empty -> Parked.
  if (s.word.fetch_sub(1, std::memory_order_acquire) == kNotified) return;
  for (;;) {
    wait_on_word(s.word, kParked);
    if (try_consume_parked_token(s)) return;
    // Spurious: a stale wake meant for an earlier park, or a signal. The
    // word is still Parked, so waiting again is correct.
  }
}

bool Parker::park_timeout(std::chrono::nanoseconds d) {
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, like FUTEX_WAIT's timeout
  const Clock::time_point start = Clock::now();
  detail::ParkerState& s = *state_;

  if (d <= std::chrono::nanoseconds::zero()) {
    // No waiting at all: just take a token if there is one. Acquire as in
    // try_consume_parked_token().
    return try_consume_parked_token(s);
  }
  const Clock::time_point deadline =
      d >= Clock::time_point::max() - start ? Clock::time_point::max()
                                            : start + std::chrono::duration_cast<Clock::duration>(d);

  // Acquire: as in park().
  if (s.word.fetch_sub(1, std::memory_order_acquire) == kNotified) return true;
  for (;;) {
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    wait_on_word_for(s.word, kParked, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
    if (try_consume_parked_token(s)) return true;
  }
  // Timed out: leave the Parked state. Acquire: if an unpark raced with the
  // deadline we consume its token here, and must see its writes as usual.
  return s.word.exchange(kEmpty, std::memory_order_acquire) == kNotified;
}

Unparker Parker::unparker() const { return Unparker(state_); }

Unparker::Unparker(std::shared_ptr<detail::ParkerState> state) : state_(std::move(state)) {}

void Unparker::unpark() const {
  detail::ParkerState& s = *state_;
  // Release: publishes our earlier writes to the parked thread, which
  // consumes the token with an acquire (park(), park_timeout()).
  if (s.word.exchange(kNotified, std::memory_order_release) == kParked) wake_one_on_word(s.word);
}

}  // namespace corvalune::core
