#include "registry.hpp"

#include <mutex>

#include "queues/local_queue.hpp"
#include "worker.hpp"

namespace corvalune::core {
namespace {

// Trivially destructible per-thread state (see local_queue.hpp).
thread_local WorkerContext* t_context = nullptr;

// Throws std::bad_alloc before any change when memory runs out.
void rebuild_snapshot_locked(WorkerRegistry& registry) {
  auto list = std::make_shared<StealerList>();
  list->reserve(registry.entries.size());
  for (const auto& [id, entry] : registry.entries) list->emplace_back(id, entry.stealer);
  std::shared_ptr<const StealerList> published = std::move(list);
  std::unique_lock lock(registry.snapshot_lock);
  registry.snapshot.swap(published);
  // release: a searcher that reads the new version (acquire, in find_job)
  // then copies the list under the lock; it never keeps a list older than
  // the version read.
  registry.snapshot_version.fetch_add(1, std::memory_order_release);
  // The old list is dropped after the lock, by `published`'s destructor.
  lock.unlock();
}

// Sends every job of a queue that is being torn down to the injector, or,
// once the pool has stopped and nobody would take them there, discards
// them (a stale read of the flag is caught by inject).
void drain_to_injector(Scheduler& scheduler, LocalSlot slot) {
  if (slot.queue == nullptr) return;
  // The slot is already empty, so submit cannot push back onto this queue.
  while (auto raw = slot.queue->pop()) {
    JobRef job = JobRef::from_raw(*raw);
    if (scheduler.is_running()) {
      submit(scheduler, std::move(job));
    } else {
      std::move(job).discard();
    }
  }
  delete slot.queue;
}

}  // namespace

WorkerRegistry::WorkerRegistry() : snapshot(std::make_shared<const StealerList>()) {}

void Registration::leave() noexcept {
  if (!scheduler_) return;
  auto scheduler = std::move(scheduler_);
  scheduler_ = nullptr;
  leave_pool(scheduler, std::exchange(id_, 0));
}

std::unique_ptr<WorkerContext> enter_pool(std::shared_ptr<Scheduler> scheduler) {
  WorkerRegistry& registry = *scheduler->registry;
  // relaxed: ids only need to be unique.
  const std::uint64_t id = registry.next_id.fetch_add(1, std::memory_order_relaxed);
  Parker parker;
  auto* queue = new LocalQueue();

  // A thread registering again: its old queue's jobs go to the injector.
  drain_to_injector(*scheduler, take_local_queue());
  install_local_queue(id, queue, &scheduler->injector);

  try {
    auto context = std::make_unique<WorkerContext>(scheduler, std::move(parker), id);
    const WorkerKind kind =
        !is_pool_thread() ? WorkerKind::Registered : is_extra_worker() ? WorkerKind::Extra : WorkerKind::Pool;
    {
      std::unique_lock lock(registry.entries_lock);
      registry.entries.insert_or_assign(id, WorkerEntry{context->parker.unparker(), queue->stealer(),
                                                        &context->counters, kind, current_worker_index(),
                                                        ThreadStateProbe::of_current_thread()});
      registry.sleepers.reserve(registry.entries.size());  // lock order: entries, then sleepers
      registry.helpers.reserve(registry.entries.size());   // and entries, then helpers
      rebuild_snapshot_locked(registry);
    }
    t_context = context.get();
    return context;
  } catch (const std::bad_alloc&) {
    // No memory for the registration: undone, as if never made (a context
    // already made has left on its way out of the block).
    leave_pool(scheduler, id);
    throw;
  }
}

void leave_pool(const std::shared_ptr<Scheduler>& scheduler, std::uint64_t id) {
  WorkerRegistry& registry = *scheduler->registry;
  if (t_context != nullptr && t_context->id == id) t_context = nullptr;
  {
    std::unique_lock lock(registry.entries_lock);
    if (auto it = registry.entries.find(id); it != registry.entries.end()) {
      const WorkerCounters& counters = *it->second.counters;
      registry.departed_jobs_run += counters.jobs_run.load(std::memory_order_relaxed);
      registry.departed_steals += counters.steals.load(std::memory_order_relaxed);
      registry.departed_parks += counters.parks.load(std::memory_order_relaxed);
    }
    registry.entries.erase(id);
    try {
      rebuild_snapshot_locked(registry);
    } catch (const std::bad_alloc&) {
      // The previous list stays, naming the queue that leaves: a search
      // finds it drained (the stealer keeps it alive), and the next change
      // of the registry leaves it out.
    }
    registry.sleepers.remove(id);
    registry.helpers.remove(id);
  }
  drain_to_injector(*scheduler, take_local_queue_if(id));
}

WorkerContext* current_context() noexcept { return t_context; }

void forget_current_context() noexcept { t_context = nullptr; }

std::uint64_t registered_count(Scheduler& scheduler) {
  WorkerRegistry& registry = *scheduler.registry;
  std::shared_lock lock(registry.entries_lock);
  return registry.entries.size();
}

std::uint64_t pool_threads_registered(Scheduler& scheduler, std::uint64_t except) {
  WorkerRegistry& registry = *scheduler.registry;
  std::shared_lock lock(registry.entries_lock);
  std::uint64_t count = 0;
  for (const auto& [id, entry] : registry.entries) count += entry.kind != WorkerKind::Registered && id != except;
  return count;
}

}  // namespace corvalune::core
