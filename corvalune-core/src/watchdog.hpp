#pragma once
// Extra workers: how the pool keeps queued work moving while its workers
// block.
//
// A pool thread that blocks (in Event.wait, a lock, I/O, a wait for other
// pool work) holds its place in the pool. When every worker blocks, work
// queued behind them never runs, and if they wait for that work the pool
// stalls for ever. Two things prevent it:
//
// - Blocking the pool is told about: a wait the package owns first runs
//   the work it waits for, where that is still queued in its own job's
//   lineage (lineage.hpp), and only then blocks, inside a BlockingScope.
//   While the pool has a thread in such a scope, fewer unblocked pool
//   threads than its size, work queued and no worker idle, the watchdog
//   starts an extra worker at once (as a compensating thread takes a
//   blocked worker's place).
// - Blocking the pool cannot see: when work is queued, no worker is idle,
//   and no job has started anywhere for `stall` (50 ms) since the pool's
//   own threads all started, the watchdog starts one extra worker, then
//   waits another `stall` before the next. Unless every pool thread is at
//   work: in a ComputeScope (native work, which never blocks and always
//   ends), or runnable by the kernel's word (Linux: running, or ready and
//   kept off the CPU by other threads), for up to 5 s into one job. Such a
//   pool is busy, not stalled, and an extra worker would only take CPU from
//   it (a pool of one running a batch of four 70 ms chunks ran on two
//   threads; a pool of two running 1.3 s isolated calls beside busy
//   processes grew by dozens, each extra making its own sub-interpreter).
//   CPU time cannot tell the two apart: a runnable thread that other
//   processes keep off the CPU uses none, as a blocked one does. A thread
//   that waits (for an event, I/O, the interpreter lock) is not runnable;
//   one that stays runnable longer may never end (a runaway loop, a poll of
//   a handle waiting for queued work), and the pool grows past it as
//   before.
//
// At most kMaxExtraWorkers extra workers run at once. An extra worker is a
// pool thread like the others (named "corvalune-worker-<i>", i counting on
// from the pool's size; counted in `pool_threads`, so in the searching
// bound; it sleeps and wakes by the idle protocol and leaves when the pool
// stops) except that it parks with a timeout: after `retire_after` (5 s)
// without work it leaves the pool and its thread ends.
//
// The watchdog is one thread per runtime. It costs nothing while the pool
// is idle: it sleeps on its word with no timeout until it is signalled, and
// it is signalled only when a worker may be needed and none is idle (the
// protocol, with every ordering and partner, is in idle.hpp). While it
// watches, it looks every `tick` (10 ms) at the queues and at each worker's
// own counters (never a counter the hot path shares), and it goes back to
// sleep as soon as every queue is empty.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace corvalune::core {

struct Scheduler;

// Extra workers running at once, at most (the bound Java's ForkJoinPool
// puts on its spare threads): enough for a chain of a few hundred nested
// waits, few enough that their stacks stay a small share of memory.
inline constexpr std::uint32_t kMaxExtraWorkers = 256;

// A worker's own figures. Each is written only by the worker's thread, as a
// relaxed load and store (no read-modify-write: the line is the thread's
// own, alone on its cache lines), and read relaxed by statistics and the
// watchdog, which need no order with anything else: they are figures, and
// the watchdog only compares them over time.
struct alignas(128) WorkerCounters {
  std::atomic<std::uint64_t> jobs_run{0};  // jobs started by this thread
  std::atomic<std::uint64_t> steals{0};    // jobs taken from peers' queues
  std::atomic<std::uint64_t> parks{0};     // times the thread went to sleep
  // Blocking scopes the thread is in (nesting depth).
  std::atomic<std::uint32_t> blocked{0};
  // Computing scopes the thread is in (nesting depth): native work that
  // keeps the CPU busy and never blocks.
  std::atomic<std::uint32_t> computing{0};

