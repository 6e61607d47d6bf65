#pragma once
// Tasks: the core's job type that drives a pollable on the pool.
//
// A `Task` owns a boxed `Pollable` and a four-state word:
//
//   0 idle ──wake──▶ 1 scheduled ──run──▶ 2 running ──ready/panic──▶ 3 complete
//                        ▲  │                │
//                        │  └──discard───────┼──────────────────────────▶ 3
//                        └──────wake─────────┘ (queued again by run after a
//                                               pending poll)
//
// Only the thread that moves the word from 1 to 2 polls the pollable, and the
// task sits in at most one queue entry at a time: a wake while running only
// flips 2 -> 1 and leaves the requeue to `run`, a wake while idle flips
// 0 -> 1 and queues the task itself, and wakes in state 1 or 3 do nothing.
// The two locks guard only slot moves, never a poll, and are never held
// together.
//
// References: the queue entry (consumed by run), every waker, and the one
// `spawn` returns.
#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>

#include "block_pool.hpp"
#include "job.hpp"
#include "worker.hpp"

namespace corvalune::core {

class Task;

// A handle through which a pollable asks to be polled again. Owns one
// reference to its task.
class Waker {
 public:
  explicit Waker(Task* task) noexcept : task_(task) {}  // adopts a reference
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  Waker(Waker&& other) noexcept : task_(std::exchange(other.task_, nullptr)) {}
  ~Waker();  // drop

  Waker clone() const;
  void wake() &&;          // wake, then release this waker's reference
  void wake_by_ref() const;

 private:
  Task* task_;
};

enum class Poll { Ready, Pending };

struct Context {
  Waker& waker;
};

// A unit of work a task polls until it is ready. Produces no value: results
// go to a record of its own.
class Pollable {
 public:
  virtual ~Pollable() = default;
  virtual Poll poll(Context& cx) = 0;
  // The pool stopped before the next poll and drops the task: settle
  // whoever waits for the outcome, without doing the work. Called at most
  // once, never after Ready, on whichever thread drops the task (a pool
  // thread leaving after the stop, the thread that stops the pool, a thread
  // that queued work after it). The pollable is released right after.
  virtual void discard() {}
};

class Task final : public Job, public PoolAllocated {
 public:
  enum State : std::uint8_t { kIdle = 0, kScheduled = 1, kRunning = 2, kComplete = 3 };
  enum class Outcome { Empty, Finished, Panicked, Discarded };

  // Creates a scheduled task, submits it, and returns a second reference.
  // With `inject`, the first submission goes to the injector even from a
  // thread that owns a local queue (see core::inject).
  static JobRef spawn(std::shared_ptr<Scheduler> scheduler, std::unique_ptr<Pollable> pollable, bool inject = false);

  void run(JobRef self) override;
  // Claims the task as run does, then lets its pollable settle its waiters
  // unpolled (Pollable::discard) and completes it as Discarded.
  void discard(JobRef self) override;

  // For tests and diagnostics.
  State state() const noexcept { return static_cast<State>(state_.load(std::memory_order_acquire)); }
  Outcome outcome() const;
  std::exception_ptr panic_payload() const;
  bool has_pollable() const;

 private:
  friend class Waker;
  Task(std::shared_ptr<Scheduler> scheduler, std::unique_ptr<Pollable> pollable);
  ~Task() override;

  void wake_by_ref();
  // Moves the state from scheduled to running and takes the pollable out;
  // nullptr when the task was not scheduled (or has no pollable).
  std::unique_ptr<Pollable> claim();
  // Queues one new reference to this task.
  void resubmit();
  void record(Outcome outcome, std::exception_ptr payload);

  std::shared_ptr<Scheduler> scheduler_;
  mutable std::mutex pollable_lock_;
  std::unique_ptr<Pollable> pollable_;  // guarded by pollable_lock_
  mutable std::mutex outcome_lock_;
  Outcome outcome_ = Outcome::Empty;  // guarded by outcome_lock_
  std::exception_ptr payload_;        // guarded by outcome_lock_
  std::atomic<std::uint8_t> state_{kScheduled};
};

}  // namespace corvalune::core
