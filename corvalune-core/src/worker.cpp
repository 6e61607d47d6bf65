#include "worker.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>

#include "cpu_relax.hpp"
#include "panic.hpp"

namespace corvalune::core {
namespace {

// A searcher that has just worked is likely to get more soon: it looks
// again for up to this many rounds, backing off exponentially up to
// kMaxHintsPerRound spin-wait hints per round (about 100 us in all), so that
// a steady trickle of submissions finds it searching (and pays no wake-up)
// instead of parking and being woken for each. One that was woken with
// nothing to do for it looks once and parks again.
constexpr int kSpinRounds = 32;
constexpr int kMaxHintsPerRound = 128;
// After a job found by find_job, up to this many more come straight from the
// local queue without looking anywhere else.
constexpr int kLocalBurst = 16;
constexpr std::uint64_t kInjectorEvery = 64;

// Trivially destructible per-thread state (see local_queue.hpp).
thread_local std::uint64_t t_victim_state = 0;
thread_local char t_worker_name[32] = {0};

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

void rebuild_snapshot_locked(WorkerRegistry& registry) {
  auto list = std::make_shared<StealerList>();
  list->reserve(registry.entries.size());
  for (const auto& [id, entry] : registry.entries) list->emplace_back(id, entry.stealer);
  std::shared_ptr<const StealerList> published = std::move(list);
  std::unique_lock lock(registry.snapshot_lock);
  registry.snapshot.swap(published);
  // release: a searcher that reads the new version (acquire) then copies the
  // list under the lock; it never keeps a list older than the version read.
  registry.snapshot_version.fetch_add(1, std::memory_order_release);
  // The old list is released after the lock, by `published`'s destructor.
  lock.unlock();
}

// Sends every job of a queue that is being torn down to the injector.
void drain_to_injector(Scheduler& scheduler, LocalSlot slot) {
  if (slot.queue == nullptr) return;
  // The slot is already empty, so submit cannot push back onto this queue.
  while (auto raw = slot.queue->pop()) submit(scheduler, JobRef::from_raw(*raw));
  delete slot.queue;
}

inline void run_job(JobRef job) { std::move(job).run(); }

// Moves the calling pool thread into the searching set unless enough
// threads search already (at most half of the pool, at least one).
bool begin_search(Scheduler& scheduler) {
  const std::uint32_t bound = std::max<std::uint32_t>(1, scheduler.pool_threads.load(std::memory_order_relaxed) / 2);
  std::uint32_t n = scheduler.searching.load(std::memory_order_relaxed);
  while (n < bound) {
    // seq_cst: a searcher must be seen by the submitters' L1 (see the
    // protocol in worker.hpp) from the moment it counts itself.
    if (scheduler.searching.compare_exchange_weak(n, n + 1, std::memory_order_seq_cst, std::memory_order_relaxed))
      return true;
  }
  return false;
}

// A searcher found work: it stops searching, and the last one wakes another
// sleeper, since work it did not take may be waiting with nobody looking.
void end_search_with_work(Scheduler& scheduler) {
  // seq_cst: like B in the protocol; pairs with the submitters' L1.
  if (scheduler.searching.fetch_sub(1, std::memory_order_seq_cst) == 1) notify_one(scheduler);
}

// Looks at the injector and every peer's queue once, for a worker about to
// park (C in the protocol): the loads of the queues' ends are seq_cst.
JobRef last_look(WorkerContext& context) { return find_job(context); }

}  // namespace

WorkerRegistry::WorkerRegistry() : snapshot(std::make_shared<const StealerList>()) {}

bool WorkerRegistry::remove_sleeper(std::uint64_t id) {
  std::unique_lock lock(sleepers_lock);
  auto it = std::remove(sleepers.begin(), sleepers.end(), id);
  auto removed = static_cast<std::uint64_t>(sleepers.end() - it);
  if (removed == 0) return false;
  sleepers.erase(it, sleepers.end());
  // relaxed: the count is a hint for notify_one's lock-free fast path; the
  // list itself is only read under the lock.
  sleeper_count.fetch_sub(removed, std::memory_order_relaxed);
  return true;
}

void WorkerRegistry::add_sleeper(std::uint64_t id) {
  std::unique_lock lock(sleepers_lock);
  if (std::find(sleepers.begin(), sleepers.end(), id) != sleepers.end()) return;
  sleepers.push_back(id);
  // seq_cst: A in the protocol (worker.hpp); pairs with the submitters' L2.
  sleeper_count.fetch_add(1, std::memory_order_seq_cst);
}

bool WorkerRegistry::is_sleeping(std::uint64_t id) {
  std::unique_lock lock(sleepers_lock);
  return std::find(sleepers.begin(), sleepers.end(), id) != sleepers.end();
}

Scheduler::Scheduler() : registry(std::make_shared<WorkerRegistry>()) {}

void Registration::release() noexcept {
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

  {
    std::unique_lock lock(registry.entries_lock);
    registry.entries.insert_or_assign(id, WorkerEntry{parker.unparker(), queue->stealer(), is_pool_thread()});
    rebuild_snapshot_locked(registry);
  }
  return std::make_unique<WorkerContext>(std::move(scheduler), std::move(parker), id);
}

void leave_pool(const std::shared_ptr<Scheduler>& scheduler, std::uint64_t id) {
  WorkerRegistry& registry = *scheduler->registry;
  {
    std::unique_lock lock(registry.entries_lock);
    registry.entries.erase(id);
    rebuild_snapshot_locked(registry);
    registry.remove_sleeper(id);
  }
  drain_to_injector(*scheduler, take_local_queue_if(id));
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
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto s = take_from_injector(scheduler);
    if (s.is_success()) return JobRef::from_raw(s.value);
    if (!s.is_retry()) break;
  }