  static void bump(std::atomic<std::uint64_t>& counter) noexcept {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
};

struct WatchdogPolicy {
  std::chrono::nanoseconds tick = std::chrono::milliseconds(10);
  std::chrono::nanoseconds stall = std::chrono::milliseconds(50);
  std::chrono::nanoseconds retire_after = std::chrono::seconds(5);
  std::uint32_t max_extra = kMaxExtraWorkers;
};

// The watchdog's part of a scheduler.
struct WatchdogState {
  // kAsleep (0): the watchdog sleeps until signalled; kWatching (1): it
  // looks every tick; kCheckNow (2): look at once. A scheduler without a
  // watchdog stays kWatching, so that signals cost a load. See idle.hpp.
  static constexpr std::uint32_t kAsleep = 0, kWatching = 1, kCheckNow = 2;
  alignas(128) std::atomic<std::uint32_t> word{kWatching};

  // Set before the watchdog starts, constant after.
  WatchdogPolicy policy;
  std::uint64_t pool_size = 0;  // pool threads the runtime started

  // Extra workers started and not yet ended. Incremented by the watchdog
  // before it starts one, decremented as the last act of its thread
  // (release; the acquire load in wait_for_extra_workers pairs with it).
  alignas(128) std::atomic<std::uint32_t> extra_running{0};
  std::atomic<std::uint64_t> extra_started{0};  // in all; relaxed, a figure
  // Of them, started at once for a thread in a blocking scope, and after a
  // stall; relaxed, figures.
  std::atomic<std::uint64_t> extra_for_blocked{0};
  std::atomic<std::uint64_t> extra_for_stall{0};
  // Which name indexes (pool_size + slot) extra workers use now; one slot
  // per extra worker the policy allows.
  std::mutex slots_lock;
  std::vector<bool> slots;  // guarded by slots_lock
};

// Tells the watchdog that work may be queued with no worker idle: wakes it
// if it sleeps. One seq_cst load while it watches.
void signal_watchdog(Scheduler& scheduler) noexcept;

// Starts the watchdog thread of `scheduler`, whose pool has `pool_size`
// threads. Throws std::system_error when the system refuses a thread, or
// std::bad_alloc.
std::thread start_watchdog(const std::shared_ptr<Scheduler>& scheduler, std::uint64_t pool_size,
                           const WatchdogPolicy& policy = {});

// Lowers (or restores) the bound on extra workers for every pool of the
// process, for a test suite that needs a pool that cannot grow (work it
// queues behind blocked workers must stay queued). Returns the previous
// bound. Extra workers already running are not stopped.
std::uint32_t set_extra_worker_limit(std::uint32_t limit) noexcept;

// False when the scheduler runs as many extra workers as it may.
bool can_add_extra_worker(Scheduler& scheduler) noexcept;

// Wakes the watchdog to see the pool stop (it then ends).
void stop_watchdog(Scheduler& scheduler) noexcept;

// Waits until every extra worker's thread has ended (after the pool has
// stopped), for at most `timeout`. True when none runs.
bool wait_for_extra_workers(Scheduler& scheduler, std::chrono::nanoseconds timeout);

// The calling thread is about to block until something else happens. On a
// pool thread: counts it as blocked and, when work is queued and no worker
// is idle, has the watchdog add a worker at once. Elsewhere: nothing.
void begin_blocking() noexcept;
// Ends the innermost begin_blocking of the calling thread.
void end_blocking() noexcept;

// Runs Begin at construction and End at destruction, on the calling thread.
template <void (*Begin)() noexcept, void (*End)() noexcept>
class ThreadScope {
 public:
  ThreadScope() noexcept { Begin(); }
  ~ThreadScope() { End(); }
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;
};

using BlockingScope = ThreadScope<begin_blocking, end_blocking>;

// The calling thread runs native work that keeps the CPU busy and never
// blocks (a native job's transforms): on a pool thread, the watchdog does
// not count its stillness as a stall while every pool thread computes.
// Elsewhere: nothing. Two relaxed stores on the thread's own counters.
void begin_computing() noexcept;
void end_computing() noexcept;

using ComputeScope = ThreadScope<begin_computing, end_computing>;

}  // namespace corvalune::core
