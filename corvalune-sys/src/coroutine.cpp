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
#include "names.hpp"
#include "runtime.hpp"
#include "worker.hpp"

namespace corvalune::sys {
namespace {

constexpr const char* kCoroutinePanicked = "coroutine panicked during execution";

// How the next step resumes the coroutine.
struct ResumeAction {
  enum class Kind { Empty, Send, Throw } kind = Kind::Empty;
  DeferredRef value;
};

class CoroutineTask final : public core::Job, public core::PoolAllocated {
 public:
  CoroutineTask(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation,
                std::shared_ptr<core::Scheduler> scheduler)
      : cancellation_(std::move(cancellation)),
        scheduler_(std::move(scheduler)),
        coroutine_(std::move(coroutine)),
        completion_(std::move(completion)) {}

  void run(core::JobRef self) override;

  // Stores a resume action (replacing a pending one) and queues the task.
  void resume_with(ResumeAction action);
  void resubmit() { core::submit(*scheduler_, core::JobRef::share(this)); }
  core::Scheduler& scheduler() { return *scheduler_; }

 private:
  ~CoroutineTask() override {
    // Release order: coroutine, uncalled completion callback, pending
    // action, cancellation state, scheduler.
    coroutine_.reset();
    completion_.reset();
    resume_.value.reset();
    cancellation_.reset();
    scheduler_.reset();
  }

  void step_locked();
  void report_completion(Ref result, Ref exception);
  // Empties `coroutine_` (releasing it) and reports.
  void finish(Ref result, Ref exception) {
    coroutine_.reset();
    report_completion(std::move(result), std::move(exception));
  }

  std::shared_ptr<CancellationState> cancellation_;
  std::shared_ptr<core::Scheduler> scheduler_;
  PyMutex step_lock_{};
  DeferredRef coroutine_;  // guarded by step_lock_
  core::SmallMutex completion_lock_;
  DeferredRef completion_;  // guarded by completion_lock_
  core::SmallMutex resume_lock_;
  bool gave_way_ = false;  // guarded by step_lock_: the step yielded None
  ResumeAction resume_;  // guarded by resume_lock_
};

// Discards the pending error, unless it is a PanicException coming back from
// Python: that is a native failure, which ends the step with PanicInTask.
void clear_unless_panic() {
  if (!PyErr_Occurred()) return;
  Ref exc = take_raised_exception();  // throws for a PanicException
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

// fut.result() as a send action; no action when it raises.
ResumeAction result_action(PyObject* fut) {
  Ref value = call_method(fut, Name::result);
  if (!value) {
    PyErr_Clear();
    return {};
  }
  return {ResumeAction::Kind::Send, DeferredRef(std::move(value))};
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
    ResumeAction action;
    if (PyTuple_GET_SIZE(args) > 0) {
      PyObject* fut = PyTuple_GET_ITEM(args, 0);
      Ref exc = call_method(fut, Name::exception);
      if (!exc) PyErr_Clear();
      if (exc && exc.get() != Py_None) {
        action = {ResumeAction::Kind::Throw, DeferredRef(std::move(exc))};
      } else {
        action = result_action(fut);
      }
    } else {
      action = result_action(awaitable.get());
    }
    task->resume_with(std::move(action));
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
  {
    std::lock_guard lock(completion_lock_);
    callback = std::move(completion_);
  }
  // Called without the lock: the callback was taken out, so it runs at most
  // once whoever reports.
  if (!callback) return;
  Ref args = Ref::steal(PyTuple_Pack(2, result ? result.get() : Py_None, exception ? exception.get() : Py_None));
  if (args) {
    Ref ignored = Ref::steal(PyObject_Call(callback.get(), args.get(), nullptr));
  }
  PyErr_Clear();  // discarded silently, whatever it raised
}

void CoroutineTask::run(core::JobRef self) {
  // A finalizing interpreter is never touched: the step is dropped.
  if (Py_IsFinalizing()) return;
  std::optional<Attach> attach;
  try {
    attach.emplace(Attach::Linger::Yes);
  } catch (...) {
    return;
  }
  // Declared after the attachment, so destroyed before it: the queue
  // entry's reference is dropped while attached, and a finished task
  // releases its coroutine and completion callback at once instead of
  // leaving them for the next attach (run_level1 waits for exactly that
  // release when a coroutine can never finish).
  core::JobRef entry = std::move(self);
  PyMutex_Lock(&step_lock_);
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
  gave_way_ = false;
  PyMutex_Unlock(&step_lock_);
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
  Ref yielded;
  switch (action.kind) {
    case ResumeAction::Kind::Empty:
      yielded = call_method(coro, Name::send, Py_None);
      break;
    case ResumeAction::Kind::Send:
      yielded = call_method(coro, Name::send, action.value.get());
      break;
    case ResumeAction::Kind::Throw:
      yielded = call_method(coro, Name::throw_, action.value.get());
      break;
  }
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
    clear_unless_panic();
    has_callback = 0;
  }
  if (has_callback) {
    Ref callback = make_resume_callback(this, yielded.get());
    if (callback) {
      Ref added = call_method(yielded.get(), Name::add_done_callback, callback.get());
      if (added) return;  // suspended
    }
    clear_unless_panic();
  } else if (yielded.get() == Py_None) {
    gave_way_ = true;
    resubmit();
    return;
  }
  Ref error = new_exception(PyExc_TypeError, cannot_drive_message(yielded.get()).c_str());
  PyErr_Clear();
  finish({}, std::move(error));
}

// --- run_level1 -------------------------------------------------------------------

// An unbounded channel of (value, exception) pairs with one receiver and
// counted senders. Leaked with the last owner like any record; its Python
// references are DeferredRefs.
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

struct SenderState {
  std::shared_ptr<Channel> channel;
  explicit SenderState(std::shared_ptr<Channel> c) : channel(std::move(c)) {
    std::lock_guard lock(channel->lock);
    ++channel->senders;
  }
  ~SenderState() {
    {
      std::lock_guard lock(channel->lock);
      --channel->senders;
    }
    channel->ready.notify_all();
  }
};

constexpr const char* kSenderCapsule = "corvalune.completion_sender";

void destroy_sender_state(PyObject* capsule) {
  guard_void([capsule] { delete static_cast<SenderState*>(PyCapsule_GetPointer(capsule, kSenderCapsule)); });
}

PyObject* call_sender(PyObject* capsule, PyObject* args, PyObject*) {
  return guard([capsule, args]() -> PyObject* {
    auto* state = static_cast<SenderState*>(PyCapsule_GetPointer(capsule, kSenderCapsule));
    if (state == nullptr) return nullptr;
    if (PyTuple_GET_SIZE(args) < 2) {
      PyErr_SetString(PyExc_IndexError, "tuple index out of range");
      return nullptr;
    }
    {
      std::lock_guard lock(state->channel->lock);
      state->channel->pairs.emplace_back(DeferredRef(Ref::borrow(PyTuple_GET_ITEM(args, 0))),
                                         DeferredRef(Ref::borrow(PyTuple_GET_ITEM(args, 1))));
    }
    state->channel->sent.store(true, std::memory_order_release);
    state->channel->ready.notify_all();
    return PyTuple_New(0);
  });
}

PyMethodDef kSenderDef = {"completion_sender", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_sender)),
                          METH_VARARGS | METH_KEYWORDS, nullptr};

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

