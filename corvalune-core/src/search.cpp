#include "search.hpp"

#include <mutex>

#include "queues/local_queue.hpp"
#include "sync/cpu_relax.hpp"
#include "worker.hpp"

namespace corvalune::core {
namespace {

constexpr std::uint64_t kInjectorEvery = 64;

// Trivially destructible per-thread state (see local_queue.hpp).
thread_local std::uint64_t t_victim_state = 0;

// Takes from the injector: a batch into the local queue when the calling
// thread has one, a single job otherwise.
Steal<Job*> take_from_injector(Scheduler& scheduler) {
  if (LocalQueue* local = local_queue()) return scheduler.injector.steal_batch_and_pop(*local);
  return scheduler.injector.steal();
}

Steal<Job*> steal_from(const Stealer<Job*>& victim) {
  LocalQueue* local = local_queue();
  if (local == nullptr) return victim.steal();
  if (victim.same_queue(*local)) {
    // Our own queue under another id: a plain local take.
    if (auto raw = local->pop()) return Steal<Job*>::success(*raw);
    return Steal<Job*>::empty();
  }
  return victim.steal_batch_and_pop(*local);
}

// Asks `take` until it answers Empty or Success. A Retry means another
// thread made progress on the same queue (won a race, or is finishing a
// push), so this ends; the hint lets a preempted pusher's core breathe.
template <class Take>
JobRef take_until_settled(Take take) {
  for (;;) {
    auto s = take();
    if (s.is_success()) return JobRef::from_raw(s.value);
    if (!s.is_retry()) return {};
    cpu_relax();
  }
}

// The queues of the registered threads, as this thread last copied them.
const StealerList& current_stealers(WorkerContext& context) {
  // acquire: pairs with the release increment in rebuild_snapshot_locked.
  // The list is copied (its reference count touched) only when it changed,
  // so a search that finds nothing writes to no shared cache line.
  WorkerRegistry& registry = *context.scheduler->registry;
  const std::uint64_t version = registry.snapshot_version.load(std::memory_order_acquire);
  if (version != context.snapshot_version) {
    std::shared_lock lock(registry.snapshot_lock);
    context.snapshot = registry.snapshot;
    context.snapshot_version = version;
  }
  return *context.snapshot;
}

}  // namespace

bool work_visible(WorkerContext& context) {
  // The thread's own queue first: only it pushes there, and reading its
  // ends costs no other core a cache line (right after a batch was stolen
  // into it, it is usually not empty). Then seq_cst loads of the other
  // queues' ends (the deques' back, the injector's tail), as in the last
  // look before parking (idle.hpp, step C).
  if (LocalQueue* local = local_queue(); local != nullptr && !local->is_empty()) return true;
  Scheduler& scheduler = *context.scheduler;
  if (!scheduler.injector.is_empty() || !scheduler.overflow.is_empty()) return true;
  for (const auto& [id, stealer] : current_stealers(context))
    if (id != context.id && !stealer.is_empty()) return true;
  return false;
}

JobRef find_job(WorkerContext& context) {
  Scheduler& scheduler = *context.scheduler;
  // relaxed: a per-context counter; only its own thread's order matters.
  const std::uint64_t t = context.tick.fetch_add(1, std::memory_order_relaxed);
  if (t % kInjectorEvery == 0) {
    auto s = take_from_injector(scheduler);
    if (s.is_success()) return JobRef::from_raw(s.value);
  }
  if (JobRef job = pop_local()) return job;
  if (JobRef job = take_until_settled([&] { return take_from_injector(scheduler); })) return job;
  if (!scheduler.overflow.is_empty()) {
    if (JobRef job = scheduler.overflow.pop()) return job;
  }

  const StealerList& snapshot = current_stealers(context);
  const std::size_t n = snapshot.size();
  if (n <= 1) return {};
  const std::size_t start = static_cast<std::size_t>(next_victim_random(context.id) % n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto& [victim_id, stealer] = snapshot[(start + k) % n];
    if (victim_id == context.id) continue;
    if (JobRef job = take_until_settled([&] { return steal_from(stealer); })) {
      WorkerCounters::bump(context.counters.steals);
      return job;
    }
  }
  return {};
}

JobRef take_local_or_injected(Scheduler& scheduler) {
  if (JobRef job = pop_local()) return job;
  if (JobRef job = take_until_settled([&] { return take_from_injector(scheduler); })) return job;
  return scheduler.overflow.is_empty() ? JobRef() : scheduler.overflow.pop();
}

std::uint64_t next_victim_random(std::uint64_t id) noexcept {
  std::uint64_t s = t_victim_state;
  if (s == 0) {
    s = (id + 0x9E3779B97F4A7C15ULL) * 0xBF58476D1CE4E5B9ULL;
    if (s == 0) s = 0x853C49E65D6F8304ULL;
  }
  s += 0x9E3779B97F4A7C15ULL;
  t_victim_state = s;
  std::uint64_t z = s;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

}  // namespace corvalune::core
