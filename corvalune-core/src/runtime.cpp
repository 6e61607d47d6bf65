#include "runtime.hpp"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "panic.hpp"
#include "queues/local_queue.hpp"
#include "sizing.hpp"

namespace corvalune::core {
namespace {

// The runtime slot. The pointer is trivially destructible and the lock is
// leaked, so nothing here is touched by static destructors at exit.
std::atomic<Runtime*> g_published{nullptr};

// The size of the pool a forked child inherited from its parent, 0 if none.
// The child has none of the parent's threads: its first use of the pool
// starts a fresh pool of this size.
std::atomic<std::uint64_t> g_forked_size{0};

std::atomic<std::mutex*> g_init_lock{nullptr};

// Incremented in every forked child (relaxed: the child has one thread).
std::atomic<std::uint64_t> g_fork_generation{0};

std::mutex& init_lock() {
  static std::mutex* first = [] {
    auto* lock = new std::mutex();
    g_init_lock.store(lock, std::memory_order_release);
    return lock;
  }();
  (void)first;
  return *g_init_lock.load(std::memory_order_acquire);
}

// In the child of a fork only the forking thread exists. The parent's pool
// (its threads, queues and any lock one of them held) is abandoned, never
// freed: the child starts its own pool of the same size when it first
// needs one.
void after_fork_in_child() {
  if (Runtime* parent = g_published.load(std::memory_order_relaxed)) {
    g_forked_size.store(parent->thread_count(), std::memory_order_relaxed);
  }
  g_published.store(nullptr, std::memory_order_relaxed);
  g_init_lock.store(new std::mutex(), std::memory_order_relaxed);
  g_fork_generation.fetch_add(1, std::memory_order_relaxed);
  // A registered forking thread's queue belongs to the abandoned pool.
  take_local_queue();
  forget_current_context();
}

void install_fork_handler() {
  static const bool installed = [] {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
  }();
  (void)installed;
}

// The size a new start must use: the inherited size in a forked child,
// otherwise the requested one resolved.
std::uint64_t start_size(std::uint64_t requested) {
  if (std::uint64_t inherited = g_forked_size.load(std::memory_order_relaxed)) return inherited;
  return resolve_pool_size(requested);
}

// Publishes `runtime` unless one is published already. The caller holds the
// init lock.
void publish_locked(std::unique_ptr<Runtime> runtime) {
  // release: publishes the fully built runtime; pairs with the acquire
  // loads in started_runtime().
  g_published.store(runtime.release(), std::memory_order_release);
}

void sleep_1ms() {
  timespec req{0, 1'000'000};
  timespec rem{};
  // A sleep interrupted by a signal resumes for the remainder.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &req, &rem) == EINTR) req = rem;
}

}  // namespace

Runtime::Runtime(std::shared_ptr<Scheduler> scheduler, std::vector<std::thread> threads, std::thread watchdog,
                 std::uint64_t n)
    : scheduler_(std::move(scheduler)),
      threads_(std::move(threads)),
      watchdog_(std::move(watchdog)),
      thread_count_(n) {}

std::unique_ptr<Runtime> Runtime::start(std::uint64_t n, const ThreadSpawner& spawner, const WatchdogPolicy& policy) {
  auto scheduler = std::make_shared<Scheduler>();
  auto threads = start_worker_threads(scheduler, static_cast<std::size_t>(n), spawner);
  std::thread watchdog;
  try {
    watchdog = start_watchdog(scheduler, n, policy);
  } catch (...) {
    fail_start(*scheduler, threads, n);
  }
  return std::unique_ptr<Runtime>(new Runtime(std::move(scheduler), std::move(threads), std::move(watchdog), n));
}

Runtime::~Runtime() {
  scheduler_->running.store(false, std::memory_order_relaxed);
  wake_all(*scheduler_);
  std::vector<std::thread> threads;
  std::thread watchdog;
  {
    std::lock_guard lock(threads_mutex_);
    threads.swap(threads_);
    watchdog.swap(watchdog_);
  }
  for (auto& t : threads) t.join();
  // Joined first: it starts no extra worker once it has seen the stop.
  if (watchdog.joinable()) watchdog.join();
  wait_for_extra_workers(*scheduler_, std::chrono::seconds(30));
}

std::optional<std::uint64_t> pool_size() noexcept {
  if (Runtime* runtime = started_runtime()) return runtime->thread_count();
  if (std::uint64_t inherited = g_forked_size.load(std::memory_order_relaxed)) return inherited;
  return std::nullopt;
}

Runtime* started_runtime() noexcept {
  // acquire: pairs with the release store in publish_locked.
  return g_published.load(std::memory_order_acquire);
}

Runtime& global_runtime() {
  if (Runtime* runtime = started_runtime()) return *runtime;
  std::lock_guard lock(init_lock());
  if (Runtime* runtime = g_published.load(std::memory_order_relaxed)) return *runtime;
  // A failure propagates to the caller and leaves the slot empty.
  install_fork_handler();
  publish_locked(Runtime::start(start_size(0)));
  return *g_published.load(std::memory_order_relaxed);
}

StartOutcome try_start_runtime(std::uint64_t requested) {
  if (Runtime* runtime = started_runtime())
    return {StartOutcome::Kind::AlreadyRunning, nullptr, runtime->thread_count()};
  // A forked child's pool size was fixed by its parent.
  if (std::uint64_t inherited = g_forked_size.load(std::memory_order_relaxed))
    return {StartOutcome::Kind::AlreadyRunning, nullptr, inherited};

  install_fork_handler();
  std::unique_ptr<Runtime> own = Runtime::start(resolve_pool_size(requested));
  std::unique_lock lock(init_lock());
  if (g_published.load(std::memory_order_relaxed) == nullptr) {
    publish_locked(std::move(own));
    Runtime* runtime = g_published.load(std::memory_order_relaxed);
    if (runtime == nullptr) panic("just published");
    return {StartOutcome::Kind::Started, runtime, 0};
  }
  Runtime* winner = g_published.load(std::memory_order_relaxed);
  if (winner == nullptr) panic("the racing thread published a runtime");
  const std::uint64_t size = winner->thread_count();
  lock.unlock();
  own.reset();  // stops and joins the loser's threads
  return {StartOutcome::Kind::AlreadyRunning, nullptr, size};
}

bool pool_stopped() noexcept {
  Runtime* runtime = started_runtime();
  return runtime != nullptr && !runtime->scheduler()->is_running();
}

std::uint64_t fork_generation() noexcept { return g_fork_generation.load(std::memory_order_relaxed); }

std::uint64_t stop_and_wait(std::chrono::nanoseconds timeout) {
  Runtime* runtime = started_runtime();
  if (runtime == nullptr) return 0;
  Scheduler& scheduler = *runtime->scheduler();
  // seq_cst: pairs with the load after every injector push (see inject).
  scheduler.running.store(false, std::memory_order_seq_cst);
  wake_all(scheduler);
  // A pool thread stopping the pool from inside a job cannot leave while it
  // waits here: it is not waited for.
  const std::uint64_t self = is_pool_thread() ? local_queue_id() : 0;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (pool_threads_registered(scheduler, self) == 0) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    sleep_1ms();
  }
  return pool_threads_registered(scheduler, self);
}

}  // namespace corvalune::core
