#include "queues/deque.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace corvalune::core {
namespace {

using Item = std::uint64_t;

TEST(Deque, OwnerPopIsOldestFirstAcrossGrowAndShrink) {
  Deque<Item> q;
  std::mt19937 rng(7);
  Item pushed = 0;
  Item popped = 0;
  // Bursts large enough to grow the ring several times and small enough
  // drains to shrink it again, with the live range wrapping the ring.
  for (int round = 0; round < 200; ++round) {
    const int burst = std::uniform_int_distribution<int>(1, 3000)(rng);
    for (int i = 0; i < burst; ++i) q.push(pushed++);
    const Item keep = std::uniform_int_distribution<Item>(0, 40)(rng);
    while (pushed - popped > keep) {
      std::optional<Item> v = q.pop();
      ASSERT_TRUE(v.has_value());
      ASSERT_EQ(*v, popped++);
    }
    ASSERT_EQ(q.len(), pushed - popped);
  }
  while (std::optional<Item> v = q.pop()) ASSERT_EQ(*v, popped++);
  EXPECT_EQ(popped, pushed);
  EXPECT_TRUE(q.is_empty());
  EXPECT_EQ(q.capacity(), 64u);
}

TEST(Deque, GrowsWhenFullAndHalvesAtAQuarterButNeverBelow64) {
  Deque<Item> q;
  EXPECT_EQ(q.capacity(), 64u);
  for (Item i = 0; i < 64; ++i) q.push(i);
  EXPECT_EQ(q.capacity(), 64u);
  q.push(64);
  EXPECT_EQ(q.capacity(), 128u);
  for (Item i = 65; i < 1000; ++i) q.push(i);
  EXPECT_EQ(q.capacity(), 1024u);

  // Remaining length after a pop -> expected ring size.
  const std::map<std::size_t, std::size_t> checkpoints = {
      {257, 1024}, {256, 512}, {129, 512}, {128, 256}, {65, 256},
      {64, 128},   {33, 128},  {32, 64},   {16, 64},   {0, 64}};
  for (Item expect = 0; expect < 1000; ++expect) {
    std::optional<Item> v = q.pop();
    ASSERT_TRUE(v.has_value());
    ASSERT_EQ(*v, expect);
    auto it = checkpoints.find(q.len());
    if (it != checkpoints.end()) {
      EXPECT_EQ(q.capacity(), it->second) << "len " << q.len();
    }
  }
  // Growing again after shrinking keeps the contents intact.
  for (Item i = 0; i < 300; ++i) q.push(i);
  EXPECT_EQ(q.capacity(), 512u);
  for (Item i = 0; i < 300; ++i) ASSERT_EQ(q.pop(), std::optional<Item>(i));
}

TEST(Deque, StealFromEmptyQueueLeavesDestinationAlone) {
  Deque<Item> victim;
  Deque<Item> dest;
  dest.push(5);
  Stealer<Item> s = victim.stealer();
  EXPECT_TRUE(s.steal().is_empty());
  EXPECT_TRUE(s.steal_batch_and_pop(dest).is_empty());
  EXPECT_EQ(dest.len(), 1u);
  EXPECT_TRUE(s.same_queue(victim));
  EXPECT_FALSE(s.same_queue(dest));
}

// (queue length, whether the live range starts mid-ring so it wraps)
class DequeBatch : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

TEST_P(DequeBatch, MovesHalfMinusOneCappedAt31InOrderAndReturnsTheFirst) {
  const auto [len, wrapped] = GetParam();
  Deque<Item> victim;
  Item base = 0;
  if (wrapped) {
    for (Item i = 0; i < 40; ++i) victim.push(i);
    for (Item i = 0; i < 40; ++i) victim.pop();
    base = 40;
  }
  for (Item i = 0; i < len; ++i) victim.push(base + i);

  Deque<Item> dest;
  const Item kAlreadyThere = 1'000'000;
  dest.push(kAlreadyThere);
  Steal<Item> r = victim.stealer().steal_batch_and_pop(dest);
  ASSERT_TRUE(r.is_success());
  EXPECT_EQ(r.value, base);

  const std::size_t moved = std::min<std::size_t>((len - 1) / 2, 31);
  ASSERT_EQ(dest.len(), 1 + moved);
  EXPECT_EQ(dest.pop(), std::optional<Item>(kAlreadyThere));
  for (Item i = 1; i <= moved; ++i) EXPECT_EQ(dest.pop(), std::optional<Item>(base + i));

  ASSERT_EQ(victim.len(), len - 1 - moved);
  if (victim.len() > 0) {
    EXPECT_EQ(victim.pop(), std::optional<Item>(base + 1 + moved));
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, DequeBatch,
                         ::testing::Combine(::testing::Values(1, 2, 3, 10, 63, 64, 100),
                                            ::testing::Bool()));

TEST(Deque, StealersKeepTheQueueAliveAfterTheOwnerIsGone) {
  std::optional<Stealer<Item>> s;
  {
    Deque<Item> q;
    for (Item i = 0; i < 500; ++i) q.push(i);  // grows to 512 slots
    s = q.stealer();
    Deque<Item> moved(std::move(q));
    EXPECT_TRUE(s->same_queue(moved));
    for (Item i = 0; i < 450; ++i) ASSERT_EQ(moved.pop(), std::optional<Item>(i));  // shrinks
  }
  for (Item i = 450; i < 500; ++i) {
    Steal<Item> r = s->steal();
    ASSERT_TRUE(r.is_success());
    ASSERT_EQ(r.value, i);
  }
  EXPECT_TRUE(s->steal().is_empty());
}

enum class ThiefMode { Single, Batch, Mixed };

// (how thieves take, largest owner burst)
class DequeConcurrent : public ::testing::TestWithParam<std::tuple<ThiefMode, std::size_t>> {};

// The owner pushes bursts and pops some back while thieves steal. Large
// bursts keep the ring growing and shrinking under the thieves (ring
// reclamation); bursts of one keep the queue at 0-1 items, so the owner's pop
// and the thieves fight over the last item all the time. Every item must be
// taken exactly once, and each taker must receive items in queue order.
TEST_P(DequeConcurrent, EveryItemIsTakenExactlyOnce) {
  constexpr std::size_t kItems = 200'000;
  constexpr int kThieves = 3;
  const auto [mode, max_burst] = GetParam();

  std::vector<std::atomic<int>> taken(kItems);
  std::atomic<int>* const base = taken.data();
  using Job = std::atomic<int>*;
  auto index_of = [base](Job j) { return static_cast<std::size_t>(j - base); };

  Deque<Job> owner;
  std::atomic<bool> done{false};
  std::atomic<bool> out_of_order{false};

  auto thief = [&](int id) {
    Stealer<Job> s = owner.stealer();
    Deque<Job> mine;
    std::size_t last = 0;
    bool first = true;
    auto take = [&](Job j) {
      const std::size_t at = index_of(j);
      if (!first && at <= last) out_of_order.store(true, std::memory_order_relaxed);
      first = false;
      last = at;
      j->fetch_add(1, std::memory_order_relaxed);
    };
    unsigned turn = static_cast<unsigned>(id);
    while (!done.load(std::memory_order_acquire) || !s.is_empty()) {
      const bool batch = mode == ThiefMode::Batch || (mode == ThiefMode::Mixed && (++turn % 2) == 0);
      Steal<Job> r = batch ? s.steal_batch_and_pop(mine) : s.steal();
      if (r.is_success()) {
        take(r.value);
        while (std::optional<Job> j = mine.pop()) take(*j);
      } else if (r.is_empty()) {
        std::this_thread::yield();
      }
    }
  };

  std::vector<std::thread> thieves;
  for (int t = 0; t < kThieves; ++t) thieves.emplace_back(thief, t);

  std::mt19937 rng(11);
  std::size_t next = 0;
  std::size_t last_popped = 0;
  bool popped_any = false;
  auto owner_pop = [&] {
    std::optional<Job> j = owner.pop();
    if (!j) return false;
    const std::size_t at = index_of(*j);
    if (popped_any && at <= last_popped) out_of_order.store(true, std::memory_order_relaxed);
    popped_any = true;
    last_popped = at;
    (*j)->fetch_add(1, std::memory_order_relaxed);
    return true;
  };
  while (next < kItems) {
    const std::size_t burst = std::min<std::size_t>(kItems - next, std::uniform_int_distribution<std::size_t>(1, max_burst)(rng));
    for (std::size_t i = 0; i < burst; ++i) owner.push(base + next++);
    const std::size_t pops = std::uniform_int_distribution<std::size_t>(0, burst)(rng);
    for (std::size_t i = 0; i < pops && owner_pop(); ++i) {
    }
  }
  while (owner_pop()) {
  }
  done.store(true, std::memory_order_release);
  for (std::thread& t : thieves) t.join();

  EXPECT_FALSE(out_of_order.load());
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < kItems; ++i) {
    if (taken[i].load(std::memory_order_relaxed) != 1) {
      if (++wrong <= 5) ADD_FAILURE() << "item " << i << " taken " << taken[i].load() << " times";
    }
  }
  EXPECT_EQ(wrong, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Thieves, DequeConcurrent,
    ::testing::Combine(::testing::Values(ThiefMode::Single, ThiefMode::Batch, ThiefMode::Mixed),
                       ::testing::Values(std::size_t{1}, std::size_t{1500})),
    [](const ::testing::TestParamInfo<std::tuple<ThiefMode, std::size_t>>& info) {
      const char* mode = std::get<0>(info.param) == ThiefMode::Single  ? "Single"
                         : std::get<0>(info.param) == ThiefMode::Batch ? "Batch"
                                                                       : "Mixed";
      return std::string(mode) + "_burst" + std::to_string(std::get<1>(info.param));
    });

}  // namespace
}  // namespace corvalune::core
