// The coroutine task's step (see coroutine.hpp for the protocol).
#include "coroutines/coroutine.hpp"

#include <optional>
#include <string>
#include <utility>

#include "block_pool.hpp"
#include "coroutines/coroutine_task.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/exceptions.hpp"
#include "interp/guard.hpp"
#include "interp/helping.hpp"
#include "interp/names.hpp"
#include "interp/report.hpp"
#include "panic.hpp"
#include "runtime.hpp"
#include "tasks/spawn.hpp"

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
// unchanged, and so is a MemoryError: memory that ran out says nothing about
// the awaitable. A PanicException resumes as a native failure.
Ref take_unless_ordinary() {
  if (!PyErr_Occurred()) return {};
  Ref exc = take_raised_exception();
  if (PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception) &&
      !PyErr_GivenExceptionMatches(exc.get(), PyExc_MemoryError))
    return {};
  return exc;
}

// The exception an outcome reports: `made` when it could be made, otherwise
// what making it raised (a MemoryError), never nothing.
Ref or_raised(Ref made) {
  if (made) return made;
  return take_call_failure();
}

Ref new_exception(PyObject* type, const char* message) {
  return or_raised(Ref::steal(PyObject_CallFunction(type, "s", message)));
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

// Runs the calling thread in a task's own context for a scope. Entering fails
// only for a context entered already (never: a task's steps are exclusive)
// or for want of memory; the error is then left set and nothing is exited.
class EnteredContext {
 public:
  explicit EnteredContext(PyObject* context) : context_(context) {
    if (PyContext_Enter(context) < 0) context_ = nullptr;
  }
  ~EnteredContext() {
    if (context_ == nullptr) return;
    Ref pending = Ref::steal(PyErr_GetRaisedException());  // kept across the exit
    if (PyContext_Exit(context_) < 0) report_unraisable("while leaving a Corvalune coroutine's context");
    PyErr_SetRaisedException(pending.release());
  }
  EnteredContext(const EnteredContext&) = delete;
  EnteredContext& operator=(const EnteredContext&) = delete;
  bool entered() const noexcept { return context_ != nullptr; }

 private:
  PyObject* context_;
};

}  // namespace

StepScope::StepScope(bool in_step) noexcept : saved_(std::exchange(t_in_step, in_step)) {}
StepScope::~StepScope() { t_in_step = saved_; }

// --- the step -----------------------------------------------------------------

void ResumeSlot::put(ResumeAction next) {
  ResumeAction replaced;  // released after the lock
  std::lock_guard lock(lock_);
  replaced = std::exchange(action_, std::move(next));
}

ResumeAction ResumeSlot::take() {
  std::lock_guard lock(lock_);
  return std::exchange(action_, ResumeAction{});
}

