// Scheduler benchmarks: fork-join speed-up and the latency of a wake-up.
//
// ForkJoinTree: every inner job pushes its two children onto its own queue
// (a pool thread's local push); the 2^16 leaves each do about 10 us of
// arithmetic. Run with 1 and 2 pool threads, the ratio of the times is the
// speed-up that stealing gives to nested parallelism.
//
// WakeUp: the pool is left idle long enough for its threads to park, then
// one job is submitted; the time from the submission to the job starting is
// one sample. "global" submits from a thread without a queue (the injector),
// "local" from a registered thread onto its own queue, which only a steal by
// a woken pool thread can run. The median and the 90th percentile of the
// samples are reported as counters (microseconds).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "worker.hpp"

namespace corvalune::core {
namespace {

using Clock = std::chrono::steady_clock;

class FnJob final : public Job {
 public:
  template <class F>
  explicit FnJob(F fn) : fn_(std::move(fn)) {}
  void run(JobRef) override { fn_(); }

 private:
  std::function<void()> fn_;
};

template <class F>
JobRef make_job(F fn) {
  return JobRef::adopt(new FnJob(std::move(fn)));
}

// A started pool that is stopped and joined at the end of the benchmark.
struct Pool {
  explicit Pool(std::size_t n) : scheduler(std::make_shared<Scheduler>()) {
    threads = start_worker_threads(scheduler, n);
  }
  ~Pool() {
    scheduler->running.store(false);
    wake_all(*scheduler);
    for (auto& t : threads) t.join();
  }
  std::shared_ptr<Scheduler> scheduler;
  std::vector<std::thread> threads;
};

// Dependent arithmetic that the compiler cannot fold away.
std::uint64_t spin_work(std::uint64_t iterations, std::uint64_t x) {
  for (std::uint64_t i = 0; i < iterations; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
  }
  return x;
}

// Iterations of spin_work that take about 10 us here, measured once.
std::uint64_t leaf_iterations() {
  static const std::uint64_t n = [] {
    constexpr std::uint64_t kProbe = 1'000'000;
    std::uint64_t best = UINT64_MAX;
    for (int k = 0; k < 5; ++k) {
      const auto t0 = Clock::now();
      benchmark::DoNotOptimize(spin_work(kProbe, 88172645463325252ULL + k));
      best = std::min<std::uint64_t>(best, (Clock::now() - t0).count());
    }
    return std::max<std::uint64_t>(1, kProbe * 10'000 / best);  // ns per 10 us
  }();
  return n;
}

constexpr int kTreeDepth = 16;

struct Tree {
  Scheduler* scheduler;
  std::uint64_t iterations;
  std::atomic<int> leaves_left{1 << kTreeDepth};
  std::atomic<std::uint64_t> sink{0};

  void spawn(int depth) {
    submit(*scheduler, make_job([this, depth] {
      if (depth == kTreeDepth) {
        sink.fetch_add(spin_work(iterations, 88172645463325252ULL + depth), std::memory_order_relaxed);
        // release: the waiter's acquire load sees every leaf's work done.
        leaves_left.fetch_sub(1, std::memory_order_release);
        return;
      }
      spawn(depth + 1);
      spawn(depth + 1);
    }));
  }
};

void BM_ForkJoinTree(benchmark::State& state) {
  Pool pool(static_cast<std::size_t>(state.range(0)));
  const std::uint64_t iterations = leaf_iterations();
  for (auto _ : state) {
    Tree tree{pool.scheduler.get(), iterations};
    tree.spawn(0);
    while (tree.leaves_left.load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  state.counters["leaves"] = 1 << kTreeDepth;
}
BENCHMARK(BM_ForkJoinTree)->ArgName("workers")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void wake_up(benchmark::State& state, bool local) {
  Pool pool(2);
  std::unique_ptr<WorkerContext> registered;
  if (local) registered = enter_pool(pool.scheduler);
  std::vector<double> samples;
  for (auto _ : state) {
    state.PauseTiming();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // every pool thread parks
    // Shared with the job, which may still be notifying when the wait ends.
    auto started = std::make_shared<std::atomic<std::int64_t>>(0);
    state.ResumeTiming();
    const auto t0 = Clock::now();
    submit(*pool.scheduler, make_job([started] {
      // release: pairs with the acquire load below.
      started->store(Clock::now().time_since_epoch().count(), std::memory_order_release);
      started->notify_one();
    }));
    // Sleeps rather than spins, so the waiter does not take the CPU that the
    // woken pool thread needs.
    started->wait(0, std::memory_order_acquire);
    const std::int64_t t1 = started->load(std::memory_order_acquire);
    samples.push_back(static_cast<double>(t1 - t0.time_since_epoch().count()) / 1000.0);
  }
  registered.reset();
  std::sort(samples.begin(), samples.end());
  state.counters["median_us"] = samples[samples.size() / 2];
  state.counters["p90_us"] = samples[samples.size() * 9 / 10];
}

void BM_WakeUpGlobal(benchmark::State& state) { wake_up(state, false); }
void BM_WakeUpLocal(benchmark::State& state) { wake_up(state, true); }
BENCHMARK(BM_WakeUpGlobal)->Iterations(200)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WakeUpLocal)->Iterations(200)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace corvalune::core