PyObject* run_level1(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Param params[] = {{"main_coro", true}};
    static constexpr Signature sig{"run_level1()", params, 1};
    PyObject* bound[1];
    if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;

    auto channel = std::make_shared<Channel>();
    auto* state = new SenderState(channel);
    Ref capsule = Ref::steal(PyCapsule_New(state, kSenderCapsule, destroy_sender_state));
    if (!capsule) {
      delete state;
      return nullptr;
    }
    Ref sender = Ref::steal(PyCFunction_New(&kSenderDef, capsule.get()));
    if (!sender) return nullptr;
    capsule.reset();

    // A thread with its own queue (a pool worker running a task, a
    // registered thread) would be the only one to look there while it
    // blocks: the root task goes to the global queue instead, and this
    // thread keeps running queued work while it waits.
    const bool helping = core::has_local_queue();
    submit_coroutine(Ref::borrow(bound[0]), std::move(sender), nullptr, /*inject=*/helping);
    core::Scheduler& scheduler = *core::global_runtime().scheduler();

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
          PyThreadState* ts = PyEval_SaveThread();
          got = receive(*channel, kHelpWait, pair);
          PyEval_RestoreThread(ts);
        }
      } else {
        PyThreadState* ts = PyEval_SaveThread();
        got = receive(*channel, kSignalCheck, pair, std::exchange(spin, nanoseconds(0)));
        PyEval_RestoreThread(ts);
        // References dropped by detached threads (the last one may be the
        // sender itself) are released here, as at any attach.
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
      }
    }
  });
}

}  // namespace

void submit_coroutine(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation, bool inject) {
  core::Runtime& runtime = core::global_runtime();
  if (!cancellation) cancellation = std::make_shared<CancellationState>();
  auto* task = new CoroutineTask(std::move(coroutine), std::move(completion), std::move(cancellation),
                                 runtime.scheduler());
  core::JobRef job = core::JobRef::adopt(task);
  if (inject) {
    core::inject(*runtime.scheduler(), std::move(job));
  } else {
    core::submit(*runtime.scheduler(), std::move(job));
  }
}

PyMethodDef kRunLevel1Def = {
    "run_level1", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run_level1)),
    METH_FASTCALL | METH_KEYWORDS,
    "run_level1(main_coro)\n--\n\n"
    "Corvalune Level 1 native executor entry point: runs a root coroutine to completion."};

}  // namespace corvalune::sys
