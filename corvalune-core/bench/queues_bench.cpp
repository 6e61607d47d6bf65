// Micro-benchmarks for the local deque and the global injector.
//
// Single-threaded figures are the cost of the operations themselves, with
// every cache line already local: the floor the scheduler pays per job.
// The "Contended" variants add a second thread hammering the same queue,
// which on a 2-core machine shows the cost of cache-line transfers.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "queues/deque.hpp"
#include "queues/injector.hpp"

namespace corvalune::core {
namespace {

using Item = std::uint64_t;

// Owner push then pop of the same item (the worker's own fast path).
void BM_DequePushPop(benchmark::State& state) {
  Deque<Item> q;
  Item i = 0;
  for (auto _ : state) {
    q.push(i++);
    benchmark::DoNotOptimize(q.pop());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DequePushPop);

// Steal of one item, uncontended. The queue is refilled outside the timed
// region every kRefill steals (the pause/resume cost is amortised over them).
void BM_DequeStealOne(benchmark::State& state) {
  constexpr Item kRefill = 4096;
  Deque<Item> q;
  Stealer<Item> s = q.stealer();
  Item i = 0;
  for (auto _ : state) {
    if (q.is_empty()) {
      state.PauseTiming();
      for (Item k = 0; k < kRefill; ++k) q.push(i++);
      state.ResumeTiming();
    }
    benchmark::DoNotOptimize(s.steal());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DequeStealOne);

// One batch steal of a 64-item queue into the thief's deque, which is then
// drained: 32 items move per iteration (1 returned + 31 into dest).
void BM_DequeStealBatchAndPop(benchmark::State& state) {
  Deque<Item> victim;
  Deque<Item> mine;
  Stealer<Item> s = victim.stealer();
  Item i = 0;
  std::int64_t moved = 0;
  for (auto _ : state) {
    while (victim.len() < 64) victim.push(i++);
    Steal<Item> r = s.steal_batch_and_pop(mine);
    benchmark::DoNotOptimize(r);
    while (std::optional<Item> v = mine.pop()) benchmark::DoNotOptimize(v);
    moved += 32;
  }
  state.SetItemsProcessed(moved);
  state.SetLabel("per item: refill + batch steal + drain");
}
BENCHMARK(BM_DequeStealBatchAndPop);

// Owner push+pop while another thread keeps trying to steal.
void BM_DequePushPopContended(benchmark::State& state) {
  Deque<Item> q;
  Stealer<Item> s = q.stealer();
  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> stolen{0};
  std::thread thief([&] {
    std::int64_t n = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      if (s.steal().is_success()) ++n;
    }
    stolen.store(n);
  });
  Item i = 0;
  for (auto _ : state) {
    q.push(i++);
    benchmark::DoNotOptimize(q.pop());
  }
  stop.store(true);
  thief.join();
  state.SetItemsProcessed(state.iterations());
  state.counters["stolen"] = static_cast<double>(stolen.load());
}
BENCHMARK(BM_DequePushPopContended)->UseRealTime();

// Injector push then steal of one item.
void BM_InjectorPushSteal(benchmark::State& state) {
  Injector<Item> q;
  Item i = 0;
  for (auto _ : state) {
    q.push(i++);
    benchmark::DoNotOptimize(q.steal());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_InjectorPushSteal);

// Injector batch take: push 33 items, take them with one
// steal_batch_and_pop (33 at most per call; a batch that reaches the end of a
// block is cut there, so the loop keeps taking until the 33 are gone), then
// drain the local deque. Figures are per item moved.
void BM_InjectorStealBatchAndPop(benchmark::State& state) {
  Injector<Item> q;
  Deque<Item> mine;
  Item i = 0;
  std::int64_t moved = 0;
  for (auto _ : state) {
    for (int k = 0; k < 33; ++k) q.push(i++);
    for (;;) {
      Steal<Item> r = q.steal_batch_and_pop(mine);
      if (!r.is_success()) break;
      benchmark::DoNotOptimize(r);
      ++moved;
      while (std::optional<Item> v = mine.pop()) {
        benchmark::DoNotOptimize(v);
        ++moved;
      }
    }
  }
  state.SetItemsProcessed(moved);
  state.SetLabel("per item: push + batch take + local pop");
}
BENCHMARK(BM_InjectorStealBatchAndPop);

// Two threads each doing push+steal pairs on one injector.
Injector<Item>* g_shared_injector = nullptr;

void BM_InjectorPushStealContended(benchmark::State& state) {
  if (state.thread_index() == 0) g_shared_injector = new Injector<Item>();
  // The framework starts the timed loop of all threads together, after
  // thread 0's setup above.
  Item i = 0;
  for (auto _ : state) {
    g_shared_injector->push(i++);
    Steal<Item> r = g_shared_injector->steal();
    while (r.is_retry()) r = g_shared_injector->steal();
    benchmark::DoNotOptimize(r);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    delete g_shared_injector;
    g_shared_injector = nullptr;
  }
}
BENCHMARK(BM_InjectorPushStealContended)->Threads(2)->UseRealTime();

}  // namespace
}  // namespace corvalune::core
