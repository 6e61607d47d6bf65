// The coroutine task's step (see coroutine.hpp for the protocol).
#include "coroutine.hpp"

#include <optional>
#include <string>
#include <utility>

#include "attach.hpp"
#include "coroutine_task.hpp"
#include "exceptions.hpp"
#include "guard.hpp"
#include "names.hpp"
#include "report.hpp"
#include "runtime.hpp"

namespace corvalune::sys {
namespace {

constexpr const char* kCoroutinePanicked = "coroutine panicked during execution";

// The Level 1 step running on this thread, if any: while a step sends into
// its coroutine, the module's own handles park the coroutine on themselves
// instead of asking to be polled (see handles.cpp).
thread_local bool t_in_step = false;

// Discards the pending error, unless it is a PanicException coming back from
// Python: that is a native failure, which ends the step with PanicInTask.
void clear_unless_panic() {
  if (!PyErr_Occurred()) return;
  Ref exc = take_raised_exception();  // throws for a PanicException
}

// Discards the pending error if it is an ordinary one (an Exception), which
// counts as "this awaitable cannot be driven". Anything else (a
// KeyboardInterrupt, a SystemExit) is returned, to end the coroutine with it
// unchanged. A PanicException resumes as a native failure.
Ref take_unless_ordinary() {
  if (!PyErr_Occurred()) return {};
  Ref exc = take_raised_exception();
  if (PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) return {};
  return exc;
}

Ref new_exception(PyObject* type, const char* message) {
  return Ref::steal(PyObject_CallFunction(type, "s", message));
}

std::string cannot_drive_message(PyObject* yielded) {
  std::string name = "unknown";
  Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(yielded)));
  if (type_name) {
    Ref text = Ref::steal(PyObject_Str(type_name.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 != nullptr) name = utf8;
  }
  PyErr_Clear();
  const std::string indent(29, ' ');
  return "corvalune Level 1 executor cannot drive an awaitable of type '" + name +
         "': only objects exposing add_done_callback() \n" + indent +
         "(e.g. asyncio.Future) are supported. Use corvalune.run(coro) or \n" + indent +
         "corvalune.run(coro, level1=False) for full asyncio support.";
}

}  // namespace

StepScope::StepScope(bool in_step) noexcept : saved_(std::exchange(t_in_step, in_step)) {}
StepScope::~StepScope() { t_in_step = saved_; }

// --- the step -----------------------------------------------------------------

void CoroutineTask::resume_with(ResumeAction action) {
  ResumeAction replaced;  // released after the lock
  {
    std::lock_guard lock(resume_lock_);
    replaced = std::exchange(resume_, std::move(action));
  }
  resubmit();
}

void CoroutineTask::report_completion(Ref result, Ref exception) {
  DeferredRef callback;
  std::unique_ptr<ChannelSender> sender;
  {
    std::lock_guard lock(completion_lock_);
    callback = std::move(completion_);
    sender = std::move(sender_);
  }
  // Reported without the lock: what was taken out is used at most once,
  // whoever reports.
  if (sender) {
    sender->send(std::move(result), std::move(exception));
    return;
  }
  if (!callback) return;
  PyObject* call_args[] = {result ? result.get() : Py_None, exception ? exception.get() : Py_None};
  Ref returned = Ref::steal(PyObject_Vectorcall(callback.get(), call_args, 2, nullptr));
  // Nobody can receive what the callback raised, whatever its type.
  if (!returned) report_unraisable("in corvalune coroutine completion callback", callback.get());
}

bool CoroutineTask::begin_step() noexcept {
  std::uint8_t state = run_state_.load(std::memory_order_relaxed);
  for (;;) {
    if (state == kIdle) {
      // acquire: sees everything the previous step wrote (the coroutine
      // slot, gave_way_); pairs with the release exchange in end_step.
      if (run_state_.compare_exchange_weak(state, kStepping, std::memory_order_acquire,
                                           std::memory_order_relaxed))
        return true;
    } else if (state == kStepping) {
      // relaxed: this run hands nothing over; the stepping run reads the
      // mark with its exchange in end_step.
      if (run_state_.compare_exchange_weak(state, kSteppingAgain, std::memory_order_relaxed,
                                           std::memory_order_relaxed))
        return false;
    } else {
      // Already marked. At most one run can be owed (a task is queued by one
      // resume per suspension, or by its own step), so this is not reached;
      // should it be, the mark already stands for a further step.
      return false;
    }
  }
}

void CoroutineTask::end_step() {
  const bool gave_way = std::exchange(gave_way_, false);
  // release: publishes this step's writes to the next one; pairs with the
  // acquire in begin_step.
  const std::uint8_t state = run_state_.exchange(kIdle, std::memory_order_acq_rel);
  // A coroutine that gave way, or a run that came during the step, is queued
  // again now that the step is over (one queue entry each: a run that came
  // during the step consumed its own).
  if (gave_way || state == kSteppingAgain) resubmit();
}

