#include "runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "test_support.hpp"

namespace corvalune::core {
namespace {

using namespace std::chrono_literals;

// The published runtime is process-wide: this file is the only one that
// publishes, and its tests run in order.
TEST(Runtime, PublishesOnceThenStopsWithinTheWait) {
  EXPECT_EQ(started_runtime(), nullptr);
  EXPECT_EQ(stop_and_wait(500ms), 0u);  // nothing started: returns at once

  const StartOutcome first = try_start_runtime(3);
  ASSERT_EQ(first.kind, StartOutcome::Kind::Started);
  EXPECT_EQ(first.runtime->thread_count(), 3u);
  EXPECT_EQ(&global_runtime(), first.runtime);

  const StartOutcome again = try_start_runtime(3);
  EXPECT_EQ(again.kind, StartOutcome::Kind::AlreadyRunning);
  EXPECT_EQ(again.running_size, 3u);

  std::atomic<int> ran{0};
  for (int i = 0; i < 1000; ++i) submit(*global_runtime().scheduler(), testing::make_job([&] { ++ran; }));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (ran.load() < 1000 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(ran.load(), 1000);

  EXPECT_EQ(stop_and_wait(10s), 0u);
  EXPECT_EQ(started_runtime(), first.runtime);  // stays published
  EXPECT_EQ(try_start_runtime(0).running_size, 3u);
}

TEST(Runtime, ALosingStartJoinsItsOwnThreads) {
  // Built outside the slot the way a racing configure would, then dropped.
  auto own = Runtime::start(2);
  auto scheduler = own->scheduler();
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (registered_count(*scheduler) < 2 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  own.reset();  // joins
  EXPECT_EQ(registered_count(*scheduler), 0u);
}

}  // namespace
}  // namespace corvalune::core
