// Load: pool threads, submitters and registering/deregistering threads all at
// once; every job runs exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "test_support.hpp"
#include "worker.hpp"

namespace corvalune::core {
namespace {

using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr int kJobs = 200'000;  // the sanitizers slow every atomic down
#else
constexpr int kJobs = 1'000'000;
#endif

TEST(Stress, EveryJobRunsExactlyOnceUnderChurn) {
  auto scheduler = std::make_shared<Scheduler>();
  auto pool = start_worker_threads(scheduler, 4);  // 4 pool threads

  std::vector<std::atomic<std::uint8_t>> ran(kJobs);
  std::atomic<int> next{0};     // next job index to hand out
  std::atomic<int> finished{0};

  // A job runs its own index and, for every fourth index, spawns the next
  // two indices from wherever it runs (a local push on pool threads and
  // registered threads).
  std::function<JobRef(int)> make = [&](int index) -> JobRef {
    return testing::make_job([&, index] {
      ran[index].fetch_add(1, std::memory_order_relaxed);
      finished.fetch_add(1, std::memory_order_relaxed);
      if (index % 4 == 0) {
        for (int k = 0; k < 2; ++k) {
          const int child = next.fetch_add(1, std::memory_order_relaxed);
          if (child < kJobs) submit(*scheduler, make(child));
        }
      }
    });
  };

  // 2 injector submitters (threads without a queue).
  std::vector<std::thread> others;
  for (int t = 0; t < 2; ++t) {
    others.emplace_back([&] {
      for (;;) {
        const int index = next.fetch_add(1, std::memory_order_relaxed);
        if (index >= kJobs) break;
        submit(*scheduler, make(index));
        if (index % 1024 == 0) std::this_thread::yield();
      }
    });
  }
  // 2 churners: register, submit locally, run a few jobs, deregister (the
  // jobs left in their queues move to the injector), again and again.
  for (int t = 0; t < 2; ++t) {
    others.emplace_back([&] {
      while (finished.load(std::memory_order_relaxed) < kJobs) {
        auto context = enter_pool(scheduler);
        for (int k = 0; k < 64; ++k) {
          const int index = next.fetch_add(1, std::memory_order_relaxed);
          if (index >= kJobs) break;
          submit(*scheduler, make(index));
        }
        for (int k = 0; k < 32; ++k) {
          JobRef job = find_job(*context);
          if (!job) break;
          std::move(job).run();
        }
        context.reset();
      }
    });
  }

  const auto deadline = std::chrono::steady_clock::now() + 300s;
  while (finished.load() < kJobs && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  for (auto& t : others) t.join();
  ASSERT_EQ(finished.load(), kJobs);
  for (int i = 0; i < kJobs; ++i) ASSERT_EQ(ran[i].load(), 1) << "job " << i;

  scheduler->running.store(false);
  wake_all(*scheduler);
  for (auto& t : pool) t.join();
  EXPECT_EQ(registered_count(*scheduler), 0u);
  EXPECT_TRUE(scheduler->injector.is_empty());
}

// Each round leaves the pool idle, so every submission races workers on their
// way to sleep. Sleeping has no timeout anywhere: a lost wake-up stalls a
// round for good, and the round's deadline turns that into a failure. Four
// kinds of submitter run at once: an outside thread (injector), a
// registered thread that pushes onto its own queue and waits without
// running anything (only a steal can run the job), a pool thread whose job
// pushes a child onto its own queue and then waits for it (a peer must be
// woken to steal it), and an outside thread that pushes two jobs back to
// back, the first waiting for the second (the searcher that takes the
// first must wake another).
TEST(Stress, NoWakeUpIsLostWhileWorkersFallAsleep) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  constexpr int kRounds = 2'000;
#else
  constexpr int kRounds = 20'000;
#endif
  auto scheduler = std::make_shared<Scheduler>();
  auto pool = start_worker_threads(scheduler, 3);
  std::atomic<bool> failed{false};

  // Waits until `flag` reaches `value`; false after 30 s or another failure.
  auto wait_for = [&](const std::atomic<int>& flag, int value) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (flag.load(std::memory_order_acquire) < value) {
      if (failed.load() || std::chrono::steady_clock::now() > deadline) {
        if (!failed.exchange(true)) std::fprintf(stderr, "stalled at %d: searching=%u sleepers=%lu injected=%zu\n", value, scheduler->searching.load(), (unsigned long)scheduler->registry->sleepers.count.load(), scheduler->injector.len());
        return false;
      }
      std::this_thread::yield();
    }
    return true;
  };
  auto bump = [](std::atomic<int>& flag) { return [&flag] { flag.fetch_add(1, std::memory_order_release); }; };

  std::vector<std::thread> submitters;
  submitters.emplace_back([&] {  // outside thread
    std::atomic<int> done{0};
    for (int r = 1; r <= kRounds && wait_for(done, r - 1); ++r) submit(*scheduler, testing::make_job(bump(done)));
    wait_for(done, kRounds);
  });
  submitters.emplace_back([&] {  // registered thread, local pushes
    auto context = enter_pool(scheduler);
    std::atomic<int> done{0};
    for (int r = 1; r <= kRounds && wait_for(done, r - 1); ++r) submit(*scheduler, testing::make_job(bump(done)));
    wait_for(done, kRounds);
  });
  submitters.emplace_back([&] {  // nested: a pool job waits for its child
    std::atomic<int> parents{0};
    std::atomic<int> children{0};
    for (int r = 1; r <= kRounds && wait_for(parents, r - 1); ++r) {
      submit(*scheduler, testing::make_job([&, r] {
        submit(*scheduler, testing::make_job(bump(children)));
        wait_for(children, r);
        parents.fetch_add(1, std::memory_order_release);
      }));
    }
    wait_for(parents, kRounds);
  });
  submitters.emplace_back([&] {  // two jobs back to back, the first waits for the second
    // The second push sees the sleeper woken for the first still searching
    // and wakes nobody: the searcher that takes the first job must wake
    // another for the second.
    std::atomic<int> firsts{0};
    std::atomic<int> seconds{0};
    for (int r = 1; r <= kRounds && wait_for(firsts, r - 1); ++r) {
      submit(*scheduler, testing::make_job([&, r] {
        wait_for(seconds, r);
        firsts.fetch_add(1, std::memory_order_release);
      }));
      submit(*scheduler, testing::make_job(bump(seconds)));
    }
    wait_for(firsts, kRounds);
  });
  for (auto& t : submitters) t.join();
  EXPECT_FALSE(failed.load()) << "a round waited 30 s: a wake-up was lost";

  scheduler->running.store(false);
  wake_all(*scheduler);
  for (auto& t : pool) t.join();
}

}  // namespace
}  // namespace corvalune::core
