#include "worker.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>

#include "lineage.hpp"
#include "panic.hpp"
#include "queues/local_queue.hpp"
#include "sync/cpu_relax.hpp"
#include "thread_locals.hpp"

namespace corvalune::core {
namespace {

// After a job found by a search, up to this many more come straight from the
// local queue without looking anywhere else.
constexpr int kLocalBurst = 16;

// Trivially destructible per-thread state (see local_queue.hpp).
thread_local char t_worker_name[32] = {0};
thread_local std::uint64_t t_worker_index = 0;
thread_local bool t_extra_worker = false;

// Runs a job, counting it in `counters` (the running thread's own), in a
// lineage frame of its own (lineage.hpp).
inline void run_counted(WorkerCounters& counters, JobRef job) {
  WorkerCounters::bump(counters.jobs_run);
  LineageFrame frame;
  std::move(job).run();
}

// Called by a pool thread whenever it runs out of work and when it leaves
// its loop. The binding layer installs one that lets go of an interpreter
// attachment kept across consecutive jobs. Written once at module load.
std::atomic<IdleHook> g_idle_hook{nullptr};
// Called by an extra worker retiring for want of work. Written once at
// module load; acquire/release as g_idle_hook.
std::atomic<IdleHook> g_retire_hook{nullptr};

// Called by a pool thread when it ends. Written once at module load.
std::atomic<ExitHook> g_exit_hook{nullptr};

inline void going_idle() {
  // acquire: pairs with the release store in set_worker_idle_hook.
  if (IdleHook hook = g_idle_hook.load(std::memory_order_acquire)) hook();
}

struct LeaveHook {
  ~LeaveHook() { going_idle(); }
};

// Runs a job found by a search, then up to kLocalBurst more from the local
// queue, while the pool runs: what is queued once it has stopped is
// discarded when the thread leaves, never run.
void run_burst(Scheduler& scheduler, WorkerCounters& counters, JobRef job) {
  run_counted(counters, std::move(job));
  for (int i = 0; i < kLocalBurst && scheduler.is_running(); ++i) {
    JobRef next = pop_local();
    if (!next) break;
    run_counted(counters, std::move(next));
  }
}

}  // namespace

Scheduler::Scheduler() : registry(std::make_shared<WorkerRegistry>()) {}

void set_worker_idle_hook(IdleHook hook) noexcept { g_idle_hook.store(hook, std::memory_order_release); }

void set_worker_retire_hook(IdleHook hook) noexcept { g_retire_hook.store(hook, std::memory_order_release); }

void set_worker_exit_hook(ExitHook hook) noexcept { g_exit_hook.store(hook, std::memory_order_release); }

bool is_pool_thread() noexcept { return t_worker_name[0] != '\0'; }

bool is_extra_worker() noexcept { return t_extra_worker; }

std::uint64_t current_worker_index() noexcept { return t_worker_index; }

bool worker_loop(WorkerContext& context, std::chrono::nanoseconds idle_limit) {
  Scheduler& scheduler = *context.scheduler;
  LeaveHook leave;  // also on unwinding
  IdleState idle(idle_limit);
  while (scheduler.is_running()) {
    JobRef job = find_job(context);
    if (!job) {
      going_idle();
      job = idle.search(context);
    }
    if (!job) job = idle.sleep(context);
    else idle.found_work(context);
    if (job) run_burst(scheduler, context.counters, std::move(job));
    else if (idle.retiring()) break;
  }
  idle.leave(context);
  return idle.retiring();
}

void run_job(JobRef job) {
  if (WorkerContext* context = current_context()) {
    run_counted(context->counters, std::move(job));
  } else {
    std::move(job).run();
  }
}

void OverflowQueue::push(JobRef job) noexcept {
  Job* raw = job.into_raw();  // the queue's reference
  std::lock_guard guard(lock_);
  raw->overflow_next_ = nullptr;
  if (tail_ != nullptr) {
    tail_->overflow_next_ = raw;
  } else {
    head_ = raw;
  }
  tail_ = raw;
  // seq_cst: see is_empty().
  count_.fetch_add(1, std::memory_order_seq_cst);
}

JobRef OverflowQueue::pop() noexcept {
  std::lock_guard guard(lock_);
  Job* raw = head_;
  if (raw == nullptr) return {};
  head_ = std::exchange(raw->overflow_next_, nullptr);
  if (head_ == nullptr) tail_ = nullptr;
  count_.fetch_sub(1, std::memory_order_relaxed);
  return JobRef::from_raw(raw);
}

namespace {

// The injector's push, leaving `job` in place when it fails (std::bad_alloc:
// no memory for its next block).
void push_injector(Scheduler& scheduler, JobRef& job) {
  scheduler.injector.push(job.get());
  (void)job.into_raw();  // the queue slot's reference now
}

}  // namespace

void submit(Scheduler& scheduler, JobRef job) noexcept {
  try {
    if (!push_local(job)) {
      inject(scheduler, std::move(job));  // never throws
      return;
    }
  } catch (const std::bad_alloc&) {
    scheduler.overflow.push(std::move(job));
  }
  wake_for_work(scheduler);
}

void inject(Scheduler& scheduler, JobRef job) noexcept {
  try {
    push_injector(scheduler, job);
  } catch (const std::bad_alloc&) {
    scheduler.overflow.push(std::move(job));
  }
  // seq_cst: pairs with the seq_cst clear of `running` in stop_and_wait,
  // after which its caller discards the queued jobs. The push (a seq_cst
  // tail CAS, or the overflow queue's lock) and this load, against that
  // clear and the drain's seq_cst tail load (or its taking the lock):
  // either the drain finds this job, or this load sees the pool stopped and
  // the job is discarded here. Never left queued for nobody.
  if (!scheduler.running.load(std::memory_order_seq_cst)) {
    discard_queued(scheduler);
    return;
  }
  wake_for_work(scheduler);
}

void discard_queued(Scheduler& scheduler) {
  for (;;) {
    Steal<Job*> s = scheduler.injector.steal();
    if (s.is_success()) {
      JobRef::from_raw(s.value).discard();
    } else if (s.is_retry()) {
      cpu_relax();  // another taker won the race: the queue is not empty yet
    } else {
      break;
    }
  }
  while (JobRef job = scheduler.overflow.pop()) std::move(job).discard();
}

std::string current_worker_name() { return std::string(t_worker_name); }

namespace {

// Runs a pool thread; true when it retired for want of work.
bool pool_thread_main(std::shared_ptr<Scheduler> scheduler, std::size_t index,
                      std::chrono::nanoseconds idle_limit = std::chrono::nanoseconds::zero()) {
  std::snprintf(t_worker_name, sizeof t_worker_name, "corvalune-worker-%zu", index);
  t_worker_index = index;
  t_extra_worker = idle_limit > std::chrono::nanoseconds::zero();
  // Linux limits the OS name to 15 bytes plus the terminator.
  char os_name[16];
  std::memcpy(os_name, t_worker_name, sizeof os_name - 1);
  os_name[sizeof os_name - 1] = '\0';
#if defined(__APPLE__)
  pthread_setname_np(os_name);  // names the calling thread only
#else
  pthread_setname_np(pthread_self(), os_name);
#endif
  bool retiring = false;
  try {
    auto context = enter_pool(std::move(scheduler));
    retiring = worker_loop(*context, idle_limit);
    // Releasing the context runs leave_pool; on unwinding too.
  } catch (...) {
    // A job failure that unwound out of the loop ends this thread only. The
    // registration has already left the pool; the payload is discarded and
    // no replacement thread is started.
  }
  // A retiring extra worker calls the retire hook instead (its caller).
  // acquire: pairs with the release store in set_worker_exit_hook.
  if (!retiring) {
    if (ExitHook hook = g_exit_hook.load(std::memory_order_acquire)) hook();
  }
  return retiring;
}

std::thread spawn_std_thread(std::size_t, std::function<void()> body) {
  return std::thread(std::move(body));
}

}  // namespace

void start_extra_worker(const std::shared_ptr<Scheduler>& scheduler, std::size_t index,
                        std::chrono::nanoseconds idle_limit, std::function<void()> on_exit) {
  std::thread([scheduler, index, idle_limit, on_exit = std::move(on_exit)] {
    // Started late, perhaps after memory ran out: ends at once rather than
    // let glibc end the process (thread_locals.hpp).
    if (!reserve_thread_locals()) {
      on_exit();
      return;
    }
    if (pool_thread_main(scheduler, index, idle_limit)) {
      // acquire: pairs with the release store in set_worker_retire_hook.
      if (IdleHook hook = g_retire_hook.load(std::memory_order_acquire)) hook();
    }
    on_exit();
  }).detach();
}

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
    } catch (...) {
      fail_start(*scheduler, threads, n);
    }
  }
  return threads;
}

void fail_start(Scheduler& scheduler, std::vector<std::thread>& threads, std::uint64_t pool_size) {
  // Stop what this start had created (also when memory ran out); nothing is
  // published.
  scheduler.running.store(false, std::memory_order_relaxed);
  wake_all(scheduler);
  for (auto& t : threads) t.join();
  try {
    throw;
  } catch (const std::system_error& e) {
    throw PoolStartError(pool_size, "failed to spawn worker thread: " + e.code().message() + " (os error " +
                                        std::to_string(e.code().value()) + ")");
  }
}

}  // namespace corvalune::core
