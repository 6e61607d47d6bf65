#include "coroutine.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "args.hpp"
#include "block_pool.hpp"
#include "small_mutex.hpp"
#include "attach.hpp"
#include "exceptions.hpp"
#include "guard.hpp"
#include "handles.hpp"
#include "names.hpp"
#include "release.hpp"
#include "report.hpp"
#include "runtime.hpp"
#include "spawn.hpp"
#include "worker.hpp"

namespace corvalune::sys {
namespace {

constexpr const char* kCoroutinePanicked = "coroutine panicked during execution";

// How the next step resumes the coroutine.
struct ResumeAction {
  enum class Kind { Empty, Send, Throw } kind = Kind::Empty;
  DeferredRef value;
};

// An unbounded channel of (value, exception) pairs with one receiver and
// counted senders: how run_level1 receives its root coroutine's outcome.
// Shared by the receiver and the senders; its Python references are
// DeferredRefs, so whichever owner goes last may drop it on any thread.
struct Channel {
  std::mutex lock;
  std::condition_variable ready;
  std::deque<std::pair<DeferredRef, DeferredRef>> pairs;  // guarded by lock
  int senders = 0;                                        // guarded by lock
  // Set with the first pair (release; pairs with the acquire in the
  // receiver's spin): lets a receiver that expects a quick answer poll
  // before it sleeps on the condition variable.
  std::atomic<bool> sent{false};
};

// The sending end of a Channel. Sending and disconnecting are native: no
// Python call is made, so neither can fail or be deferred on a thread whose
// stack is nearly exhausted (a Python-level sender could raise
// RecursionError there, and the interpreter defers deallocations on deep
// stacks, so the receiver would never learn that the pair was lost).
class ChannelSender {
 public:
  explicit ChannelSender(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {
    std::lock_guard lock(channel_->lock);
    ++channel_->senders;
  }
  ChannelSender(const ChannelSender&) = delete;
  ChannelSender& operator=(const ChannelSender&) = delete;
  ~ChannelSender() {
    {
      std::lock_guard lock(channel_->lock);
      --channel_->senders;
    }
    channel_->ready.notify_all();
  }
  void send(Ref value, Ref exception) {
    {
      std::lock_guard lock(channel_->lock);
      channel_->pairs.emplace_back(DeferredRef(std::move(value)), DeferredRef(std::move(exception)));
    }
    channel_->sent.store(true, std::memory_order_release);
    channel_->ready.notify_all();
  }

 private:
  std::shared_ptr<Channel> channel_;
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

// The Level 1 step running on this thread, if any: while a step sends into
// its coroutine, the module's own handles park the coroutine on themselves
// instead of asking to be polled (see handles.cpp).
thread_local bool t_in_step = false;

// Sets the flag for a scope: true around a step's send or throw, false
// around run_level1's wait (work run there is not part of the step).
class StepScope {
 public:
  explicit StepScope(bool in_step) noexcept : saved_(std::exchange(t_in_step, in_step)) {}
  ~StepScope() { t_in_step = saved_; }
  StepScope(const StepScope&) = delete;
  StepScope& operator=(const StepScope&) = delete;

 private:
  bool saved_;
};

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

// --- the resume callback ------------------------------------------------------

// What a resume callback holds until its first call. The first call takes
// both out (atomically: two threads may call it at once), so that an
// awaitable that keeps its callbacks after calling them (as
// concurrent.futures.Future does) does not keep the task, and through it the
// coroutine, alive in a cycle the collector cannot see. Later calls do
// nothing: the task was queued once already.
struct ResumeState {
  std::atomic<CoroutineTask*> task;  // one reference, until the first call
  DeferredRef awaitable;             // owned by whoever takes `task`
  ~ResumeState() {
    if (CoroutineTask* t = task.exchange(nullptr, std::memory_order_acq_rel)) t->release_ref();
  }
};

constexpr const char* kResumeCapsule = "corvalune.resume_callback";

void destroy_resume_state(PyObject* capsule) {
  guard_void([capsule] { delete static_cast<ResumeState*>(PyCapsule_GetPointer(capsule, kResumeCapsule)); });
}

// The pending exception as a throw action. Whatever an awaitable raises
// when asked for its outcome (CancelledError for a cancelled future) is
// what the awaiting coroutine must see: resuming it with None instead would
// report a failure as success.
ResumeAction raised_action() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return {};
  return {ResumeAction::Kind::Throw, DeferredRef(std::move(exc))};
}

// fut.result() as a send action, or what it raised as a throw action.
ResumeAction result_action(PyObject* fut) {
  Ref value = call_method(fut, Name::result);
  if (!value) return raised_action();
  return {ResumeAction::Kind::Send, DeferredRef(std::move(value))};
}

// How to resume a coroutine parked on `fut`, once it is done.
ResumeAction outcome_action(PyObject* fut) {
  // The module's own handles are iterators: the coroutine sits in the
  // handle's __next__ (see handles.cpp), and a plain next step (send(None))
  // lets __next__ return the outcome or raise the failure itself.
  if (is_task_handle(fut)) return {};
  Ref exc = call_method(fut, Name::exception);
  if (!exc) return raised_action();
  if (exc.get() != Py_None) return {ResumeAction::Kind::Throw, DeferredRef(std::move(exc))};
  return result_action(fut);
}

PyObject* call_resume(PyObject* capsule, PyObject* args, PyObject*) {
  return guard([capsule, args]() -> PyObject* {
    auto* state = static_cast<ResumeState*>(PyCapsule_GetPointer(capsule, kResumeCapsule));
    if (state == nullptr) return nullptr;
    Attach attach;
    // acq_rel: the winner of the exchange owns the task reference and the
    // awaitable; pairs with the exchange in ~ResumeState.
    CoroutineTask* task = state->task.exchange(nullptr, std::memory_order_acq_rel);
    if (task == nullptr) return PyTuple_New(0);
    core::JobRef task_ref = core::JobRef::from_raw(task);  // released attached, below
    Ref awaitable = state->awaitable.take();
    // An awaitable that passes itself is asked for its outcome; one that
    // passes nothing (the module's handles) is asked through the object the
    // coroutine parked on.
    if (PyTuple_GET_SIZE(args) > 0) {
      task->resume_with(outcome_action(PyTuple_GET_ITEM(args, 0)));
    } else {
      task->resume_with(is_task_handle(awaitable.get()) ? ResumeAction{} : result_action(awaitable.get()));
    }
    return PyTuple_New(0);
  });
}

PyMethodDef kResumeDef = {"resume_callback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_resume)),
                          METH_VARARGS | METH_KEYWORDS, nullptr};

Ref make_resume_callback(CoroutineTask* task, PyObject* awaitable) {
  task->add_ref();
  auto* state = new ResumeState{{task}, DeferredRef(Ref::borrow(awaitable))};
  Ref capsule = Ref::steal(PyCapsule_New(state, kResumeCapsule, destroy_resume_state));
  if (!capsule) {
    delete state;
    return {};
  }
  return Ref::steal(PyCFunction_New(&kResumeDef, capsule.get()));
}

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

// Creates a task (one reference, which the submission consumes) and queues
// it. With `inject`, the task goes to the global queue even from a thread
// that owns a local queue.
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

constexpr const char* kShutDownBeforeCompletion =
    "the Corvalune worker pool was shut down before the coroutine finished";

// --- run_level1 -------------------------------------------------------------------

enum class Received { Pair, Disconnected, Timeout };

// Waits (detached by the caller) until a pair arrives, every sender is gone,
// or `timeout` passes.
Received receive(Channel& channel, std::chrono::nanoseconds timeout, std::pair<DeferredRef, DeferredRef>& out,
                 std::chrono::nanoseconds spin = std::chrono::nanoseconds(0)) {
  if (spin.count() > 0) {
    // A short coroutine often finishes within microseconds: poll for that
    // long before paying for a sleep and a wake-up.
    const auto until = std::chrono::steady_clock::now() + spin;
    while (!channel.sent.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < until) {
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  }
  std::unique_lock lock(channel.lock);
  const bool woke = channel.ready.wait_for(lock, timeout, [&] { return !channel.pairs.empty() || channel.senders == 0; });
  if (!channel.pairs.empty()) {
    out = std::move(channel.pairs.front());
    channel.pairs.pop_front();
    return Received::Pair;
  }
  return woke ? Received::Disconnected : Received::Timeout;
}

PyObject* deliver(std::pair<DeferredRef, DeferredRef> pair) {
  Ref value = pair.first.take();
  Ref exception = pair.second.take();
  if (exception && exception.get() != Py_None) {
    PyErr_SetRaisedException(exception.release());
    return nullptr;
  }
  return value.release();
}

// Hides the calling thread's running asyncio loop for a scope. A thread that
// blocks in run_level1 inside a running loop cannot run that loop: coroutine
// steps it runs while it helps must not take the loop for theirs (awaiting
// a handle would hand its completion to the blocked loop).
class HiddenLoop {
 public:
  HiddenLoop() {
    // Without asyncio imported, no loop runs anywhere.
    Ref events = Ref::steal(PyImport_GetModule(name(Name::asyncio_events)));
    if (!events) {
      PyErr_Clear();
      return;
    }
    Ref loop = Ref::steal(PyObject_CallMethodNoArgs(events.get(), name(Name::get_running_loop_private)));
    if (!loop || loop.get() == Py_None) {
      PyErr_Clear();
      return;
    }
    Ref hidden = Ref::steal(PyObject_CallMethodOneArg(events.get(), name(Name::set_running_loop_private), Py_None));
    if (!hidden) {
      PyErr_Clear();
      return;
    }
    events_ = std::move(events);
    loop_ = std::move(loop);
  }
  ~HiddenLoop() {
    if (!loop_) return;
    // Restored whatever run_level1 returns with: its own error is kept.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref restored =
        Ref::steal(PyObject_CallMethodOneArg(events_.get(), name(Name::set_running_loop_private), loop_.get()));
    if (!restored) report_unraisable("while restoring the running event loop after run_level1()");
    PyErr_SetRaisedException(pending.release());
  }
  HiddenLoop(const HiddenLoop&) = delete;
  HiddenLoop& operator=(const HiddenLoop&) = delete;

 private:
  Ref events_;
  Ref loop_;
};

PyObject* run_level1(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Param params[] = {{"main_coro", true}};
    static constexpr Signature sig{"run_level1()", params, 1};
    PyObject* bound[1];
    if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;
    if (!ensure_pool_accepts_work()) return nullptr;

    auto channel = std::make_shared<Channel>();
    // A thread with its own queue (a pool worker running a task, a
    // registered thread) would be the only one to look there while it
    // blocks: the root task goes to the global queue instead, and this
    // thread keeps running queued work while it waits.
    const bool helping = core::has_local_queue();
    submit_task(Ref::borrow(bound[0]), {}, std::make_unique<ChannelSender>(channel), nullptr, /*inject=*/helping);
    core::Scheduler& scheduler = *core::global_runtime().scheduler();
    // Work run while this thread helps is not part of any step that
    // called run_level1, and sees no running loop.
    StepScope not_in_step(false);
    std::optional<HiddenLoop> hidden_loop;
    if (helping) hidden_loop.emplace();

    using namespace std::chrono;
    constexpr nanoseconds kSignalCheck = milliseconds(50);
    constexpr nanoseconds kHelpWait = milliseconds(1);
    auto next_signal_check = steady_clock::now() + kSignalCheck;
    nanoseconds spin = microseconds(50);  // first wait only
    for (;;) {
      std::pair<DeferredRef, DeferredRef> pair;
      Received got;
      if (helping) {
        if (core::JobRef job = core::take_local_or_injected(scheduler)) {
          std::move(job).run();
          got = receive(*channel, nanoseconds(0), pair);
        } else {
          ReleaseInterpreter released;
          got = receive(*channel, kHelpWait, pair);
        }
      } else {
        {
          ReleaseInterpreter released;
          got = receive(*channel, kSignalCheck, pair, std::exchange(spin, nanoseconds(0)));
        }
        // References dropped by detached threads are released here, as at
        // any attach.
        drain_pending_releases();
      }
      if (got == Received::Pair) return deliver(std::move(pair));
      if (got == Received::Disconnected) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine channel disconnected before completion");
        return nullptr;
      }
      if (!helping || steady_clock::now() >= next_signal_check) {
        if (PyErr_CheckSignals() < 0) return nullptr;
        next_signal_check = steady_clock::now() + kSignalCheck;
        // Once the pool has stopped and every worker has left, nothing will
        // ever step the coroutine again: say so instead of waiting for ever.
        if (!helping && !scheduler.is_running() && core::registered_count(scheduler) == 0) {
          PyErr_SetString(PyExc_RuntimeError, kShutDownBeforeCompletion);
          return nullptr;
        }
      }
    }
  });
}

}  // namespace

bool in_level1_step() noexcept { return t_in_step; }

void submit_coroutine(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation) {
  submit_task(std::move(coroutine), std::move(completion), nullptr, std::move(cancellation), /*inject=*/false);
}

PyMethodDef kRunLevel1Def = {
    "run_level1", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_level1)),
    METH_FASTCALL | METH_KEYWORDS,
    "run_level1(main_coro)\n--\n\n"
    "Corvalune Level 1 native executor entry point: runs a root coroutine to completion."};

}  // namespace corvalune::sys
