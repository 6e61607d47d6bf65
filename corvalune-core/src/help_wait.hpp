#pragma once
// Waiting helpers: a worker that blocks on a result (run_level1 called on a
// pool thread or a registered thread) runs the work it can take meanwhile,
// its own queue's and the injector's (take_local_or_injected), and sleeps
// when there is none, until its result arrives or work is injected that no
// pool thread is free to take.
//
// Why it must be woken for injected work at all: when every pool thread
// waits this way (a chain of nested run_level1 calls), the injected job
// (the next root coroutine, a continuation queued from an outside thread)
// is one only a waiting helper can run; without a wake-up it would sit
// until the watchdog's stall limit starts an extra worker. Pool threads
// stay the first choice: a helper is woken only where idle.hpp would
// otherwise have no searcher and no sleeper to count on (the watchdog
// signal S), so the busy path pays nothing new.
//
// Protocol. `helpers` is a SleeperList of the waiting helpers' ids (the
// registry's, beside `sleepers`).
//
//   helper with nothing to take              waker at a signal site S
//   ---------------------------              ------------------------
//   add own id to helpers       (HA, seq_cst) (after P, L1 and L2, or after
//   look at own queue and the                  the last searcher's decrement
//     injector                  (HC, seq_cst)  found no sleeper)
//   look at its result (the caller's test)   helpers.count > 0?  (HL, seq_cst)
//   nothing: park                            yes: pop the latest, unpark it
//   remove own id; popped: look once more
//
// Why no injected job is left behind with a helper asleep: take the push P
// of a job J whose submitter reached S (nobody searched, nobody slept). HL
// follows P in the total order of seq_cst operations. HL after HA: HL reads
// the helper listed (or a later value: another waker popped it), and the
// helper is unparked and looks again (a popped helper always looks once
// more, even when its result has arrived, so the wake-up is never wasted on
// a helper that leaves). HL before HA: P precedes HA, which precedes HC,
// and HC finds J (or sees it taken). Where the submitter saw a searcher or
// a sleeper instead, a pool thread looks at the injector, and the last
// searcher that finds other work with no sleeper to wake reaches S itself.
//
// The result's sender unparks the helper after it publishes the result
// (the caller hands its sender the helper's Unparker); the helper tests the
// result after listing itself, so a result that lands before the park
// leaves the token the park consumes. Parking reuses the worker's own
// Parker: a token left over (a result sent after the helper stopped
// looking) makes one later park return early, and every park here and in
// idle.cpp re-checks why it woke.
#include <chrono>
#include <type_traits>

#include "job.hpp"
#include "sync/parker.hpp"

namespace corvalune::core {

struct Scheduler;

// The calling worker's Unparker, for the sender of the result it will wait
// for. The calling thread must be a worker (has_local_queue()).
Unparker current_helper_unparker();

// Called detached, by a worker waiting for a result that `done` tests
// (called at most once per wait, after the worker is listed). Returns a
// job the worker can run, or nothing once `done` answered true, the worker
// was woken, or `timeout` passed (zero: no limit).
template <typename Done>
JobRef wait_as_helper(Scheduler& scheduler, std::chrono::nanoseconds timeout, Done&& done);

// The non-template part: HA, HC, and the park unless `done()` says not to.
JobRef wait_as_helper_impl(Scheduler& scheduler, std::chrono::nanoseconds timeout, bool (*done)(void*),
                           void* state);

template <typename Done>
JobRef wait_as_helper(Scheduler& scheduler, std::chrono::nanoseconds timeout, Done&& done) {
  using D = std::remove_reference_t<Done>;
  return wait_as_helper_impl(
      scheduler, timeout, [](void* state) { return static_cast<bool>((*static_cast<D*>(state))()); },
      const_cast<void*>(static_cast<const void*>(&done)));
}

// At a signal site S (idle.hpp): wakes the waiting helper that listed
// itself last, if any (HL).
void wake_helper(Scheduler& scheduler);

}  // namespace corvalune::core
