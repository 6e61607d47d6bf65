#include "worker.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>

#include "panic.hpp"

namespace corvalune::core {
namespace {

constexpr int kSpinRounds = 32;
// A worker that has just run a job (or was just woken for one) is likely to
// get more soon: its spin rounds back off exponentially, up to this many
// hints per round (about 100 us in all), so that a steady trickle of
// submissions finds it awake instead of paying a futex wake each. A worker
// that comes back from a park timeout with nothing to do spins one hint per
// round: an idle pool stays cheap.
// Only one worker spins warm at a time: on a machine with few cores, several
// warm spinners would take the cores from the threads that submit work.
constexpr int kMaxHintsPerRound = 128;
constexpr auto kParkTimeout = std::chrono::milliseconds(5);
// After a job found by find_job, up to this many more come straight from the
// local queue without looking anywhere else.
constexpr int kLocalBurst = 16;
constexpr std::uint64_t kInjectorEvery = 64;

// Trivially destructible per-thread state (see waker.hpp).
thread_local std::uint64_t t_victim_state = 0;
thread_local char t_worker_name[32] = {0};

inline void spin_hint() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Takes from the injector: a batch into the local queue when the calling
// thread has one, a single job otherwise.
Steal<Job*> take_from_injector(Scheduler& scheduler) {
  if (LocalQueue* local = local_queue()) return scheduler.injector.steal_batch_and_pop(*local);
  return scheduler.injector.steal();
}

Steal<Job*> steal_from(Stealer<Job*>& victim) {
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

// After a push onto the injector: a warm spinner will find the job;
// otherwise wake the most recent sleeper.
void wake_for_injected(Scheduler& scheduler) {
  // seq_cst: ordered after the push (a seq_cst read-modify-write of the
  // injector's tail); pairs with the spinner's seq_cst decrement.
  if (scheduler.warm_spinners.load(std::memory_order_seq_cst) > 0) return;
  notify_one(*scheduler.registry);
}

}  // namespace

WorkerRegistry::WorkerRegistry() : snapshot(std::make_shared<const StealerList>()) {}

void WorkerRegistry::remove_sleeper(std::uint64_t id) {
  std::unique_lock lock(sleepers_lock);
  auto it = std::remove(sleepers.begin(), sleepers.end(), id);
  auto removed = static_cast<std::uint64_t>(sleepers.end() - it);
  if (removed == 0) return;
  sleepers.erase(it, sleepers.end());
  // relaxed: the count is a hint for notify_one's lock-free fast path; the
  // list itself is only read under the lock.
  sleeper_count.fetch_sub(removed, std::memory_order_relaxed);
}

void WorkerRegistry::add_sleeper(std::uint64_t id) {
  std::unique_lock lock(sleepers_lock);
  if (std::find(sleepers.begin(), sleepers.end(), id) != sleepers.end()) return;
  sleepers.push_back(id);
  // seq_cst: orders the publication of this sleeper before the worker's last
  // look at the injector; pairs with the seq_cst load in notify_one, which a
  // submitter performs after pushing to the injector. Either the submitter
  // sees the sleeper, or the worker sees the job.
  sleeper_count.fetch_add(1, std::memory_order_seq_cst);
}

Scheduler::Scheduler() : registry(std::make_shared<WorkerRegistry>()) {}

void Registration::release() noexcept {
  if (!scheduler_) return;
  auto scheduler = std::move(scheduler_);
  scheduler_ = nullptr;
  leave_pool(scheduler, std::exchange(id_, 0));
}

std::unique_ptr<WorkerContext> enter_pool(std::shared_ptr<Scheduler> scheduler, WorkerKind kind) {
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
    registry.entries.insert_or_assign(id, WorkerEntry{parker.unparker(), queue->stealer(), kind, is_pool_thread()});
    rebuild_snapshot_locked(registry);
  }
  return std::make_unique<WorkerContext>(std::move(scheduler), std::move(parker), id, kind);
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
  notify_one(registry);
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

