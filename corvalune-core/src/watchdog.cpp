#include "watchdog.hpp"

#include <pthread.h>

#include <algorithm>
#include <new>
#include <shared_mutex>
#include <unordered_map>
#include <utility>

#include "registry.hpp"
#include "sync/wait_word.hpp"
#include "worker.hpp"

namespace corvalune::core {
namespace {

using Clock = std::chrono::steady_clock;

// set_extra_worker_limit's bound. relaxed: read at each start, which it
// only has to reach eventually.
std::atomic<std::uint32_t> g_extra_limit{kMaxExtraWorkers};

// What the watchdog sees at one look.
struct Survey {
  std::uint64_t queued = 0;    // jobs in the injector and every local queue
  std::uint64_t jobs_run = 0;  // jobs started by the registered threads
  std::uint32_t pool_threads = 0;
  std::uint32_t own_threads = 0;  // of them, the pool's own (not extra) ones
  std::uint32_t blocked = 0;  // pool threads in a blocking scope
  // Pool threads at work, not waiting: in a computing scope (native work,
  // which always ends), or, for up to kBusyLimit into one job, runnable by
  // the kernel's word (running, or ready and kept off the CPU by other
  // threads: a thread that waits, for an event, I/O or the interpreter
  // lock, is not runnable).
  std::uint32_t busy = 0;
};

// How long into one job a runnable pool thread still counts as at work:
// past it, a job that may never end (a runaway loop, a poll of a handle
// that waits for queued work) no longer keeps the pool from growing. Long
// enough for a long CPU-bound call to run out without an extra worker
// beside it; the same as an idle extra worker's life.
constexpr Clock::duration kBusyLimit = std::chrono::seconds(5);

// What the previous look saw of one pool thread.
struct ThreadSeen {
  std::uint64_t jobs;               // jobs it had started
  Clock::time_point job_seen_since;  // first look at which `jobs` had this value
};
using JobsSeen = std::unordered_map<std::uint64_t, ThreadSeen>;

// `jobs_seen` holds the previous look's figures and is replaced by this
// look's.
Survey survey(Scheduler& scheduler, JobsSeen& jobs_seen, Clock::time_point now) {
  Survey seen;
  seen.queued = scheduler.injector.len();
  JobsSeen next;
  bool tracked = true;  // false once no memory is left for the map: nobody counts as busy by run state
  WorkerRegistry& registry = *scheduler.registry;
  std::shared_lock lock(registry.entries_lock);
  for (const auto& [id, entry] : registry.entries) {
    const std::uint64_t jobs = entry.counters->jobs_run.load(std::memory_order_relaxed);
    seen.queued += entry.stealer.len();
    seen.jobs_run += jobs;
    if (entry.kind == WorkerKind::Registered) continue;
    ++seen.pool_threads;
    seen.own_threads += entry.kind == WorkerKind::Pool;
    if (entry.counters->blocked.load(std::memory_order_relaxed) != 0) ++seen.blocked;
    bool busy = entry.counters->computing.load(std::memory_order_relaxed) != 0;
    if (!busy && tracked) {
      ThreadSeen now_seen{jobs, now};
      if (auto it = jobs_seen.find(id); it != jobs_seen.end() && it->second.jobs == jobs)
        now_seen.job_seen_since = it->second.job_seen_since;
      if (now - now_seen.job_seen_since < kBusyLimit &&
          entry.run_state.read() == ThreadStateProbe::State::Runnable)
        busy = true;
      try {
        next.emplace(id, now_seen);
      } catch (const std::bad_alloc&) {
        tracked = false;
      }
    }
    seen.busy += busy;
  }
  jobs_seen.swap(next);
  return seen;
}

// Queued work, looked at after the watchdog published kAsleep: every load
// is seq_cst (the injector's and the deques' ends), see idle.hpp.
bool work_queued(Scheduler& scheduler) {
  if (!scheduler.injector.is_empty()) return true;
  WorkerRegistry& registry = *scheduler.registry;
  std::shared_lock lock(registry.entries_lock);
  for (const auto& [id, entry] : registry.entries)
    if (!entry.stealer.is_empty()) return true;
  return false;
}

bool worker_idle(Scheduler& scheduler) {
  return scheduler.searching.load(std::memory_order_seq_cst) != 0 ||
         scheduler.registry->sleepers.count.load(std::memory_order_seq_cst) != 0;
}

// Frees an extra worker's name slot and uncounts it; the last thing its
// thread does.
void extra_worker_ended(Scheduler& scheduler, std::size_t slot) {
  WatchdogState& watchdog = scheduler.watchdog;
  {
    std::lock_guard lock(watchdog.slots_lock);
    watchdog.slots[slot] = false;
  }
  // relaxed: a bound on searchers, as at the start (start_worker_threads).
  scheduler.pool_threads.fetch_sub(1, std::memory_order_relaxed);
  // release: pairs with the acquire load in wait_for_extra_workers; after
  // it this thread touches nothing the waiter may free.
  watchdog.extra_running.fetch_sub(1, std::memory_order_release);
}

bool start_one_extra(const std::shared_ptr<Scheduler>& scheduler) {
  WatchdogState& watchdog = scheduler->watchdog;
  if (!can_add_extra_worker(*scheduler)) return false;
  std::size_t slot;
  {
    // Sized to the bound at start: no allocation here.
    std::lock_guard lock(watchdog.slots_lock);
    auto free = std::find(watchdog.slots.begin(), watchdog.slots.end(), false);
    if (free == watchdog.slots.end()) return false;
    slot = static_cast<std::size_t>(free - watchdog.slots.begin());
    *free = true;
  }
  // relaxed: see extra_worker_ended.
  watchdog.extra_running.fetch_add(1, std::memory_order_relaxed);
  scheduler->pool_threads.fetch_add(1, std::memory_order_relaxed);
  Scheduler* raw = scheduler.get();  // the thread holds the scheduler while it runs
  try {
    start_extra_worker(scheduler, static_cast<std::size_t>(watchdog.pool_size) + slot, watchdog.policy.retire_after,
                       [raw, slot] { extra_worker_ended(*raw, slot); });
  } catch (...) {
    // No thread (refused, or no memory): tried again at a later look.
    extra_worker_ended(*scheduler, slot);
    return false;
  }
  watchdog.extra_started.fetch_add(1, std::memory_order_relaxed);
  return true;
}

// Sleeps while the word holds `expected`, until `deadline` (none: no
// timeout). Returns early when signalled.
void wait_on(std::atomic<std::uint32_t>& word, std::uint32_t expected, Clock::time_point deadline) {
  while (word.load(std::memory_order_seq_cst) == expected) {
    if (deadline == Clock::time_point::max()) {
      wait_on_word(word, expected);
      continue;
    }
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return;
    wait_on_word_for(word, expected, std::chrono::duration_cast<std::chrono::nanoseconds>(left));
  }
}

void watchdog_main(std::shared_ptr<Scheduler> scheduler) {
#if defined(__APPLE__)
  pthread_setname_np("corvalune-watch");
#else
  pthread_setname_np(pthread_self(), "corvalune-watch");
#endif
  WatchdogState& watchdog = scheduler->watchdog;
  std::atomic<std::uint32_t>& word = watchdog.word;
  std::uint64_t last_jobs = 0;
  Clock::time_point last_progress = Clock::now();
  JobsSeen jobs_seen;
  while (scheduler->is_running()) {
    // Takes a pending kCheckNow: this look answers it.
    word.store(WatchdogState::kWatching, std::memory_order_seq_cst);
    const Clock::time_point now = Clock::now();
    const Survey seen = survey(*scheduler, jobs_seen, now);
    // A pool whose own threads are still starting (slow on a loaded host)
    // has not stalled: its threads have not had their first look for work.
    if (seen.jobs_run != last_jobs || seen.own_threads < watchdog.pool_size) {
      last_jobs = seen.jobs_run;
      last_progress = now;
    }
    if (seen.queued == 0) {
      // Asleep, then one more look at the queues (seq_cst, like the store):
      // a job pushed before it is seen here, one pushed after it is
      // followed by a signal (idle.hpp).
      std::uint32_t watching = WatchdogState::kWatching;
      if (!word.compare_exchange_strong(watching, WatchdogState::kAsleep, std::memory_order_seq_cst)) continue;
      if (work_queued(*scheduler)) continue;
      wait_on(word, WatchdogState::kAsleep, Clock::time_point::max());
      last_progress = Clock::now();
      continue;
    }
    if (!worker_idle(*scheduler)) {
      // A thread still starting is not blocked: only a blocking scope is
      // compensated at once.
      const bool compensate =
          seen.blocked != 0 && seen.pool_threads - std::min(seen.blocked, seen.pool_threads) < watchdog.pool_size;
      // A pool whose every thread is at work on the CPU is busy, not
      // stalled: an extra worker would only take CPU from it.
      const bool stalled = now - last_progress >= watchdog.policy.stall && seen.busy < seen.pool_threads;
      if ((compensate || stalled) && start_one_extra(scheduler)) {
        (compensate ? watchdog.extra_for_blocked : watchdog.extra_for_stall).fetch_add(1, std::memory_order_relaxed);
        last_progress = now;
      }
    }
    wait_on(word, WatchdogState::kWatching, now + watchdog.policy.tick);
  }
}

}  // namespace

void signal_watchdog(Scheduler& scheduler) noexcept {
  std::atomic<std::uint32_t>& word = scheduler.watchdog.word;
  // seq_cst: the load and the exchange are the signal's part of the
  // protocol in idle.hpp (partner: the watchdog's kAsleep exchange and the
  // look at the queues after it).
  std::uint32_t asleep = WatchdogState::kAsleep;
  if (word.load(std::memory_order_seq_cst) != WatchdogState::kAsleep) return;
  if (word.compare_exchange_strong(asleep, WatchdogState::kWatching, std::memory_order_seq_cst))
    wake_one_on_word(word);
}

std::thread start_watchdog(const std::shared_ptr<Scheduler>& scheduler, std::uint64_t pool_size,
                           const WatchdogPolicy& policy) {
  scheduler->watchdog.policy = policy;
  scheduler->watchdog.pool_size = pool_size;
  scheduler->watchdog.slots.assign(policy.max_extra, false);
  return std::thread(watchdog_main, scheduler);
}

bool can_add_extra_worker(Scheduler& scheduler) noexcept {
  WatchdogState& watchdog = scheduler.watchdog;
  const std::uint32_t bound = std::min(watchdog.policy.max_extra, g_extra_limit.load(std::memory_order_relaxed));
  // relaxed: only the watchdog increments it; a lower value read while an
  // extra ends only delays the next start.
  return watchdog.extra_running.load(std::memory_order_relaxed) < bound;
}

std::uint32_t set_extra_worker_limit(std::uint32_t limit) noexcept {
  return g_extra_limit.exchange(limit, std::memory_order_relaxed);
}

void stop_watchdog(Scheduler& scheduler) noexcept {
  // seq_cst: the watchdog's next load of the word sees it and looks at the
  // running flag (cleared before this by the caller).
  scheduler.watchdog.word.store(WatchdogState::kCheckNow, std::memory_order_seq_cst);
  wake_one_on_word(scheduler.watchdog.word);
}

bool wait_for_extra_workers(Scheduler& scheduler, std::chrono::nanoseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  // acquire: pairs with the release decrement in extra_worker_ended.
  while (scheduler.watchdog.extra_running.load(std::memory_order_acquire) != 0) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void begin_blocking() noexcept {
  WorkerContext* context = current_context();
  if (context == nullptr || !is_pool_thread()) return;
  std::atomic<std::uint32_t>& blocked = context->counters.blocked;
  // relaxed: the watchdog reads it after the seq_cst exchange below (or at
  // its next look, which follows its own seq_cst store of the word).
  blocked.store(blocked.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  Scheduler& scheduler = *context->scheduler;
  if (worker_idle(scheduler)) return;  // a searcher or a sleeper will take queued work
  std::atomic<std::uint32_t>& word = scheduler.watchdog.word;
  // seq_cst: publishes `blocked` to the watchdog's next look and asks for
  // that look now.
  if (word.exchange(WatchdogState::kCheckNow, std::memory_order_seq_cst) != WatchdogState::kCheckNow)
    wake_one_on_word(word);
}

namespace {

// The calling pool thread's depth of one kind of scope, or nullptr on other
// threads.
std::atomic<std::uint32_t>* scope_depth(std::atomic<std::uint32_t> WorkerCounters::*depth) noexcept {
  WorkerContext* context = current_context();
  if (context == nullptr || !is_pool_thread()) return nullptr;
  return &(context->counters.*depth);
}

// Ends the innermost scope counted in `depth` (written by its own thread
// only: relaxed).
void leave_scope(std::atomic<std::uint32_t> WorkerCounters::*depth) noexcept {
  if (std::atomic<std::uint32_t>* d = scope_depth(depth)) {
    const std::uint32_t n = d->load(std::memory_order_relaxed);
    if (n != 0) d->store(n - 1, std::memory_order_relaxed);
  }
}

}  // namespace

void end_blocking() noexcept { leave_scope(&WorkerCounters::blocked); }

void begin_computing() noexcept {
  // relaxed: a figure the watchdog compares over its looks; a look that
  // misses it at worst starts an extra worker, as before computing scopes.
  if (std::atomic<std::uint32_t>* computing = scope_depth(&WorkerCounters::computing))
    computing->store(computing->load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void end_computing() noexcept { leave_scope(&WorkerCounters::computing); }

}  // namespace corvalune::core
