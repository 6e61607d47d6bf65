#include "task.hpp"

#include <utility>

#include "lineage.hpp"

namespace corvalune::core {

Task::Task(std::shared_ptr<Scheduler> scheduler, std::unique_ptr<Pollable> pollable)
    : scheduler_(std::move(scheduler)), pollable_(std::move(pollable)) {}

Task::~Task() {
  // Release order: the pollable, the panic payload, then the scheduler.
  pollable_.reset();
  payload_ = nullptr;
  scheduler_.reset();
}

JobRef Task::spawn(std::shared_ptr<Scheduler> scheduler, std::unique_ptr<Pollable> pollable, bool inject) {
  Scheduler& s = *scheduler;
  auto* task = new Task(std::move(scheduler), std::move(pollable));
  JobRef returned = JobRef::share(task);
  note_spawned(task);  // before it is queued: a wait in the spawning job may run it
  if (inject) {
    core::inject(s, JobRef::adopt(task));
  } else {
    submit(s, JobRef::adopt(task));
  }
  return returned;
}

void Task::resubmit() {
  JobRef again = JobRef::share(this);
  submit(*scheduler_, std::move(again));
}

std::unique_ptr<Pollable> Task::claim() {
  std::uint8_t expected = kScheduled;
  // acq_rel: acquire sees what the previous poller and the waker published;
  // release is paired with the state loads of wakers.
  if (!state_.compare_exchange_strong(expected, kRunning, std::memory_order_acq_rel)) return nullptr;
  std::lock_guard lock(pollable_lock_);
  return std::move(pollable_);
}

void Task::run(JobRef self) {
  // `self` is the queue entry's reference: it is released when run returns,
  // after the waker made below.
  (void)self;
  std::unique_ptr<Pollable> pollable = claim();
  if (!pollable) return;

  Waker waker(this);
  add_ref();  // the waker's reference
  Poll result;
  try {
    Context cx{waker};
    result = pollable->poll(cx);
  } catch (...) {
    pollable.reset();
    record(Outcome::Panicked, std::current_exception());
    return;  // waker and `self` released on the way out
  }

  if (result == Poll::Ready) {
    pollable.reset();
    record(Outcome::Finished, nullptr);
    return;
  }

  {
    std::unique_ptr<Pollable> stale;
    std::lock_guard lock(pollable_lock_);
    stale = std::exchange(pollable_, std::move(pollable));
    (void)stale;  // released after the lock, by its destructor order below
  }
  for (;;) {
    // acquire: pairs with the acq_rel CAS of a waker that moved 2 -> 1.
    std::uint8_t s = state_.load(std::memory_order_acquire);
    if (s == kScheduled) {
      resubmit();
      break;
    }
    if (s == kComplete) {
      std::unique_ptr<Pollable> done;
      {
        std::lock_guard lock(pollable_lock_);
        done = std::move(pollable_);
      }
      break;
    }
    // acq_rel: publishes the pollable put back above before a waker that sees
    // idle queues the task; on failure a wake arrived, read again.
    if (s == kRunning && state_.compare_exchange_weak(s, kIdle, std::memory_order_acq_rel)) break;
  }
}

void Task::discard(JobRef self) {
  (void)self;  // as in run
  // A wake that comes after this sees complete and does nothing.
  std::unique_ptr<Pollable> pollable = claim();
  if (!pollable) return;
  try {
    pollable->discard();
  } catch (...) {
    pollable.reset();
    record(Outcome::Panicked, std::current_exception());
    return;
  }
  pollable.reset();
  record(Outcome::Discarded, nullptr);
}

void Task::record(Outcome outcome, std::exception_ptr payload) {
  std::lock_guard lock(outcome_lock_);
  // acq_rel: completion is final; later wakes see 3 and do nothing. The
  // first to complete is the only one to write the outcome, so the payload
  // slot is still empty here.
  if (state_.exchange(kComplete, std::memory_order_acq_rel) == kComplete) return;
  payload_ = std::move(payload);
  outcome_ = outcome;
}

void Task::wake_by_ref() {
  std::uint8_t s = state_.load(std::memory_order_acquire);
  for (;;) {
    if (s == kScheduled || s == kComplete) return;
    if (s == kRunning) {
      // acq_rel: the poller's requeue loop reads this with acquire.
      if (state_.compare_exchange_weak(s, kScheduled, std::memory_order_acq_rel)) return;
      continue;
    }
    // Idle: this waker queues the task.
    if (state_.compare_exchange_weak(s, kScheduled, std::memory_order_acq_rel)) {
      resubmit();
      return;
    }
  }
}

Task::Outcome Task::outcome() const {
  std::lock_guard lock(outcome_lock_);
  return outcome_;
}

std::exception_ptr Task::panic_payload() const {
  std::lock_guard lock(outcome_lock_);
  return payload_;
}

bool Task::has_pollable() const {
  std::lock_guard lock(pollable_lock_);
  return pollable_ != nullptr;
}

Waker::~Waker() {
  if (task_ != nullptr) task_->drop_ref();
}

Waker Waker::clone() const {
  task_->add_ref();
  return Waker(task_);
}

void Waker::wake() && {
  Task* task = std::exchange(task_, nullptr);
  task->wake_by_ref();
  task->drop_ref();
}

void Waker::wake_by_ref() const { task_->wake_by_ref(); }

}  // namespace corvalune::core
