// Load: pool threads, submitters and registering/deregistering threads all at
// once; every job runs exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
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
        auto context = enter_pool(scheduler, WorkerKind::Bilingual);
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

}  // namespace
}  // namespace corvalune::core