void CoroutinePollable::report_completion(Ref result, Ref exception) {
  note_interrupt(exception.get());
  // Taken out first: whatever happens next, the outcome is reported once.
  DeferredRef callback = std::move(completion_);
  std::unique_ptr<ChannelSender> sender = std::move(sender_);
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

core::Poll CoroutinePollable::poll(core::Context& cx) {
  // A finalizing interpreter is never touched: the coroutine stays pending
  // and nothing will poll it again.
  if (Py_IsFinalizing()) return core::Poll::Pending;
  std::optional<Attach> attach;
  try {
    attach.emplace(Attach::Linger::Yes);
  } catch (...) {
    // No memory for this thread's state: the step is tried again by the
    // next thread that attaches. Finalizing since the check: left pending.
    if (failure_is_no_memory()) wake_when_attached(cx.waker.clone());
    return core::Poll::Pending;
  }
  try {
    step(cx);
  } catch (...) {
    // A native failure anywhere in the step ends the coroutine with
    // PanicInTask (MemoryError for a want of memory); nothing reaches the
    // worker unreported.
    std::optional<std::string> message = task_failure_message(kCoroutinePanicked);
    try {
      if (coroutine_) {
        const PendingException pending = message ? PendingException{ExceptionKind::PanicInTask, std::move(*message)}
                                                 : PendingException{ExceptionKind::NoMemory, {}};
        finish({}, or_raised(pending.to_object()));
      }
    } catch (...) {
      PyErr_Clear();
    }
  }
  if (!coroutine_) {
    // Released here, attached, rather than by the task after this poll.
    context_.reset();
    resume_.reset();
    cancellation_.reset();
    return core::Poll::Ready;
  }
  if (std::exchange(gave_way_, false)) {
    // Yielded None: polled again once this poll is over, and the
    // interpreter is let go between such steps (see Attach::Linger).
    attach->set_linger(Attach::Linger::No);
    cx.waker.wake_by_ref();
  }
  return core::Poll::Pending;
}

void CoroutinePollable::discard() {
  // A finalizing interpreter is never touched.
  if (!coroutine_ || Py_IsFinalizing()) return;
  std::optional<Attach> attach;
  try {
    attach.emplace();
  } catch (const core::Panic&) {
    return;  // finalizing since the check
  }
  try {
    EnteredContext entered(context_.get());
    Ref closed = entered.entered() ? call_method(coroutine_.get(), Name::close) : Ref();
    if (!closed) report_unraisable("while closing a coroutine the stopped Corvalune pool dropped", coroutine_.get());
    Ref exc = dropped_at_shutdown().to_object();
    if (!exc) exc = Ref::steal(PyErr_GetRaisedException());  // what went wrong instead
    finish({}, std::move(exc));
  } catch (...) {
    PyErr_Clear();
  }
  context_.reset();  // attached, rather than deferred
}

void CoroutinePollable::step(core::Context& cx) {
  if (!coroutine_) return;  // finished: a late wake-up
  PyObject* coro = coroutine_.get();
  EnteredContext entered(context_.get());
  if (!entered.entered()) {
    finish({}, Ref::steal(PyErr_GetRaisedException()));
    return;
  }

  // acquire: nothing else is read from cancel(); the flag is the message.
  if (cancellation_ != nullptr && cancellation_->cancelled.load(std::memory_order_acquire)) {
    Ref thrown = PendingException{ExceptionKind::TaskCancelled, "coroutine cancelled cooperatively"}.to_object();
    if (!thrown) {
      // Without the exception to throw in, the coroutine ends with the
      // failure to make it (a MemoryError); releasing it closes it.
      finish({}, take_call_failure());
      return;
    }
    Ref answer = call_method(coro, Name::throw_, thrown.get());
    clear_unless_panic();  // whatever the coroutine answers is discarded
    finish({}, or_raised(PendingException{ExceptionKind::TaskCancelled, "cancelled"}.to_object()));
    return;
  }

  ResumeAction action = resume_ != nullptr ? resume_->take() : ResumeAction{};
  Ref returned;  // what the coroutine returned, when its type's send slot told it
  Ref yielded = [&] {
    StepScope in_step(true);
    if (action.kind == ResumeAction::Kind::Throw) return call_method(coro, Name::throw_, action.value.get());
    PyObject* sent = action.kind == ResumeAction::Kind::Send ? action.value.get() : Py_None;
    // Coroutines and generators have a send slot: it hands back the return
    // value itself, where send() raises a StopIteration to carry it.
    // Anything else is sent to through its send() method.
    const PyAsyncMethods* slots = Py_TYPE(coro)->tp_as_async;
    if (slots == nullptr || slots->am_send == nullptr) return call_method(coro, Name::send, sent);
    PyObject* out = nullptr;
    const PySendResult sent_result = PyIter_Send(coro, sent, &out);
    if (sent_result == PYGEN_RETURN) {
      returned = Ref::steal(out);
      return Ref();
    }
    return Ref::steal(out);  // the value yielded, or nothing with an error set
  }();
  action.value.reset();

  if (returned) {
    finish(std::move(returned), {});
    return;
  }
  if (!yielded) {
    Ref exc = take_raised_exception();  // a PanicException resumes as a native failure
    if (exc && PyErr_GivenExceptionMatches(exc.get(), PyExc_StopIteration)) {
      Ref value = Ref::steal(PyObject_GetAttr(exc.get(), name(Name::value)));
      if (value) {
        finish(std::move(value), {});
      } else if (Ref failure = take_unless_ordinary()) {
        finish({}, std::move(failure));  // memory ran out, or an interrupt
      } else {
        finish(Ref::borrow(Py_None), {});  // a value that cannot be read is None
      }
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
    if (resume_ == nullptr) resume_ = core::make_pooled_shared<ResumeSlot>();
    Ref callback = make_resume_callback(cx.waker.clone(), resume_, yielded.get());
    if (callback) {
      Ref added = call_method(yielded.get(), Name::add_done_callback, callback.get());
      if (added) return;  // suspended
    }
    if (Ref interrupt = take_unless_ordinary()) {
      finish({}, std::move(interrupt));
      return;
    }
  } else if (yielded.get() == Py_None) {
    gave_way_ = true;  // polled again once the step is over (poll)
    return;
  }
  Ref error = new_exception(PyExc_TypeError, cannot_drive_message(yielded.get()).c_str());
  finish({}, std::move(error));
}

bool submit_task(Ref coroutine, Ref completion, std::unique_ptr<ChannelSender> sender,
                 std::shared_ptr<CancellationState> cancellation, bool inject) {
  Ref context = Ref::steal(PyContext_CopyCurrent());
  if (!context) return false;
  core::Runtime& runtime = core::global_runtime();
  auto pollable = std::make_unique<CoroutinePollable>(std::move(coroutine), std::move(completion), std::move(context),
                                                      std::move(sender), std::move(cancellation));
  core::Task::spawn(runtime.scheduler(), std::move(pollable), inject).reset();
  return true;
}

bool in_level1_step() noexcept { return t_in_step; }

bool submit_coroutine(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation) {
  return submit_task(std::move(coroutine), std::move(completion), nullptr, std::move(cancellation), /*inject=*/false);
}

}  // namespace corvalune::sys
