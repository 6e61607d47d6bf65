#include "queues/injector.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <thread>
#include <tuple>
#include <vector>

namespace corvalune::core {
namespace {

using Item = std::uint64_t;

// Blocks hold 63 items; these sizes sit on and around block boundaries.
class InjectorBoundary : public ::testing::TestWithParam<std::size_t> {};

TEST_P(InjectorBoundary, DrainsInOrderWithExactCount) {
  const std::size_t n = GetParam();
  Injector<Item> q;
  // Twice, so the second round starts mid-block on a queue that was emptied.
  for (int round = 0; round < 2; ++round) {
    for (Item i = 0; i < n; ++i) q.push(i);
    ASSERT_EQ(q.len(), n);
    for (Item i = 0; i < n; ++i) {
      Steal<Item> r = q.steal();
      ASSERT_TRUE(r.is_success()) << "item " << i;
      ASSERT_EQ(r.value, i);
      ASSERT_EQ(q.len(), n - 1 - i);
    }
    EXPECT_TRUE(q.steal().is_empty());
    EXPECT_TRUE(q.is_empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, InjectorBoundary, ::testing::Values(1, 62, 63, 64, 125, 126, 127, 1000));

TEST(Injector, DestroyingWithItemsLeftFreesEveryBlock) {
  // Leaks or double frees here show up under the address sanitizer.
  for (std::size_t taken : {0, 1, 62, 63, 64, 200}) {
    Injector<Item> q;
    Deque<Item> dest;
    for (Item i = 0; i < 300; ++i) q.push(i);
    for (std::size_t i = 0; i < taken; ++i) ASSERT_TRUE(q.steal().is_success());
    ASSERT_TRUE(q.steal_batch_and_pop(dest).is_success());
  }
}

struct BatchCase {
  std::size_t taken_before;  // items stolen singly first (moves the head)
  std::size_t pushed;        // items pushed in total
  std::size_t expect;        // items the batch takes, returned one included
};

class InjectorBatch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(InjectorBatch, TakesHalfWithinABlockElseRestOfBlockCappedAt33) {
  const BatchCase c = GetParam();
  Injector<Item> q;
  for (Item i = 0; i < c.pushed; ++i) q.push(i);
  for (Item i = 0; i < c.taken_before; ++i) ASSERT_EQ(q.steal().value, i);

  Deque<Item> dest;
  const Item kAlreadyThere = 1'000'000;
  dest.push(kAlreadyThere);
  Steal<Item> r = q.steal_batch_and_pop(dest);
  ASSERT_TRUE(r.is_success());
  EXPECT_EQ(r.value, c.taken_before);
  ASSERT_EQ(dest.len(), c.expect);  // expect - 1 moved, plus the one already there
  EXPECT_EQ(dest.pop(), std::optional<Item>(kAlreadyThere));
  for (Item i = 1; i < c.expect; ++i) EXPECT_EQ(dest.pop(), std::optional<Item>(c.taken_before + i));

  const std::size_t left = c.pushed - c.taken_before - c.expect;
  ASSERT_EQ(q.len(), left);
  for (Item i = 0; i < left; ++i) ASSERT_EQ(q.steal().value, c.taken_before + c.expect + i);
  EXPECT_TRUE(q.steal().is_empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InjectorBatch,
    ::testing::Values(
        // All queued items in the head's block: ceil(queued / 2).
        BatchCase{0, 1, 1}, BatchCase{0, 2, 1}, BatchCase{0, 3, 2}, BatchCase{0, 10, 5},
        BatchCase{0, 62, 31}, BatchCase{0, 63, 32}, BatchCase{20, 60, 20}, BatchCase{40, 63, 12},
        BatchCase{63, 70, 4},
        // Queued items run into later blocks: rest of the head's block, at most 33.
        BatchCase{0, 64, 33}, BatchCase{0, 100, 33}, BatchCase{30, 93, 33}, BatchCase{40, 100, 23},
        BatchCase{62, 100, 1}, BatchCase{63, 200, 33}),
    [](const ::testing::TestParamInfo<BatchCase>& info) {
      return "skip" + std::to_string(info.param.taken_before) + "_of" + std::to_string(info.param.pushed);
    });

// (producers, consumers, items per producer)
class InjectorConcurrent : public ::testing::TestWithParam<std::tuple<int, int, std::size_t>> {};

// Consumers alternate single and batch takes. Every item must arrive exactly
// once, and each consumer must see any one producer's items in push order.
TEST_P(InjectorConcurrent, NothingLostNothingTakenTwiceFifoPerProducer) {
  const auto [producers, consumers, per_producer] = GetParam();
  const std::size_t total = per_producer * static_cast<std::size_t>(producers);
  Injector<Item> q;
  std::vector<std::atomic<int>> taken(total);
  std::atomic<std::size_t> consumed{0};
  std::atomic<bool> out_of_order{false};

  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p) {
    threads.emplace_back([&, p] {
      for (Item s = 0; s < per_producer; ++s) q.push((static_cast<Item>(p) << 32) | s);
    });
  }
  for (int c = 0; c < consumers; ++c) {
    threads.emplace_back([&, c] {
      Deque<Item> mine;
      std::vector<std::int64_t> last(static_cast<std::size_t>(producers), -1);
      auto take = [&](Item item) {
        const std::size_t p = static_cast<std::size_t>(item >> 32);
        const std::int64_t s = static_cast<std::int64_t>(item & 0xffffffffu);
        if (s <= last[p]) out_of_order.store(true, std::memory_order_relaxed);
        last[p] = s;
        taken[p * per_producer + static_cast<std::size_t>(s)].fetch_add(1, std::memory_order_relaxed);
        consumed.fetch_add(1, std::memory_order_relaxed);
      };
      unsigned turn = static_cast<unsigned>(c);
      while (consumed.load(std::memory_order_relaxed) < total) {
        Steal<Item> r = (++turn % 2) ? q.steal() : q.steal_batch_and_pop(mine);
        if (r.is_success()) {
          take(r.value);
          while (std::optional<Item> j = mine.pop()) take(*j);
        } else if (r.is_empty()) {
          std::this_thread::yield();
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_FALSE(out_of_order.load());
  EXPECT_TRUE(q.is_empty());
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < total; ++i) {
    if (taken[i].load(std::memory_order_relaxed) != 1) {
      if (++wrong <= 5) ADD_FAILURE() << "item " << i << " taken " << taken[i].load() << " times";
    }
  }
  EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(Threads, InjectorConcurrent,
                         ::testing::Values(std::make_tuple(4, 4, std::size_t{50'000}),
                                           std::make_tuple(1, 3, std::size_t{50'000}),
                                           std::make_tuple(3, 1, std::size_t{20'000})));

}  // namespace
}  // namespace corvalune::core
