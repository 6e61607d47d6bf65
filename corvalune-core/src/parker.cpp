// Futex implementation of Parker/Unparker; the protocol is described in
// parker.hpp. Linux only (FUTEX_WAIT_PRIVATE / FUTEX_WAKE_PRIVATE).
#include "parker.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <utility>

namespace corvalune::core {

namespace detail {

// The futex word. It is a plain int32 (the kernel needs its address) that we
// only ever access through std::atomic_ref.
struct ParkerState {
  alignas(std::atomic_ref<std::int32_t>::required_alignment) std::int32_t word = 0;

  std::atomic_ref<std::int32_t> atom() noexcept { return std::atomic_ref<std::int32_t>(word); }
};

}  // namespace detail

namespace {

constexpr std::int32_t kEmpty = 0;
constexpr std::int32_t kNotified = 1;
constexpr std::int32_t kParked = -1;

static_assert(std::atomic_ref<std::int32_t>::is_always_lock_free);

// Sleeps while *word == kParked, for at most `rel` (null: no limit). May
// return early for any reason (wake, signal, timeout, value changed); the
// callers re-check the word, so the result is not needed.
void futex_wait(std::int32_t* word, const timespec* rel) noexcept {
  syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, kParked, rel, nullptr, 0);
}

void futex_wake_one(std::int32_t* word) noexcept {
  syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Acquire: pairs with the release exchange in unpark(), so the unparker's
// earlier writes are visible once we have consumed its token.
bool try_consume_parked_token(detail::ParkerState& s) noexcept {
  std::int32_t expected = kNotified;
  return s.atom().compare_exchange_strong(expected, kEmpty, std::memory_order_acquire,
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
  if (s.atom().fetch_sub(1, std::memory_order_acquire) == kNotified) return;
  for (;;) {
    futex_wait(&s.word, nullptr);
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
  if (s.atom().fetch_sub(1, std::memory_order_acquire) == kNotified) return true;
  for (;;) {
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) break;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    timespec rel{};
    rel.tv_sec = static_cast<time_t>(secs.count());
    rel.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - secs).count());
    futex_wait(&s.word, &rel);
    if (try_consume_parked_token(s)) return true;
  }
  // Timed out: leave the Parked state. Acquire: if an unpark raced with the
  // deadline we consume its token here, and must see its writes as usual.
  return s.atom().exchange(kEmpty, std::memory_order_acquire) == kNotified;
}

Unparker Parker::unparker() const { return Unparker(state_); }

Unparker::Unparker(std::shared_ptr<detail::ParkerState> state) : state_(std::move(state)) {}

void Unparker::unpark() const {
  detail::ParkerState& s = *state_;
  // Release: publishes our earlier writes to the parked thread, which
  // consumes the token with an acquire (park(), park_timeout()).
  if (s.atom().exchange(kNotified, std::memory_order_release) == kParked) futex_wake_one(&s.word);
}

}  // namespace corvalune::core