void CoroutineTask::run(core::JobRef self) {
  // A finalizing interpreter is never touched: the step is dropped.
  if (Py_IsFinalizing()) return;
  if (!begin_step()) return;  // the step in progress queues the task again
  std::optional<Attach> attach;
  try {
    attach.emplace(Attach::Linger::Yes);
  } catch (...) {
    run_state_.store(kIdle, std::memory_order_release);  // finalizing: nothing will step it again
    return;
  }
  // Declared after the attachment, so destroyed before it: the queue
  // entry's reference is dropped while attached, and a finished task
  // releases its coroutine and completion callback at once instead of
  // leaving them for the next attach.
  core::JobRef entry = std::move(self);
  try {
    step_locked();
  } catch (...) {
    // A native failure anywhere in the step ends the coroutine with
    // PanicInTask; nothing reaches the worker unreported.
    try {
      const std::string message = current_failure_message(kCoroutinePanicked);
      if (coroutine_) {
        Ref exc = PendingException{ExceptionKind::PanicInTask, message}.to_object();
        PyErr_Clear();
        finish({}, std::move(exc));
      }
    } catch (...) {
      PyErr_Clear();
    }
  }
  // A step that gave way (yielded None) is run again at once: let go of the
  // interpreter between such steps (see Attach::Linger).
  if (gave_way_) attach->set_linger(Attach::Linger::No);
  end_step();
}

void CoroutineTask::step_locked() {
  if (!coroutine_) return;  // finished: a late wake-up
  PyObject* coro = coroutine_.get();

  // acquire: nothing else is read from cancel(); the flag is the message.
  if (cancellation_->cancelled.load(std::memory_order_acquire)) {
    Ref thrown = PendingException{ExceptionKind::TaskCancelled, "coroutine cancelled cooperatively"}.to_object();
    if (thrown) {
      Ref answer = call_method(coro, Name::throw_, thrown.get());
    }
    clear_unless_panic();  // whatever the coroutine answers is discarded
    Ref reported = PendingException{ExceptionKind::TaskCancelled, "cancelled"}.to_object();
    PyErr_Clear();
    finish({}, std::move(reported));
    return;
  }

  ResumeAction action;
  {
    std::lock_guard lock(resume_lock_);
    action = std::exchange(resume_, ResumeAction{});
  }
  Ref yielded = [&] {
    StepScope in_step(true);
    switch (action.kind) {
      case ResumeAction::Kind::Send:
        return call_method(coro, Name::send, action.value.get());
      case ResumeAction::Kind::Throw:
        return call_method(coro, Name::throw_, action.value.get());
      case ResumeAction::Kind::Empty:
        break;
    }
    return call_method(coro, Name::send, Py_None);
  }();
  action.value.reset();

  if (!yielded) {
    Ref exc = take_raised_exception();  // a PanicException resumes as a native failure
    if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_StopIteration)) {
      Ref value = Ref::steal(PyObject_GetAttr(exc.get(), name(Name::value)));
      if (!value) {
        PyErr_Clear();
        value = Ref::borrow(Py_None);
      }
      finish(std::move(value), {});
    } else {
      finish({}, std::move(exc));
    }
    return;
  }

  int has_callback = PyObject_HasAttrWithError(yielded.get(), name(Name::add_done_callback));
  if (has_callback < 0) {
    if (Ref interrupt = take_unless_ordinary()) {
      finish({}, std::move(interrupt));
      return;
    }
    has_callback = 0;
  }
  if (has_callback) {
    Ref callback = make_resume_callback(this, yielded.get());
    if (callback) {
      Ref added = call_method(yielded.get(), Name::add_done_callback, callback.get());
      if (added) return;  // suspended
    }
    if (Ref interrupt = take_unless_ordinary()) {
      finish({}, std::move(interrupt));
      return;
    }
  } else if (yielded.get() == Py_None) {
    gave_way_ = true;  // queued again once the step is over (end_step)
    return;
  }
  Ref error = new_exception(PyExc_TypeError, cannot_drive_message(yielded.get()).c_str());
  PyErr_Clear();
  finish({}, std::move(error));
}

void submit_task(Ref coroutine, Ref completion, std::unique_ptr<ChannelSender> sender,
                 std::shared_ptr<CancellationState> cancellation, bool inject) {
  core::Runtime& runtime = core::global_runtime();
  if (!cancellation) cancellation = std::make_shared<CancellationState>();
  auto* task = new CoroutineTask(std::move(coroutine), std::move(completion), std::move(sender),
                                 std::move(cancellation), runtime.scheduler());
  core::JobRef job = core::JobRef::adopt(task);
  if (inject) {
    core::inject(*runtime.scheduler(), std::move(job));
  } else {
    core::submit(*runtime.scheduler(), std::move(job));
  }
}

bool in_level1_step() noexcept { return t_in_step; }

void submit_coroutine(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation) {
  submit_task(std::move(coroutine), std::move(completion), nullptr, std::move(cancellation), /*inject=*/false);
}

}  // namespace corvalune::sys
