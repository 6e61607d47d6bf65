#include "help_wait.hpp"
#include "queues/local_queue.hpp"
#include "worker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_support.hpp"

namespace corvalune::core {
namespace {

using testing::make_job;
using namespace std::chrono_literals;

// Registers a context on a thread of its own and gives up that thread's queue
// slot, so the context can be driven (and released) from the test thread.
std::unique_ptr<WorkerContext> register_elsewhere(const std::shared_ptr<Scheduler>& scheduler) {
  std::unique_ptr<WorkerContext> context;
  std::thread([&] {
    context = enter_pool(scheduler);
    delete take_local_queue().queue;
  }).join();
  return context;
}

void drain_injector(Scheduler& scheduler) {
  for (auto s = scheduler.injector.steal(); s.is_success(); s = scheduler.injector.steal())
    JobRef::from_raw(s.value).run();
}

std::vector<std::uint64_t> sleepers_of(WorkerRegistry& registry) {
  std::unique_lock lock(registry.sleepers.lock);
  return registry.sleepers.ids;
}

TEST(Scheduler, FirstAndEvery64thSearchLooksAtTheInjectorFirst) {
  auto scheduler = std::make_shared<Scheduler>();
  auto context = enter_pool(scheduler);
  std::vector<std::string> ran;
  auto tagged = [&](std::string tag) { return make_job([&ran, tag] { ran.push_back(tag); }); };

  // A thread with a local queue submits locally.
  submit(*scheduler, tagged("local-1"));
  ASSERT_EQ(local_queue()->len(), 1u);
  scheduler->injector.push(tagged("injected-1").into_raw());
  find_job(*context).run();  // search 0: injector first
  find_job(*context).run();  // search 1: own queue
  ASSERT_EQ(ran, (std::vector<std::string>{"injected-1", "local-1"}));

  // Searches 2..63 prefer the local queue over the injector.
  ran.clear();
  for (int i = 2; i < 64; ++i) {
    submit(*scheduler, tagged("local"));
    find_job(*context).run();
  }
  EXPECT_EQ(ran, std::vector<std::string>(62, "local"));
  ran.clear();
  scheduler->injector.push(tagged("injected-2").into_raw());
  submit(*scheduler, tagged("local-2"));
  find_job(*context).run();  // search 64
  EXPECT_EQ(ran, std::vector<std::string>{"injected-2"});
  find_job(*context).run();
  EXPECT_FALSE(find_job(*context));
  context.reset();
  EXPECT_FALSE(has_local_queue());
}

TEST(Scheduler, SubmitFromAThreadWithoutQueueInjectsAndWakesTheLatestSleeper) {
  auto scheduler = std::make_shared<Scheduler>();
  std::vector<std::unique_ptr<WorkerContext>> contexts;
  for (int i = 0; i < 3; ++i) contexts.push_back(register_elsewhere(scheduler));
  WorkerRegistry& registry = *scheduler->registry;
  for (auto& c : contexts) registry.sleepers.add(c->id);
  registry.sleepers.add(contexts[0]->id);  // no id twice
  EXPECT_EQ(registry.sleepers.count.load(), 3u);

  std::atomic<int> ran{0};
  ASSERT_FALSE(has_local_queue());
  submit(*scheduler, make_job([&] { ++ran; }));
  EXPECT_EQ(scheduler->injector.len(), 1u);
  EXPECT_EQ(sleepers_of(registry), (std::vector<std::uint64_t>{contexts[0]->id, contexts[1]->id}));
  EXPECT_EQ(registry.sleepers.count.load(), 2u);
  // The most recent sleeper holds a token; the others do not.
  EXPECT_TRUE(contexts[2]->parker.park_timeout(30s));
  EXPECT_FALSE(contexts[0]->parker.park_timeout(0s));
  EXPECT_FALSE(contexts[1]->parker.park_timeout(0s));

  // A sleeper that has left is skipped in favour of the next one.
  const std::uint64_t gone = contexts[1]->id;
  registry.sleepers.add(contexts[2]->id);
  contexts.erase(contexts.begin() + 1);  // leaves; leave_pool also drops it from sleepers
  registry.sleepers.add(gone);            // a stale id that has no entry any more
  registry.sleepers.add(contexts[1]->id);
  notify_one(*scheduler);
  notify_one(*scheduler);
  EXPECT_EQ(sleepers_of(registry), std::vector<std::uint64_t>{});
  EXPECT_TRUE(contexts[0]->parker.park_timeout(30s));
  EXPECT_TRUE(contexts[1]->parker.park_timeout(30s));

  find_job(*contexts[0]).run();
  EXPECT_EQ(ran.load(), 1);
}

TEST(Scheduler, StealTakesABatchAndLeaveDrainsTheRest) {
  auto scheduler = std::make_shared<Scheduler>();
  std::atomic<int> ran{0};
  std::unique_ptr<WorkerContext> victim;
  std::thread owner([&] {
    victim = enter_pool(scheduler);
    for (int i = 0; i < 20; ++i) submit(*scheduler, make_job([&] { ++ran; }));
    // Hand the queue over: jobs stay reachable through the registry's stealer.
    delete take_local_queue().queue;
  });
  owner.join();

  auto thief = enter_pool(scheduler);
  find_job(*thief).run();  // search 0 looks at the empty injector, then steals
  EXPECT_EQ(ran.load(), 1);
  EXPECT_EQ(local_queue()->len(), 9u);  // min((20 - 1) / 2, 31)
  while (JobRef job = find_job(*thief)) std::move(job).run();
  EXPECT_EQ(ran.load(), 20);

  // A leaving worker's own queued jobs go to the injector.
  for (int i = 0; i < 5; ++i) submit(*scheduler, make_job([&] { ++ran; }));
  thief.reset();
  EXPECT_EQ(scheduler->injector.len(), 5u);
  EXPECT_EQ(registered_count(*scheduler), 1u);
  drain_injector(*scheduler);
  EXPECT_EQ(ran.load(), 25);
}

TEST(Scheduler, RegisteringAgainMovesTheOldQueueToTheInjector) {
  auto scheduler = std::make_shared<Scheduler>();
  auto first = enter_pool(scheduler);
  std::atomic<int> ran{0};
  for (int i = 0; i < 3; ++i) submit(*scheduler, make_job([&] { ++ran; }));
  auto second = enter_pool(scheduler);
  EXPECT_NE(first->id, second->id);
  EXPECT_EQ(scheduler->injector.len(), 3u);
  EXPECT_EQ(local_queue_id(), second->id);
  EXPECT_EQ(registered_count(*scheduler), 2u);
  first.reset();  // the slot holds another id's queue: left alone
  EXPECT_EQ(local_queue_id(), second->id);
  second.reset();
  EXPECT_FALSE(has_local_queue());
  drain_injector(*scheduler);
  EXPECT_EQ(ran.load(), 3);
}

// Once the pool has stopped, nobody runs queued work: a leaving thread's
// queue, and whatever reaches the injector, is discarded at once.
TEST(Scheduler, AfterTheStopQueuedJobsAreDiscardedNotRun) {
  auto scheduler = std::make_shared<Scheduler>();
  auto context = enter_pool(scheduler);
  std::atomic<int> ran{0}, discarded{0};
  auto job = [&] { return make_job([&] { ++ran; }, [&] { ++discarded; }); };
  for (int i = 0; i < 3; ++i) submit(*scheduler, job());
  scheduler->injector.push(job().into_raw());  // queued before the stop
  scheduler->running.store(false);
  context.reset();  // leaves: its 3 local jobs
  EXPECT_EQ(discarded.load(), 3);
  inject(*scheduler, job());  // queued after the stop: this one and the older one
  EXPECT_EQ(discarded.load(), 5);
  EXPECT_TRUE(scheduler->injector.is_empty());
  EXPECT_EQ(ran.load(), 0);
}

// Many workers, jobs that spawn jobs (local pushes, steals, injector pushes
// from outside): every job runs exactly once.
TEST(Scheduler, EveryJobRunsExactlyOnceUnderLoad) {
  auto scheduler = std::make_shared<Scheduler>();
  auto threads = start_worker_threads(scheduler, 4);
  constexpr int kRoots = 2000;
  constexpr int kChildren = 24;
  constexpr int kTotal = kRoots * (1 + kChildren);
  std::vector<std::atomic<std::uint8_t>> seen(kTotal);
  std::atomic<int> done{0};
  for (int r = 0; r < kRoots; ++r) {
    submit(*scheduler, make_job([&, r] {
      seen[r * (1 + kChildren)].fetch_add(1);
      ++done;
      for (int c = 1; c <= kChildren; ++c) {
        submit(*scheduler, make_job([&, r, c] {
          seen[r * (1 + kChildren) + c].fetch_add(1);
          ++done;
        }));
      }
    }));
  }
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (done.load() < kTotal && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(done.load(), kTotal);
  for (int i = 0; i < kTotal; ++i) ASSERT_EQ(seen[i].load(), 1) << "job " << i;

  scheduler->running.store(false);
  wake_all(*scheduler);
  for (auto& t : threads) t.join();
  EXPECT_EQ(registered_count(*scheduler), 0u);
}

TEST(Scheduler, AWaitingHelperIsWokenForEveryInjectedJobNobodyElseCanTake) {
  // No pool threads: nobody searches or sleeps, so every injected job must
  // reach the helper, which sleeps (no timeout) between jobs. A lost
  // wake-up leaves a job queued and the count short at the deadline.
  auto scheduler = std::make_shared<Scheduler>();
  constexpr int kJobs = 20000;
  std::atomic<int> ran{0};
  std::atomic<bool> done{false};
  std::atomic<bool> listed{false};
  Unparker helper_unparker = Parker().unparker();  // replaced once registered
  std::thread helper([&] {
    auto context = enter_pool(scheduler);
    helper_unparker = current_helper_unparker();
    listed.store(true);
    while (!done.load()) {
      if (JobRef job = wait_as_helper(*scheduler, 0ns, [&] { return done.load(); })) std::move(job).run();
    }
  });
  while (!listed.load()) std::this_thread::yield();
  std::vector<std::thread> submitters;
  for (int t = 0; t < 2; ++t)
    submitters.emplace_back([&] {
      for (int i = 0; i < kJobs / 2; ++i) {
        submit(*scheduler, make_job([&] { ++ran; }));
        if (i % 64 == 0) std::this_thread::yield();  // let the helper fall asleep now and then
      }
    });
  for (auto& t : submitters) t.join();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (ran.load() < kJobs && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(ran.load(), kJobs);
  done.store(true);
  helper_unparker.unpark();
  helper.join();
}

TEST(Scheduler, ParkedWorkersLeaveOnceRunningIsCleared) {
  auto scheduler = std::make_shared<Scheduler>();
  auto threads = start_worker_threads(scheduler, 3);
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (registered_count(*scheduler) < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(registered_count(*scheduler), 3u);
  // With no work, every pool thread ends up parked: clear `running` only then.
  while (scheduler->registry->sleepers.count.load() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  ASSERT_EQ(scheduler->registry->sleepers.count.load(), 3u);
  scheduler->running.store(false);
  wake_all(*scheduler);
  while (registered_count(*scheduler) > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(registered_count(*scheduler), 0u);
  for (auto& t : threads) t.join();
  EXPECT_EQ(scheduler->registry->sleepers.count.load(), 0u);
}

TEST(Scheduler, WorkerThreadsAreNamedByIndex) {
  auto scheduler = std::make_shared<Scheduler>();
  std::vector<std::string> names(3);
  std::atomic<int> done{0};
  auto threads = start_worker_threads(scheduler, 3);
  for (int i = 0; i < 3; ++i) {
    // Three jobs, each blocked until all three run, so each lands on a different worker.
    submit(*scheduler, make_job([&, i] {
      names[i] = current_worker_name();
      ++done;
      while (done.load() < 3) std::this_thread::yield();
    }));
  }
  while (done.load() < 3) std::this_thread::sleep_for(1ms);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"corvalune-worker-0", "corvalune-worker-1", "corvalune-worker-2"}));
  scheduler->running.store(false);
  wake_all(*scheduler);
  for (auto& t : threads) t.join();
}

TEST(Scheduler, FailedThreadCreationStopsAndJoinsTheThreadsAlreadyStarted) {
  auto scheduler = std::make_shared<Scheduler>();
  std::atomic<int> ended{0};
  ThreadSpawner failing = [&](std::size_t index, std::function<void()> body) -> std::thread {
    if (index == 2) throw std::system_error(EAGAIN, std::generic_category());
    return std::thread([&ended, body = std::move(body)] {
      body();
      ++ended;
    });
  };
  try {
    start_worker_threads(scheduler, 4, failing);
    FAIL() << "expected a panic";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()).rfind("failed to spawn worker thread: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(ended.load(), 2);
  EXPECT_EQ(registered_count(*scheduler), 0u);
}

}  // namespace
}  // namespace corvalune::core
