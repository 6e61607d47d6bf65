#include "stats.hpp"

#include "lineage.hpp"

#include <algorithm>
#include <shared_mutex>

#include "worker.hpp"

namespace corvalune::core {

PoolSnapshot snapshot(Scheduler& scheduler) {
  PoolSnapshot result;
  WorkerRegistry& registry = *scheduler.registry;
  {
    // Shared: the entries (and the counters they point to) stay while it is
    // held; leaving workers add to the departed sums under the exclusive lock.
    std::shared_lock lock(registry.entries_lock);
    result.workers.reserve(registry.entries.size());
    for (const auto& [id, entry] : registry.entries) {
      const WorkerCounters& c = *entry.counters;
      // relaxed: figures (watchdog.hpp).
      result.workers.push_back(WorkerSnapshot{id, entry.kind, entry.index, c.jobs_run.load(std::memory_order_relaxed),
                                              c.steals.load(std::memory_order_relaxed),
                                              c.parks.load(std::memory_order_relaxed), entry.stealer.len(),
                                              c.blocked.load(std::memory_order_relaxed) != 0});
    }
    result.departed_jobs_run = registry.departed_jobs_run;
    result.departed_steals = registry.departed_steals;
    result.departed_parks = registry.departed_parks;
  }
  std::sort(result.workers.begin(), result.workers.end(),
            [](const WorkerSnapshot& a, const WorkerSnapshot& b) { return a.id < b.id; });
  result.global_queue_depth = scheduler.injector.len();
  // relaxed: a figure.
  result.extra_started = scheduler.watchdog.extra_started.load(std::memory_order_relaxed);
  result.extra_for_blocked = scheduler.watchdog.extra_for_blocked.load(std::memory_order_relaxed);
  result.extra_for_stall = scheduler.watchdog.extra_for_stall.load(std::memory_order_relaxed);
  result.jobs_helped = jobs_helped();
  return result;
}

}  // namespace corvalune::core