  // acquire: pairs with the release increment in rebuild_snapshot_locked.
  // The list is copied (its reference count touched) only when it changed,
  // so a search that finds nothing writes to no shared cache line.
  WorkerRegistry& registry = *scheduler.registry;
  const std::uint64_t version = registry.snapshot_version.load(std::memory_order_acquire);
  if (version != context.snapshot_version) {
    std::shared_lock lock(registry.snapshot_lock);
    context.snapshot = registry.snapshot;
    context.snapshot_version = version;
  }
  const StealerList& snapshot = *context.snapshot;
  const std::size_t n = snapshot.size();
  if (n <= 1) return {};
  const std::size_t start = static_cast<std::size_t>(next_victim_random(context.id) % n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto& [victim_id, stealer] = snapshot[(start + k) % n];
    if (victim_id == context.id) continue;
    for (int attempt = 0; attempt < 2; ++attempt) {
      auto s = steal_from(stealer);
      if (s.is_success()) return JobRef::from_raw(s.value);
      if (!s.is_retry()) break;
    }
  }
  return {};
}

namespace {
// Called by a pool thread whenever it runs out of work and when it leaves
// its loop. The binding layer installs one that lets go of an interpreter
// attachment kept across consecutive jobs. Written once at module load.
std::atomic<IdleHook> g_idle_hook{nullptr};

inline void going_idle() {
  // acquire: pairs with the release store in set_worker_idle_hook.
  if (IdleHook hook = g_idle_hook.load(std::memory_order_acquire)) hook();
}

struct LeaveHook {
  ~LeaveHook() { going_idle(); }
};
}  // namespace

void set_worker_idle_hook(IdleHook hook) noexcept { g_idle_hook.store(hook, std::memory_order_release); }

bool is_pool_thread() noexcept { return t_worker_name[0] != '\0'; }

namespace {

// Runs a job found by a search, then up to kLocalBurst more from the local
// queue.
void run_burst(JobRef job) {
  run_job(std::move(job));
  for (int i = 0; i < kLocalBurst; ++i) {
    JobRef next = pop_local();
    if (!next) break;
    run_job(std::move(next));
  }
}

// Searches for up to kSpinRounds rounds, backing off between them.
JobRef spin_search(WorkerContext& context) {
  for (int round = 0; round < kSpinRounds; ++round) {
    const int hints = std::min(1 << std::min(round, 7), kMaxHintsPerRound);
    for (int h = 0; h < hints; ++h) cpu_relax();
    if (JobRef job = find_job(context)) return job;
  }
  return {};
}

}  // namespace

void worker_loop(WorkerContext& context) {
  Scheduler& scheduler = *context.scheduler;
  WorkerRegistry& registry = *scheduler.registry;
  LeaveHook leave;  // also on unwinding
  bool searching = false;  // counted in scheduler.searching
  bool hot = true;         // ran a job since it last parked
  while (scheduler.is_running()) {
    JobRef job = find_job(context);
    if (!job) {
      going_idle();
      if (!searching) searching = begin_search(scheduler);
      if (searching && hot) job = spin_search(context);
    }
    if (job) {
      if (searching) {
        searching = false;
        end_search_with_work(scheduler);
      }
      hot = true;
      run_burst(std::move(job));
      continue;
    }

    // Going to sleep: A, B, C of the protocol in worker.hpp.
    registry.add_sleeper(context.id);
    if (searching) {
      searching = false;
      scheduler.searching.fetch_sub(1, std::memory_order_seq_cst);
    }
    if (JobRef found = last_look(context)) {
      // Still listed: nobody counted this thread as searching. Popped: a
      // waker counted it as searching, and its token is stale once this
      // job runs (the next park notices and parks again).
      if (registry.remove_sleeper(context.id)) {
        // It takes a job no searcher may know about: as a searcher would,
        // make sure someone looks for more.
        wake_for_work(scheduler);
      } else {
        end_search_with_work(scheduler);
      }
      hot = true;
      run_burst(std::move(found));
      continue;
    }
    // Parks until popped by a waker (then it counts as searching) or until
    // the pool stops. A return while still listed is a stale token.
    for (;;) {
      context.parker.park();
      if (!registry.is_sleeping(context.id)) {
        searching = true;  // popped by a waker, which counted it
        break;
      }
      if (!scheduler.is_running()) {
        // Not removed by us: a waker popped it after the check above.
        searching = !registry.remove_sleeper(context.id);
        break;
      }
    }
    hot = false;
  }
  if (searching) scheduler.searching.fetch_sub(1, std::memory_order_seq_cst);
  registry.remove_sleeper(context.id);
}

