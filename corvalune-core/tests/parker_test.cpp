#include "sync/parker.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace corvalune::core {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A lost wake-up shows up as a hang; turn it into a loud failure instead of
// a stuck test run. Deliberately independent of the code under test.
class Watchdog {
 public:
  explicit Watchdog(const char* what, std::chrono::seconds limit = 60s)
      : thread_([this, what, limit] {
          std::unique_lock<std::mutex> lock(mu_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: '%s' still blocked after %llds (lost wake-up?)\n", what,
                         static_cast<long long>(limit.count()));
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

TEST(Parker, TokenIsAFlagConsumedByOnePark) {
  Watchdog dog("token");
  Parker p;
  Unparker u = p.unparker();

  u.unpark();
  u.unpark();  // not counted: still one token
  Clock::time_point t0 = Clock::now();
  p.park_timeout(5s);
  EXPECT_LT(Clock::now() - t0, 5s) << "a stored token must end park_timeout at once";

  t0 = Clock::now();
  p.park_timeout(30ms);
  EXPECT_GE(Clock::now() - t0, 30ms) << "the second unpark must not have left a token";

  u.unpark();
  p.park();  // returns only because the token is there (else the watchdog fires)

  // A timed-out park leaves no state behind: the next token works as usual.
  p.park_timeout(1ms);
  u.unpark();
  t0 = Clock::now();
  p.park_timeout(5s);
  EXPECT_LT(Clock::now() - t0, 5s);

  // d <= 0 takes a stored token but never waits.
  u.unpark();
  p.park_timeout(0ns);
  t0 = Clock::now();
  p.park_timeout(20ms);
  EXPECT_GE(Clock::now() - t0, 20ms) << "park_timeout(0) should have consumed the token";
}

class ParkerTimeout : public ::testing::TestWithParam<int> {};

TEST_P(ParkerTimeout, WaitsAtLeastTheTimeoutWithoutAToken) {
  const std::chrono::milliseconds d(GetParam());
  Parker p;
  const Clock::time_point t0 = Clock::now();
  p.park_timeout(d);
  EXPECT_GE(Clock::now() - t0, d);
}

INSTANTIATE_TEST_SUITE_P(Millis, ParkerTimeout, ::testing::Values(1, 25, 100));

void ignore_signal(int) {}

// Signals interrupt the futex wait (EINTR); neither park() nor
// park_timeout() may treat that as a wake-up.
TEST(Parker, SignalsDoNotEndAParkEarly) {
  Watchdog dog("signals");
  struct sigaction sa {};
  sa.sa_handler = ignore_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: make the wait really return EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  Parker p;
  Unparker u = p.unparker();
  std::atomic<bool> started{false};
  Clock::duration slept{};
  std::thread timed([&] {
    started.store(true);
    const Clock::time_point t0 = Clock::now();
    p.park_timeout(150ms);
    slept = Clock::now() - t0;
  });
  while (!started.load()) std::this_thread::yield();
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(5ms);
    pthread_kill(timed.native_handle(), SIGUSR1);
  }
  timed.join();
  EXPECT_GE(slept, 150ms);

  std::atomic<bool> returned{false};
  std::thread untimed([&] {
    p.park();
    returned.store(true);
  });
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(5ms);
    pthread_kill(untimed.native_handle(), SIGUSR1);
  }
  EXPECT_FALSE(returned.load()) << "park() returned without a token";
  u.unpark();
  untimed.join();
  EXPECT_TRUE(returned.load());

  sigaction(SIGUSR1, &old, nullptr);
}

// Strict ping-pong: each side parks until the other hands it a token, so
// every round needs a real wake-up. The payload is a plain int: only the
// unpark -> park pairing orders it (the thread sanitizer checks that).
TEST(Parker, PingPongHandoffsLoseNoWakeupAndPublishWrites) {
  constexpr int kRounds = 20'000;
  Watchdog dog("ping-pong");
  Parker a;
  Parker b;
  const Unparker wake_a = a.unparker();
  const Unparker wake_b = b.unparker();
  int payload = 0;
  int mismatches = 0;

  std::thread other([&] {
    for (int r = 0; r < kRounds; ++r) {
      b.park();
      if (payload != 2 * r + 1) ++mismatches;
      payload = 2 * r + 2;
      wake_a.unpark();
    }
  });
  for (int r = 0; r < kRounds; ++r) {
    payload = 2 * r + 1;
    wake_b.unpark();
    a.park();
    if (payload != 2 * r + 2) ++mismatches;
  }
  other.join();
  EXPECT_EQ(mismatches, 0);
}

// Several threads unpark one parker from copies of its Unparker while it
// parks in a loop until it has seen all their work.
TEST(Parker, ConcurrentUnparkersNeverLeaveTheParkerAsleep) {
  constexpr int kSenders = 3;
  constexpr int kEach = 20'000;
  Watchdog dog("many unparkers");
  Parker p;
  std::atomic<int> sent{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([&, u = p.unparker()] {
      for (int i = 0; i < kEach; ++i) {
        sent.fetch_add(1, std::memory_order_relaxed);
        u.unpark();
        if (i % 64 == 0) std::this_thread::yield();
      }
    });
  }
  int parks = 0;
  while (sent.load(std::memory_order_relaxed) < kSenders * kEach) {
    p.park();
    ++parks;
  }
  for (std::thread& t : senders) t.join();
  EXPECT_GT(parks, 0);
}

TEST(Parker, UnparkerOutlivesParker) {
  std::vector<Unparker> keep;
  {
    Parker p;
    keep.push_back(p.unparker());
    Parker moved(std::move(p));
    keep.push_back(moved.unparker());
  }
  for (const Unparker& u : keep) u.unpark();  // stores a token nobody takes; must not crash
}

}  // namespace
}  // namespace corvalune::core
