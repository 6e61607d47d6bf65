#pragma once
// The coroutine task (see coroutine.hpp for the protocol), shared by its
// step (step.cpp), its resume callback (resume.cpp) and run_level1
// (level1.cpp).
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "block_pool.hpp"
#include "coroutines/cancellation.hpp"
#include "coroutines/channel.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/pyref.hpp"
#include "sync/small_mutex.hpp"
#include "task.hpp"

namespace corvalune::sys {

// How the next step resumes the coroutine.
struct ResumeAction {
  enum class Kind { Empty, Send, Throw } kind = Kind::Empty;
  DeferredRef value;
};

// Where a resume callback leaves how the next step resumes the coroutine.
// Shared by the coroutine's pollable and the callbacks registered for it, so
// that a callback called after the task is gone has somewhere to write.
struct ResumeSlot {
  // Stores `next`, replacing a pending action (released after the lock).
  void put(ResumeAction next);
  // Takes the pending action (empty if none).
  ResumeAction take();

 private:
  core::SmallMutex lock_;
  ResumeAction action_;  // guarded by lock_
};

// A coroutine driven on the pool: a task pollable whose poll is one step,
// its steps exclusive through the task's state word (coroutine.hpp), each
// run in the task's own contextvars.Context, copied from the spawner's at
// spawn, as an asyncio Task runs its steps: what the coroutine sets stays
// with it across steps, whichever thread runs them, and is seen by no other
// work.
class CoroutinePollable final : public core::Pollable, public core::PoolAllocated {
 public:
  CoroutinePollable(Ref coroutine, Ref completion, Ref context, std::unique_ptr<ChannelSender> sender,
                    std::shared_ptr<CancellationState> cancellation)
      : cancellation_(std::move(cancellation)),
        coroutine_(std::move(coroutine)),
        completion_(std::move(completion)),
        context_(std::move(context)),
        sender_(std::move(sender)) {}
  ~CoroutinePollable() override {
    // Release order: coroutine, uncalled completion callback (or sender:
    // disconnecting it tells run_level1 that no outcome will come), context,
    // the resume slot, cancellation state.
    coroutine_.reset();
    completion_.reset();
    context_.reset();
    sender_.reset();
    resume_.reset();
    cancellation_.reset();
  }

  core::Poll poll(core::Context& cx) override;
  // Dropped by the stopped pool: the coroutine is closed (its finally
  // blocks run, in its context) and its completion is told
  // PoolShutdownError. Once finalization has begun, dropped as it is.
  void discard() override;

 private:
  void step(core::Context& cx);
  void report_completion(Ref result, Ref exception);
  // Empties `coroutine_` (releasing it) and reports.
  void finish(Ref result, Ref exception) {
    coroutine_.reset();
    report_completion(std::move(result), std::move(exception));
  }

  // All owned by the polling thread (the task polls one thread at a time,
  // and its state word orders one poll after the other).
  std::shared_ptr<CancellationState> cancellation_;  // none without a token
  // Made when the coroutine first suspends on an awaitable: most coroutines
  // spawned in numbers never do.
  std::shared_ptr<ResumeSlot> resume_;
  DeferredRef coroutine_;
  DeferredRef completion_;
  DeferredRef context_;  // the task's own contextvars.Context
  std::unique_ptr<ChannelSender> sender_;
  bool gave_way_ = false;  // the step yielded None
};

// A callable that, on its first call, stores in `slot` how to resume the
// coroutine from `awaitable` and wakes the task through `waker` (see
// resume.cpp). Empty with an error set on failure.
Ref make_resume_callback(core::Waker waker, std::shared_ptr<ResumeSlot> slot, PyObject* awaitable);

// Creates a task for the coroutine, in a copy of the calling thread's
// context, and queues it; `cancellation` is its token's state, or null
// without a token. With `inject`, the task goes to the global queue
// even from a thread that owns a local queue. False with an error set when
// the context cannot be copied (nothing is queued). The caller is attached.
bool submit_task(Ref coroutine, Ref completion, std::unique_ptr<ChannelSender> sender,
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
