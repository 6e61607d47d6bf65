#pragma once
// The coroutine task (see coroutine.hpp for the protocol), shared by its
// step (coroutine.cpp), its resume callback (resume.cpp) and run_level1
// (level1.cpp).
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "attach.hpp"
#include "block_pool.hpp"
#include "cancellation.hpp"
#include "channel.hpp"
#include "pyref.hpp"
#include "small_mutex.hpp"
#include "worker.hpp"

namespace corvalune::sys {

// How the next step resumes the coroutine.
struct ResumeAction {
  enum class Kind { Empty, Send, Throw } kind = Kind::Empty;
  DeferredRef value;
};

class CoroutineTask final : public core::Job, public core::PoolAllocated {
 public:
  CoroutineTask(Ref coroutine, Ref completion, std::unique_ptr<ChannelSender> sender,
                std::shared_ptr<CancellationState> cancellation, std::shared_ptr<core::Scheduler> scheduler)
      : cancellation_(std::move(cancellation)),
        scheduler_(std::move(scheduler)),
        coroutine_(std::move(coroutine)),
        completion_(std::move(completion)),
        sender_(std::move(sender)) {}

  void run(core::JobRef self) override;

  // Stores a resume action (replacing a pending one) and queues the task.
  void resume_with(ResumeAction action);
  void resubmit() { core::submit(*scheduler_, core::JobRef::share(this)); }
  core::Scheduler& scheduler() { return *scheduler_; }

 private:
  ~CoroutineTask() override {
    // Release order: coroutine, uncalled completion callback (or sender),
    // pending action, cancellation state, scheduler.
    coroutine_.reset();
    completion_.reset();
    sender_.reset();
    resume_.value.reset();
    cancellation_.reset();
    scheduler_.reset();
  }

  // Exclusive stepping. A run that finds a step in progress (on another
  // thread, or further up this very thread's stack, when an awaitable's
  // add_done_callback calls back at once and then runs queued work) does
  // not wait for it: it leaves a mark and the step in progress queues the
  // task again when it ends. No thread ever blocks on a step, so no step
  // can deadlock with itself.
  bool begin_step() noexcept;
  void end_step();

  void step_locked();
  void report_completion(Ref result, Ref exception);
  // Empties `coroutine_` (releasing it) and reports.
  void finish(Ref result, Ref exception) {
    coroutine_.reset();
    report_completion(std::move(result), std::move(exception));
  }

  enum RunState : std::uint8_t { kIdle, kStepping, kSteppingAgain };

  std::shared_ptr<CancellationState> cancellation_;
  std::shared_ptr<core::Scheduler> scheduler_;
  // Who may step: kIdle -> kStepping is taken by one run (see begin_step).
  std::atomic<std::uint8_t> run_state_{kIdle};
  DeferredRef coroutine_;  // owned by the stepping run
  core::SmallMutex completion_lock_;
  DeferredRef completion_;                  // guarded by completion_lock_
  std::unique_ptr<ChannelSender> sender_;  // guarded by completion_lock_
  core::SmallMutex resume_lock_;
  bool gave_way_ = false;  // owned by the stepping run: the step yielded None
  ResumeAction resume_;  // guarded by resume_lock_
};

// A callable that, on its first call, stores how to resume `task` from
// `awaitable` and queues it (see resume.cpp). Holds one reference to the
// task until then. Empty with an error set on failure.
Ref make_resume_callback(CoroutineTask* task, PyObject* awaitable);

// Creates a task (one reference, which the submission consumes) and queues
// it. With `inject`, the task goes to the global queue even from a thread
// that owns a local queue.
void submit_task(Ref coroutine, Ref completion, std::unique_ptr<ChannelSender> sender,
                 std::shared_ptr<CancellationState> cancellation, bool inject);

// Sets, for a scope, whether the calling thread is inside a step's send or
// throw (true), or in run_level1's wait (false: work run there is not part
// of the step).
class StepScope {
 public:
  explicit StepScope(bool in_step) noexcept;
  ~StepScope();
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  bool saved_;
};

}  // namespace corvalune::sys