void submit(Scheduler& scheduler, JobRef job) {
  if (!push_local(job)) scheduler.injector.push(job.into_raw());
  wake_for_work(scheduler);
}

void inject(Scheduler& scheduler, JobRef job) {
  scheduler.injector.push(job.into_raw());
  wake_for_work(scheduler);
}

void wake_for_work(Scheduler& scheduler) {
  // L1, L2 of the protocol in worker.hpp; the push before them was seq_cst.
  if (scheduler.searching.load(std::memory_order_seq_cst) != 0) return;
  if (scheduler.registry->sleeper_count.load(std::memory_order_seq_cst) == 0) return;
  notify_one(scheduler);
}

JobRef take_local_or_injected(Scheduler& scheduler) {
  if (JobRef job = pop_local()) return job;
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto s = take_from_injector(scheduler);
    if (s.is_success()) return JobRef::from_raw(s.value);
    if (!s.is_retry()) break;
  }
  return {};
}

bool notify_one(Scheduler& scheduler) {
  WorkerRegistry& registry = *scheduler.registry;
  if (registry.sleeper_count.load(std::memory_order_seq_cst) == 0) return false;
  for (;;) {
    std::uint64_t id;
    {
      std::unique_lock lock(registry.sleepers_lock);
      if (registry.sleepers.empty()) return false;
      id = registry.sleepers.back();
      registry.sleepers.pop_back();
      // relaxed: the list is the truth, read under the lock; the count is
      // the lock-free hint of L2.
      registry.sleeper_count.fetch_sub(1, std::memory_order_relaxed);
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
  WorkerRegistry& registry = *scheduler.registry;
  std::shared_lock lock(registry.entries_lock);
  for (const auto& [id, entry] : registry.entries) entry.unparker.unpark();
}

std::uint64_t registered_count(Scheduler& scheduler) {
  WorkerRegistry& registry = *scheduler.registry;
  std::shared_lock lock(registry.entries_lock);
  return registry.entries.size();
}

std::uint64_t pool_threads_registered(Scheduler& scheduler, std::uint64_t except) {
  WorkerRegistry& registry = *scheduler.registry;
  std::shared_lock lock(registry.entries_lock);
  std::uint64_t count = 0;
  for (const auto& [id, entry] : registry.entries) count += entry.pool_thread && id != except;
  return count;
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

std::string current_worker_name() { return std::string(t_worker_name); }

namespace {

void pool_thread_main(std::shared_ptr<Scheduler> scheduler, std::size_t index) {
  std::snprintf(t_worker_name, sizeof t_worker_name, "corvalune-worker-%zu", index);
  // Linux limits the OS name to 15 bytes plus the terminator.
  char os_name[16];
  std::memcpy(os_name, t_worker_name, sizeof os_name - 1);
  os_name[sizeof os_name - 1] = '\0';
#if defined(__APPLE__)
  pthread_setname_np(os_name);  // names the calling thread only
#else
  pthread_setname_np(pthread_self(), os_name);
#endif
  try {
    auto context = enter_pool(std::move(scheduler));
    worker_loop(*context);
    // Releasing the context runs leave_pool; on unwinding too.
  } catch (...) {
    // A job failure that unwound out of the loop ends this thread only. The
    // registration has already left the pool; the payload is discarded and
    // no replacement thread is started.
  }
}

std::thread spawn_std_thread(std::size_t, std::function<void()> body) {
  return std::thread(std::move(body));
}

}  // namespace

std::vector<std::thread> start_worker_threads(const std::shared_ptr<Scheduler>& scheduler,
                                              std::size_t n, const ThreadSpawner& spawner) {
  // relaxed: read only to bound the searchers; the threads see it through
  // their creation.
  scheduler->pool_threads.fetch_add(static_cast<std::uint32_t>(n), std::memory_order_relaxed);
  std::vector<std::thread> threads;
  threads.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    try {
      std::function<void()> body = [scheduler, i] { pool_thread_main(scheduler, i); };
      threads.push_back(spawner ? spawner(i, std::move(body)) : spawn_std_thread(i, std::move(body)));
    } catch (const std::system_error& e) {
      // Stop what this start had created; nothing is published.
      scheduler->running.store(false, std::memory_order_relaxed);
      wake_all(*scheduler);
      for (auto& t : threads) t.join();
      panic("failed to spawn worker thread: " + e.code().message() + " (os error " +
            std::to_string(e.code().value()) + ")");
    }
  }
  return threads;
}

}  // namespace corvalune::core
