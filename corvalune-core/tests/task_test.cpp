#include "queues/local_queue.hpp"
#include "task.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <thread>

namespace corvalune::core {
namespace {

// A pollable driven by a script; records its own release.
class ScriptPollable final : public Pollable {
 public:
  ScriptPollable(std::function<Poll(Context&)> poll, std::atomic<bool>* released)
      : poll_(std::move(poll)), released_(released) {}
  ~ScriptPollable() override {
    if (released_) released_->store(true);
  }
  Poll poll(Context& cx) override { return poll_(cx); }
  void discard() override { ++discards; }

  static inline std::atomic<int> discards{0};

 private:
  std::function<Poll(Context&)> poll_;
  std::atomic<bool>* released_;
};

std::unique_ptr<Pollable> script(std::function<Poll(Context&)> poll, std::atomic<bool>* released = nullptr) {
  return std::make_unique<ScriptPollable>(std::move(poll), released);
}

Task& as_task(const JobRef& ref) { return *static_cast<Task*>(ref.get()); }

// Takes the single queued entry from the injector.
JobRef take_injected(Scheduler& scheduler) {
  auto s = scheduler.injector.steal();
  return s.is_success() ? JobRef::from_raw(s.value) : JobRef{};
}

TEST(Task, WakesDuringAPollQueueTheTaskOnceAfterItReturnsPending) {
  auto scheduler = std::make_shared<Scheduler>();
  int polls = 0;
  JobRef handle = Task::spawn(scheduler, script([&](Context& cx) {
    ++polls;
    if (polls == 1) {
      cx.waker.wake_by_ref();
      cx.waker.clone().wake();
      cx.waker.wake_by_ref();
      return Poll::Pending;
    }
    return Poll::Ready;
  }));
  JobRef first = take_injected(*scheduler);
  ASSERT_TRUE(first);
  std::move(first).run();
  EXPECT_EQ(polls, 1);
  EXPECT_EQ(scheduler->injector.len(), 1u);  // requeued exactly once
  EXPECT_EQ(as_task(handle).state(), Task::kScheduled);
  take_injected(*scheduler).run();
  EXPECT_EQ(polls, 2);
  EXPECT_EQ(as_task(handle).state(), Task::kComplete);
  EXPECT_EQ(as_task(handle).outcome(), Task::Outcome::Finished);
  EXPECT_TRUE(scheduler->injector.is_empty());
  EXPECT_EQ(handle.get()->ref_count_for_tests(), 1u);  // queue entry and wakers all released
}

TEST(Task, AnIdleTaskIsQueuedByItsWakerWhereTheWakeHappens) {
  auto scheduler = std::make_shared<Scheduler>();
  std::optional<Waker> saved;
  int polls = 0;
  JobRef handle = Task::spawn(scheduler, script([&](Context& cx) {
    if (++polls == 1) {
      saved.emplace(cx.waker.clone());
      return Poll::Pending;
    }
    return Poll::Ready;
  }));
  take_injected(*scheduler).run();
  EXPECT_EQ(as_task(handle).state(), Task::kIdle);
  EXPECT_TRUE(as_task(handle).has_pollable());

  // From a thread with a local queue: onto that queue, nobody woken.
  auto context = enter_pool(scheduler);
  saved->wake_by_ref();
  saved->wake_by_ref();  // already scheduled: nothing more
  EXPECT_EQ(local_queue()->len(), 1u);
  EXPECT_TRUE(scheduler->injector.is_empty());
  pop_local().run();
  EXPECT_EQ(as_task(handle).state(), Task::kComplete);
  EXPECT_FALSE(as_task(handle).has_pollable());

  // After completion a wake changes nothing; clone and drop only count.
  saved->wake_by_ref();
  { Waker extra = saved->clone(); }
  std::move(*saved).wake();
  saved.reset();
  EXPECT_EQ(local_queue()->len(), 0u);
  EXPECT_EQ(as_task(handle).state(), Task::kComplete);
  EXPECT_EQ(handle.get()->ref_count_for_tests(), 1u);
}

TEST(Task, AWakeFromAThreadWithoutQueueInjectsAndUnparksASleeper) {
  auto scheduler = std::make_shared<Scheduler>();
  std::unique_ptr<WorkerContext> sleeper;
  std::thread([&] {
    sleeper = enter_pool(scheduler);
    delete take_local_queue().queue;
  }).join();
  scheduler->registry->sleepers.add(sleeper->id);

  std::optional<Waker> saved;
  JobRef handle = Task::spawn(scheduler, script([&](Context& cx) {
    if (!saved) {
      saved.emplace(cx.waker.clone());
      return Poll::Pending;
    }
    return Poll::Ready;
  }));
  // spawn itself injected and woke the sleeper.
  EXPECT_EQ(scheduler->registry->sleepers.count.load(), 0u);
  take_injected(*scheduler).run();
  // The woken worker searched and parked again: no longer a searcher.
  scheduler->searching.store(0);
  scheduler->registry->sleepers.add(sleeper->id);
  std::thread([&] { std::move(*saved).wake(); }).join();
  EXPECT_EQ(scheduler->injector.len(), 1u);
  EXPECT_EQ(scheduler->registry->sleepers.count.load(), 0u);
  take_injected(*scheduler).run();
  EXPECT_EQ(as_task(handle).state(), Task::kComplete);
}

TEST(Task, APanicInThePollCompletesTheTaskAndReleasesThePollable) {
  auto scheduler = std::make_shared<Scheduler>();
  std::atomic<bool> released{false};
  JobRef handle = Task::spawn(scheduler, script([](Context&) -> Poll { throw std::runtime_error("boom"); }, &released));
  take_injected(*scheduler).run();  // does not throw
  EXPECT_TRUE(released.load());
  EXPECT_EQ(as_task(handle).state(), Task::kComplete);
  ASSERT_EQ(as_task(handle).outcome(), Task::Outcome::Panicked);
  try {
    std::rethrow_exception(as_task(handle).panic_payload());
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
}

TEST(Task, RunsToCompletionOnThePoolWithItsSpawnReferenceDroppedAtOnce) {
  auto scheduler = std::make_shared<Scheduler>();
  auto threads = start_worker_threads(scheduler, 2);
  constexpr int kTasks = 2000;
  std::atomic<int> finished{0};
  std::atomic<int> released{0};
  struct Counting final : Pollable {
    std::atomic<int>* finished;
    std::atomic<int>* released;
    int polls = 0;
    ~Counting() override { released->fetch_add(1); }
    Poll poll(Context& cx) override {
      // Pending twice, woken from the poll itself and from another thread.
      if (++polls == 1) {
        cx.waker.wake_by_ref();
        return Poll::Pending;
      }
      if (polls == 2) {
        std::thread([w = cx.waker.clone()]() mutable { std::move(w).wake(); }).detach();
        return Poll::Pending;
      }
      finished->fetch_add(1);
      return Poll::Ready;
    }
  };
  for (int i = 0; i < kTasks; ++i) {
    auto f = std::make_unique<Counting>();
    f->finished = &finished;
    f->released = &released;
    Task::spawn(scheduler, std::move(f)).reset();
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (released.load() < kTasks && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(finished.load(), kTasks);
  EXPECT_EQ(released.load(), kTasks);
  scheduler->running.store(false);
  wake_all(*scheduler);
  for (auto& t : threads) t.join();
}

// A task the pool drops (it was queued when the pool stopped, or queued after)
// tells its pollable once and is never polled.
TEST(Task, ADroppedTaskSettlesThroughItsPollableAndIsNeverPolled) {
  for (const bool queued_after_stop : {false, true}) {
    auto scheduler = std::make_shared<Scheduler>();
    if (queued_after_stop) scheduler->running.store(false);
    ScriptPollable::discards = 0;
    std::atomic<bool> released{false};
    int polls = 0;
    JobRef handle = Task::spawn(scheduler, script([&](Context&) {
      ++polls;
      return Poll::Ready;
    }, &released));
    if (!queued_after_stop) take_injected(*scheduler).discard();
    EXPECT_TRUE(scheduler->injector.is_empty());
    EXPECT_EQ(ScriptPollable::discards.load(), 1);
    EXPECT_TRUE(released.load());
    EXPECT_EQ(polls, 0);
    EXPECT_EQ(as_task(handle).outcome(), Task::Outcome::Discarded);
    EXPECT_EQ(as_task(handle).state(), Task::kComplete);
  }
}

}  // namespace
}  // namespace corvalune::core