  std::shared_ptr<const StealerList> snapshot;
  {
    std::shared_lock lock(scheduler.registry->snapshot_lock);
    snapshot = scheduler.registry->snapshot;
  }
  const std::size_t n = snapshot->size();
  if (n <= 1) return {};
  const std::size_t start = static_cast<std::size_t>(next_victim_random(context.id) % n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto& [victim_id, stealer_ref] = (*snapshot)[(start + k) % n];
    if (victim_id == context.id) continue;
    Stealer<Job*> stealer = stealer_ref;
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

void worker_loop(WorkerContext& context) {
  Scheduler& scheduler = *context.scheduler;
  WorkerRegistry& registry = *scheduler.registry;
  LeaveHook leave;  // also on unwinding
  bool hot = true;    // ran a job, or was woken, since the last park timeout
  while (scheduler.is_running()) {
    if (JobRef job = find_job(context)) {
      hot = true;
      run_job(std::move(job));
      for (int i = 0; i < kLocalBurst; ++i) {
        JobRef next = pop_local();
        if (!next) break;
        run_job(std::move(next));
      }
      continue;
    }

    going_idle();
    JobRef found;
    // seq_cst, like the decrements below: submitters read the count to skip
    // their wake-up (see the idle protocol in worker.hpp).
    const bool warm = hot && scheduler.warm_spinners.fetch_add(1, std::memory_order_seq_cst) == 0;
    if (hot && !warm) scheduler.warm_spinners.fetch_sub(1, std::memory_order_seq_cst);
    for (int round = 0; round < kSpinRounds && !found; ++round) {
      const int hints = warm ? std::min(1 << std::min(round, 7), kMaxHintsPerRound) : 1;
      for (int h = 0; h < hints; ++h) spin_hint();
      found = pop_local();
      if (!found) {
        auto s = take_from_injector(scheduler);
        if (s.is_success()) found = JobRef::from_raw(s.value);
      }
    }
    // seq_cst: leaves the count before this worker's sleep-phase look at the
    // injector (add_sleeper, then take); pairs with the load in submit.
    if (warm) scheduler.warm_spinners.fetch_sub(1, std::memory_order_seq_cst);
    if (found) {
      hot = true;
      run_job(std::move(found));
      continue;
    }

    registry.add_sleeper(context.id);
    auto s = take_from_injector(scheduler);
    if (s.is_success()) {
      registry.remove_sleeper(context.id);
      hot = true;
      run_job(JobRef::from_raw(s.value));
      continue;
    }
    // Woken by an unpark (a token): work was submitted for it. Timed out:
    // nothing came.
    hot = context.parker.park_timeout(kParkTimeout);
    registry.remove_sleeper(context.id);
  }
}

void submit(Scheduler& scheduler, JobRef job) {
  if (push_local(job)) return;
  scheduler.injector.push(job.into_raw());
  wake_for_injected(scheduler);
}

void inject(Scheduler& scheduler, JobRef job) {
  scheduler.injector.push(job.into_raw());
  wake_for_injected(scheduler);
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

void notify_one(WorkerRegistry& registry) {
  // seq_cst: pairs with the seq_cst increment in add_sleeper (see the idle
  // protocol at the top of worker.hpp). With no sleeper, no lock is taken.
  if (registry.sleeper_count.load(std::memory_order_seq_cst) == 0) return;
  for (;;) {
    std::uint64_t id;
    {
      std::unique_lock lock(registry.sleepers_lock);
      if (registry.sleepers.empty()) return;
      id = registry.sleepers.back();
      registry.sleepers.pop_back();
      registry.sleeper_count.fetch_sub(1, std::memory_order_relaxed);
    }
    std::shared_lock lock(registry.entries_lock);
    auto it = registry.entries.find(id);
    if (it != registry.entries.end()) {
      it->second.unparker.unpark();
      return;
    }
    // That worker has left; wake the next sleeper instead.
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
  pthread_setname_np(pthread_self(), os_name);
  try {
    auto context = enter_pool(std::move(scheduler), WorkerKind::Native);
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

[[noreturn]] void panic(const std::string& message) { throw Panic(message); }

}  // namespace corvalune::core
