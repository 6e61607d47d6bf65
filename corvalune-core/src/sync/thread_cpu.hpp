#pragma once
// The CPU time a thread has used so far, readable from another thread: on
// Linux through the thread's CPU-time clock (pthread_getcpuclockid); where
// no such clock exists, unknown.
#include <pthread.h>

#include <cstdint>
#include <ctime>

namespace corvalune::core {

class ThreadCpuClock {
 public:
  // The calling thread's clock.
  static ThreadCpuClock of_current_thread() noexcept {
    ThreadCpuClock clock;
#if defined(__linux__)
    clock.known_ = pthread_getcpuclockid(pthread_self(), &clock.id_) == 0;
#endif
    return clock;
  }

  // Nanoseconds of CPU time the thread has used, or -1 when unknown (no
  // clock here, or the thread has ended). A system call: for the watchdog's
  // looks, never a hot path.
  std::int64_t read() const noexcept {
#if defined(__linux__)
    timespec ts;
    if (known_ && clock_gettime(id_, &ts) == 0)
      return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
#endif
    return -1;
  }

 private:
  bool known_ = false;
#if defined(__linux__)
  clockid_t id_{};
#endif
};

}  // namespace corvalune::core
