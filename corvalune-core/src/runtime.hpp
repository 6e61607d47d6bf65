#pragma once
// The process-wide pool.
//
// At most one `Runtime` is ever published, into a once-initialised slot, and
// it is never destroyed: worker threads outlive `shutdown` and may still be
// running while the interpreter finalizes and static destructors run, so
// nothing they can reach may be torn down. The slot and its lock are created
// on first use and deliberately leaked.
//
// Two ways to start:
// - `global_runtime()` (first use of the pool) starts the automatic size
//   inside the slot's once-initialisation, so concurrent first uses start
//   exactly one pool.
// - `try_start_runtime(n)` (`configure`) builds a complete pool outside the
//   lock and only offers it for publication; the loser of a race stops and
//   joins its own threads before it reports the winner's size.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "worker.hpp"

namespace corvalune::core {

class Runtime {
 public:
  // Starts a runtime of `n` threads and its watchdog (watchdog.hpp). Throws
  // Panic when a thread cannot be created (the threads created so far are
  // stopped and joined).
  static std::unique_ptr<Runtime> start(std::uint64_t n, const ThreadSpawner& spawner = {},
                                        const WatchdogPolicy& policy = {});

  // Stops and joins this runtime's threads, and waits for its extra workers
  // to end. Used only for a runtime that lost the publication race (and in
  // tests); a published runtime is never destroyed.
  ~Runtime();

  const std::shared_ptr<Scheduler>& scheduler() const noexcept { return scheduler_; }
  std::uint64_t thread_count() const noexcept { return thread_count_; }

  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

 private:
  Runtime(std::shared_ptr<Scheduler> scheduler, std::vector<std::thread> threads, std::thread watchdog,
          std::uint64_t n);

  std::shared_ptr<Scheduler> scheduler_;
  std::mutex threads_mutex_;
  std::vector<std::thread> threads_;  // start order; guarded by threads_mutex_
  std::thread watchdog_;              // guarded by threads_mutex_
  std::uint64_t thread_count_;
};

// The published runtime, starting one of the automatic size if none is.
Runtime& global_runtime();

struct StartOutcome {
  enum class Kind { Started, AlreadyRunning } kind;
  Runtime* runtime = nullptr;      // Started: the published runtime
  std::uint64_t running_size = 0;  // AlreadyRunning: the size of the pool that runs
};

StartOutcome try_start_runtime(std::uint64_t requested);

// The published runtime or nullptr; never starts one.
Runtime* started_runtime() noexcept;

// The size of the running pool, or of the pool a forked child inherited
// (its own pool starts on first use); nothing before any start.
std::optional<std::uint64_t> pool_size() noexcept;

// True once the published pool has been stopped: it accepts no new work.
bool pool_stopped() noexcept;

// Counts forks: a forked child's generation differs from its parent's.
// Whatever a thread registered before the fork belongs to the parent's
// abandoned pool, and compares its generation with this to know it.
std::uint64_t fork_generation() noexcept;

// Clears the running flag, wakes every worker and waits, in 1 ms steps for
// at most `timeout`, until none of the pool's own threads is registered (a
// pool thread calling this does not wait for itself; registered outside
// threads never leave by themselves, so they are not waited for). Returns
// the number of pool threads still registered. Never joins a thread; the
// runtime stays published. Nobody takes from the injector afterwards: the
// caller discards what it holds (discard_queued); pool threads discard
// their own queues as they leave.
std::uint64_t stop_and_wait(std::chrono::nanoseconds timeout);

}  // namespace corvalune::core
