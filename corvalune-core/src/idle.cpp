#include "idle.hpp"

#include <algorithm>
#include <chrono>
#include <mutex>

#include "help_wait.hpp"
#include "search.hpp"
#include "sync/spin_wait.hpp"
#include "worker.hpp"

namespace corvalune::core {
namespace {

// How long a searcher that has just run a job keeps looking before it parks
// (the warm search; idle.hpp says why this long).
constexpr std::chrono::microseconds kWarmSearch{50};

// Moves the calling pool thread into the searching set unless enough
// threads search already (at most half of the pool, at least one).
bool begin_search(Scheduler& scheduler) {
  const std::uint32_t bound = std::max<std::uint32_t>(1, scheduler.pool_threads.load(std::memory_order_relaxed) / 2);
  std::uint32_t n = scheduler.searching.load(std::memory_order_relaxed);
  while (n < bound) {
    // seq_cst: a searcher must be seen by the submitters' L1 from the moment
    // it counts itself.
    if (scheduler.searching.compare_exchange_weak(n, n + 1, std::memory_order_seq_cst, std::memory_order_relaxed))
      return true;
  }
  return false;
}

// A searcher found work: it stops searching, and the last one wakes another
// sleeper if work it did not take is waiting with nobody looking (idle.hpp,
// "the last searcher").
void end_search_with_work(WorkerContext& context) {
  Scheduler& scheduler = *context.scheduler;
  // seq_cst: like B; pairs with the submitters' L1. The look after it is
  // C's: seq_cst loads of every queue's end.
  if (scheduler.searching.fetch_sub(1, std::memory_order_seq_cst) != 1 || !work_visible(context)) return;
  // With no sleeper to wake, every worker may now be busy with work still
  // queued: the watchdog is told (S).
  if (!notify_one(scheduler)) {
    signal_watchdog(scheduler);
    wake_helper(scheduler);
  }
}

// The warm search: looks again and again for kWarmSearch, yielding the CPU
// between looks.
JobRef warm_search(WorkerContext& context) {
  JobRef job;
  poll_for(kWarmSearch, [&] { return static_cast<bool>(job = find_job(context)); });
  return job;
}

}  // namespace

void SleeperList::reserve(std::size_t n) {
  std::unique_lock guard(lock);
  ids.reserve(n);
}

void SleeperList::add(std::uint64_t id) {
  std::unique_lock guard(lock);
  if (std::find(ids.begin(), ids.end(), id) != ids.end()) return;
  ids.push_back(id);
  // seq_cst: A; pairs with the submitters' L2.
  count.fetch_add(1, std::memory_order_seq_cst);
}

bool SleeperList::remove(std::uint64_t id) {
  std::unique_lock guard(lock);
  auto it = std::remove(ids.begin(), ids.end(), id);
  auto removed = static_cast<std::uint64_t>(ids.end() - it);
  if (removed == 0) return false;
  ids.erase(it, ids.end());
  // relaxed: the count is a hint for notify_one's lock-free fast path; the
  // list itself is only read under the lock.
  count.fetch_sub(removed, std::memory_order_relaxed);
  return true;
}

bool SleeperList::contains(std::uint64_t id) {
  std::unique_lock guard(lock);
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

JobRef IdleState::search(WorkerContext& context) {
  if (!searching_) searching_ = begin_search(*context.scheduler);
  if (searching_ && warm_) return warm_search(context);
  return {};
}

void IdleState::found_work(WorkerContext& context) {
  warm_ = true;
  if (!searching_) return;
  searching_ = false;
  end_search_with_work(context);
}

JobRef IdleState::sleep(WorkerContext& context) {
  Scheduler& scheduler = *context.scheduler;
  SleeperList& sleepers = scheduler.registry->sleepers;
  sleepers.add(context.id);  // A
  if (searching_) {
    searching_ = false;
    scheduler.searching.fetch_sub(1, std::memory_order_seq_cst);  // B
  }
  // C: the loads of the queues' ends in find_job are seq_cst.
  if (JobRef found = find_job(context)) {
    // Still listed: nobody counted this thread as searching. Popped: a
    // waker counted it as searching, and its token is stale once this job
    // runs (the next park notices and parks again).
    if (sleepers.remove(context.id)) {
      // It takes a job no searcher may know about: as a searcher would,
      // make sure someone looks for more.
      wake_for_work(scheduler);
      warm_ = true;
    } else {
      searching_ = true;
      found_work(context);
    }
    return found;
  }
  // Parks until popped by a waker (then it counts as searching) or until the
  // pool stops. A return while still listed is a stale token, or, with an
  // idle limit, the limit reached.
  WorkerCounters::bump(context.counters.parks);
  for (;;) {
    if (idle_limit_ > std::chrono::nanoseconds::zero()) {
      if (!context.parker.park_timeout(idle_limit_) && sleepers.remove(context.id)) {
        // Nobody popped it: nobody counts on it to search. It leaves.
        retiring_ = true;
        break;
      }
    } else {
      context.parker.park();
    }
    if (!sleepers.contains(context.id)) {
      searching_ = true;  // popped by a waker, which counted it
      break;
    }
    if (!scheduler.is_running()) {
      // Not removed by us: a waker popped it after the check above.
      searching_ = !sleepers.remove(context.id);
      break;
    }
  }
  warm_ = false;
  return {};
}

void IdleState::leave(WorkerContext& context) {
  Scheduler& scheduler = *context.scheduler;
  if (searching_) scheduler.searching.fetch_sub(1, std::memory_order_seq_cst);
  searching_ = false;
  scheduler.registry->sleepers.remove(context.id);
}

void wake_for_work(Scheduler& scheduler) {
  // L1, L2; the push before them was seq_cst.
  if (scheduler.searching.load(std::memory_order_seq_cst) != 0) return;
  if (scheduler.registry->sleepers.count.load(std::memory_order_seq_cst) == 0) {
    signal_watchdog(scheduler);  // S: nobody searches, nobody sleeps
    wake_helper(scheduler);      // a worker waiting for a result may take it
    return;
  }
  notify_one(scheduler);
}

bool notify_one(Scheduler& scheduler) {
  WorkerRegistry& registry = *scheduler.registry;
  SleeperList& sleepers = registry.sleepers;
  if (sleepers.count.load(std::memory_order_seq_cst) == 0) return false;
  for (;;) {
    std::uint64_t id;
    {
      std::unique_lock lock(sleepers.lock);
      if (sleepers.ids.empty()) return false;
      id = sleepers.ids.back();
      sleepers.ids.pop_back();
      // relaxed: the list is the truth, read under the lock; the count is
      // the lock-free hint of L2.
      sleepers.count.fetch_sub(1, std::memory_order_relaxed);
      // seq_cst: counted as searching before it is unparked, and before the
      // lock is released, so that concurrent submitters see a searcher.
      scheduler.searching.fetch_add(1, std::memory_order_seq_cst);
    }
    std::shared_lock lock(registry.entries_lock);
    auto it = registry.entries.find(id);
    if (it != registry.entries.end()) {
      it->second.unparker.unpark();
      return true;
    }
    // That worker has left: uncount it and wake the next sleeper instead.
    scheduler.searching.fetch_sub(1, std::memory_order_seq_cst);
  }
}

void wake_all(Scheduler& scheduler) {
  {
    WorkerRegistry& registry = *scheduler.registry;
    std::shared_lock lock(registry.entries_lock);
    for (const auto& [id, entry] : registry.entries) entry.unparker.unpark();
  }
  stop_watchdog(scheduler);
}

}  // namespace corvalune::core
