#pragma once
// Whether a thread is runnable, as the kernel sees it, readable from another
// thread: on Linux, the state letter of /proc/self/task/<tid>/stat ('R':
// running or waiting for a CPU; 'S', 'D' and the rest: waiting for
// something else). Elsewhere, unknown.
//
// Why the kernel's word and not the thread's CPU time: a runnable thread
// that other processes keep off the CPU uses no CPU time either, so a share
// of CPU time cannot tell it from a blocked one; the run state can.
#include <cstdint>

#if defined(__linux__)
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#endif

namespace corvalune::core {

class ThreadStateProbe {
 public:
  enum class State : std::uint8_t { Unknown, Runnable, Waiting };

  // A probe of the calling thread.
  static ThreadStateProbe of_current_thread() noexcept {
    ThreadStateProbe probe;
#if defined(__linux__)
    probe.tid_ = static_cast<std::int64_t>(syscall(SYS_gettid));
#endif
    return probe;
  }

  // The thread's state now. Three system calls (open, read, close): for the
  // watchdog's looks, never a hot path. Unknown once the thread has ended.
  State read() const noexcept {
#if defined(__linux__)
    if (tid_ <= 0) return State::Unknown;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%lld/stat", static_cast<long long>(tid_));
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return State::Unknown;
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0) return State::Unknown;
    buf[n] = '\0';
    // "<tid> (<name>) <state> ...": the name may hold spaces and
    // parentheses, so the state follows the last ')'.
    const char* end = std::strrchr(buf, ')');
    if (end == nullptr || end[1] != ' ' || end[2] == '\0') return State::Unknown;
    return end[2] == 'R' ? State::Runnable : State::Waiting;
#else
    return State::Unknown;
#endif
  }

 private:
  std::int64_t tid_ = 0;
};

}  // namespace corvalune::core
