#pragma once
// Waiting briefly without sleeping: the one place that says how a thread
// spins before it would park (the idle protocol in idle.hpp says when).
#include <chrono>
#include <thread>

namespace corvalune::core {

// How long a caller blocked on a result polls for it before it sleeps
// (idle.hpp says why this long).
inline constexpr std::chrono::microseconds kCallerSpin{50};

// Asks `ready` until it answers true or `budget` has passed, giving the CPU
// away between asks (sched_yield): a spinning thread must not keep the
// thread it waits for off a core, which on a 2-core machine is as likely
// as not. Where nothing else wants the core a yield returns at once, so the
// thread notices within about a microsecond. True when `ready` said so.
template <class Ready>
bool poll_for(std::chrono::nanoseconds budget, Ready&& ready) {
  const auto until = std::chrono::steady_clock::now() + budget;
  for (;;) {
    if (ready()) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::yield();
  }
}

}  // namespace corvalune::core
