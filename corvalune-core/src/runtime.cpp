#include "runtime.hpp"

#include <time.h>

#include <atomic>
#include <cerrno>

#include "panic.hpp"
#include "sizing.hpp"

namespace corvalune::core {
namespace {

// The runtime slot. The pointer is trivially destructible and the lock is
// leaked, so nothing here is touched by static destructors at exit.
std::atomic<Runtime*> g_published{nullptr};

std::mutex& init_lock() {
  static std::mutex* lock = new std::mutex();
  return *lock;
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

Runtime::Runtime(std::shared_ptr<Scheduler> scheduler, std::vector<std::thread> threads,
                 std::uint64_t n)
    : scheduler_(std::move(scheduler)), worker_threads_(std::move(threads)), worker_count_(n) {}

std::unique_ptr<Runtime> Runtime::start(std::uint64_t n, const ThreadSpawner& spawner) {
  auto scheduler = std::make_shared<Scheduler>();
  auto threads = start_worker_threads(scheduler, static_cast<std::size_t>(n), spawner);
  return std::unique_ptr<Runtime>(new Runtime(std::move(scheduler), std::move(threads), n));
}

Runtime::~Runtime() {
  scheduler_->running.store(false, std::memory_order_relaxed);
  wake_all(*scheduler_);
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(threads_mutex_);
    threads.swap(worker_threads_);
  }
  for (auto& t : threads) t.join();
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
  publish_locked(Runtime::start(resolve_worker_count(0)));
  return *g_published.load(std::memory_order_relaxed);
}

StartOutcome try_start_runtime(std::uint64_t requested) {
  if (Runtime* runtime = started_runtime())
    return {StartOutcome::Kind::AlreadyRunning, nullptr, runtime->worker_count()};

  std::unique_ptr<Runtime> own = Runtime::start(resolve_worker_count(requested));
  std::unique_lock lock(init_lock());
  if (g_published.load(std::memory_order_relaxed) == nullptr) {
    publish_locked(std::move(own));
    Runtime* runtime = g_published.load(std::memory_order_relaxed);
    if (runtime == nullptr) panic("just published");
    return {StartOutcome::Kind::Started, runtime, 0};
  }
  Runtime* winner = g_published.load(std::memory_order_relaxed);
  if (winner == nullptr) panic("the racing thread published a runtime");
  const std::uint64_t size = winner->worker_count();
  lock.unlock();
  own.reset();  // stops and joins the loser's threads
  return {StartOutcome::Kind::AlreadyRunning, nullptr, size};
}

std::uint64_t stop_and_wait(std::chrono::nanoseconds timeout) {
  Runtime* runtime = started_runtime();
  if (runtime == nullptr) return 0;
  Scheduler& scheduler = *runtime->scheduler();
  scheduler.running.store(false, std::memory_order_relaxed);
  wake_all(scheduler);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (registered_count(scheduler) == 0) break;
    if (std::chrono::steady_clock::now() >= deadline) break;
    sleep_1ms();
  }
  return registered_count(scheduler);
}

}  // namespace corvalune::core
