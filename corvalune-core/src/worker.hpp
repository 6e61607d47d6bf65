#pragma once
// The scheduler and its pool threads: the injector, the registry, the loop
// every pool thread runs, submission, and starting the threads.
//
// Words: the *pool* is what Python sees, the threads that run its work. Its
// shared state is one `Scheduler` (the injector, the registry, the idle
// counters), started with its threads by a `Runtime` (runtime.hpp). A
// *worker* is any thread registered with a scheduler: a *pool thread*, which
// the runtime starts, or a registered outside thread. The Python API's
// `worker_count()`, `configure(workers=...)` and CORVALUNE_WORKERS count pool
// threads only; the core calls that number the pool size.
//
// Work enters as `JobRef`s. A thread that owns a local queue (a pool thread or
// a registered Python thread) pushes onto it; any other thread pushes onto
// the injector. Either push then wakes the worker that went to sleep most
// recently, when some sleep and none searches (idle.hpp). Workers find work
// as search.hpp says; registration is in registry.hpp.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "idle.hpp"
#include "job.hpp"
#include "queues/injector.hpp"
#include "registry.hpp"
#include "search.hpp"
#include "watchdog.hpp"

namespace corvalune::core {

struct alignas(128) Scheduler {
  Scheduler();

  Injector<Job*> injector;
  // Jobs that could not be queued for want of memory (job.hpp).
  OverflowQueue overflow;
  std::shared_ptr<WorkerRegistry> registry;
  // Set at creation, cleared once to stop the pool, never set again. Read at
  // the top of every loop iteration; eventual visibility is all that is
  // needed there because every clear is followed by wake_all. The clear in
  // stop_and_wait and the load after an injector push are seq_cst (see
  // inject).
  std::atomic<bool> running{true};
  // Pool threads searching for work (see idle.hpp).
  std::atomic<std::uint32_t> searching{0};
  // Pool threads running on this scheduler, extra workers included while
  // they run: bounds `searching`.
  std::atomic<std::uint32_t> pool_threads{0};
  // The watchdog that adds extra workers when queued work makes no progress
  // (watchdog.hpp). Idle (no watchdog) unless a Runtime started one.
  WatchdogState watchdog;

  bool is_running() const noexcept { return running.load(std::memory_order_relaxed); }
};

// One registration of one thread.
struct WorkerContext {
  WorkerContext(std::shared_ptr<Scheduler> s, Parker p, std::uint64_t i)
      : scheduler(s), parker(std::move(p)), id(i), registration(std::move(s), i) {}

  std::shared_ptr<Scheduler> scheduler;
  Parker parker;
  std::uint64_t id;
  std::atomic<std::uint64_t> tick{0};  // counts find_job calls
  // Written by this thread only; read by statistics and the watchdog
  // through the registry entry, which is erased (by `registration`, declared
  // after and so destroyed before) while the counters still exist.
  WorkerCounters counters;
  Registration registration;
  // The stealers this thread last searched, and the registry version they
  // belong to: a search copies the list only when it has changed.
  std::shared_ptr<const StealerList> snapshot;
  std::uint64_t snapshot_version = 0;
};

// Runs jobs until the scheduler's running flag is cleared, or, with an idle
// limit (extra workers), until the thread has slept that long without work.
// True when it left for want of work.
bool worker_loop(WorkerContext& context, std::chrono::nanoseconds idle_limit = std::chrono::nanoseconds::zero());

// Runs a job found by the calling thread, counting it in the thread's
// registration (if any) as a job run.
void run_job(JobRef job);

// Queues a job: on the calling thread's local queue when it has one,
// otherwise as inject does. Never fails: a job that cannot be queued for
// want of memory goes to the overflow queue.
void submit(Scheduler& scheduler, JobRef job) noexcept;

// Queues a job on the injector whatever thread calls, and wakes a sleeper.
// For work that must not stay on the calling thread's own queue (a thread
// about to block waiting for it). Never fails, as submit. Once the pool has
// stopped nobody takes queued work: a job queued then is discarded at once,
// with whatever else is queued there.
void inject(Scheduler& scheduler, JobRef job) noexcept;

// Discards every job in the injector and the overflow queue (Job::discard),
// including those pushed while it runs.
void discard_queued(Scheduler& scheduler);

// Creates one thread running `body` under the given name. The default creates
// a std::thread; tests substitute one that fails.
using ThreadSpawner = std::function<std::thread(std::size_t index, std::function<void()> body)>;

// Starts n pool threads named "corvalune-worker-<i>". If a thread cannot be
// created, the threads already created are stopped and joined and a
// PoolStartError "failed to spawn worker thread: <os error>" is thrown; any
// other failure (no memory) is rethrown as it is after the same cleanup.
std::vector<std::thread> start_worker_threads(const std::shared_ptr<Scheduler>& scheduler,
                                              std::size_t n,
                                              const ThreadSpawner& spawner = {});

// Called in the handler of a start's failure: stops and joins `threads`
// (the scheduler's, started so far) and throws the failure again, a system
// refusal as PoolStartError "failed to spawn worker thread: <os error>".
[[noreturn]] void fail_start(Scheduler& scheduler, std::vector<std::thread>& threads, std::uint64_t pool_size);

// A function a pool thread calls when it runs out of work (before spinning
// and parking) and when it leaves its loop.
using IdleHook = void (*)();
void set_worker_idle_hook(IdleHook hook) noexcept;

// A function an extra worker calls as it retires for want of work (not when
// the pool stops), after leaving the pool: the binding layer frees the
// thread's interpreter state there.
void set_worker_retire_hook(IdleHook hook) noexcept;

// Starts an extra pool thread named "corvalune-worker-<index>" that leaves
// after `idle_limit` without work, or when the pool stops; `on_exit` runs
// last on that thread. The thread is detached. Throws std::system_error when
// the system refuses a thread.
void start_extra_worker(const std::shared_ptr<Scheduler>& scheduler, std::size_t index,
                        std::chrono::nanoseconds idle_limit, std::function<void()> on_exit);

// A function a pool thread calls as the very last thing before it ends
// otherwise than by retiring (when the pool stops, or a job's failure ended
// it), after it has left the pool.
using ExitHook = void (*)();
void set_worker_exit_hook(ExitHook hook) noexcept;

// True on the pool's own threads (extra workers included).
bool is_pool_thread() noexcept;
// True on extra workers (watchdog.hpp).
bool is_extra_worker() noexcept;
// <i> of the calling pool thread's "corvalune-worker-<i>"; 0 elsewhere.
std::uint64_t current_worker_index() noexcept;

// The full name of the calling pool thread ("corvalune-worker-<i>"), or an
// empty string on other threads. The OS name is cut to 15 bytes by Linux.
std::string current_worker_name();

}  // namespace corvalune::core
