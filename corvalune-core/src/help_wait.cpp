#include "help_wait.hpp"

#include <mutex>
#include <shared_mutex>

#include "search.hpp"
#include "worker.hpp"

namespace corvalune::core {

Unparker current_helper_unparker() { return current_context()->parker.unparker(); }

JobRef wait_as_helper_impl(Scheduler& scheduler, std::chrono::nanoseconds timeout, bool (*done)(void*),
                           void* state) {
  WorkerContext& context = *current_context();
  SleeperList& helpers = scheduler.registry->helpers;
  helpers.add(context.id);  // HA (room reserved at registration: no allocation)
  JobRef job = take_local_or_injected(scheduler);  // HC
  if (!job && !done(state)) {
    // A stopped pool unparks every worker once: if this helper's result is
    // still to come (its sender has not been dropped yet), it looks again at
    // intervals rather than count on one more wake-up.
    if (!scheduler.is_running() && (timeout.count() == 0 || timeout > std::chrono::milliseconds(50)))
      timeout = std::chrono::milliseconds(50);
    if (timeout.count() > 0)
      context.parker.park_timeout(timeout);
    else
      context.parker.park();
  }
  // Popped by a waker: it counted on this helper to look once more.
  if (!helpers.remove(context.id) && !job) job = take_local_or_injected(scheduler);
  return job;
}

void wake_helper(Scheduler& scheduler) {
  WorkerRegistry& registry = *scheduler.registry;
  SleeperList& helpers = registry.helpers;
  if (helpers.count.load(std::memory_order_seq_cst) == 0) return;  // HL
  std::uint64_t id;
  {
    std::unique_lock lock(helpers.lock);
    if (helpers.ids.empty()) return;
    id = helpers.ids.back();
    helpers.ids.pop_back();
    // relaxed: the list is the truth, read under the lock (as in notify_one).
    helpers.count.fetch_sub(1, std::memory_order_relaxed);
  }
  // Lock order: entries after helpers is never taken; helpers' lock is
  // released first, as notify_one does with sleepers'.
  std::shared_lock lock(registry.entries_lock);
  if (auto it = registry.entries.find(id); it != registry.entries.end()) it->second.unparker.unpark();
}

}  // namespace corvalune::core
