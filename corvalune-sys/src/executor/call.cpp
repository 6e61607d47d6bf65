// One submitted call, as the standard library's work item runs it: the
// future it settles, the caller's context and the call. _submit_call spawns
// it as a CallableTask whose job holds them itself (ExecutorCall): no
// Python object of its own, so one object fewer per call to make, and for
// the collector to scan while the call waits.
//
// While the call and the future's callbacks run, the thread is the
// executor's (ExecutorOnThread, call.hpp).
#include "executor/call.hpp"

#include <iterator>
#include <new>
#include <utility>
#include <vector>

#include "executor/future.hpp"
#include "executor/loop_chain.hpp"
#include "interp/cells.hpp"
#include "interp/deferred.hpp"
#include "interp/names.hpp"
#include "interp/pyref.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "tasks/call_job.hpp"

namespace corvalune::sys {
namespace {

enum class Helper { rename_thread, logger };

// corvalune._work's objects (borrowed; kept for the process).
PyObject* helper(Helper which) {
  static constexpr const char* kNames[] = {"_rename_thread", "LOGGER"};
  static ObjectCell objects[std::size(kNames)];
  const auto index = static_cast<std::size_t>(which);
  return module_attribute(objects[index], "corvalune._work", kNames[index]);
}

Ref get(PyObject* obj, Name n) { return Ref::steal(PyObject_GetAttr(obj, name(n))); }

// The executors whose calls are running on this thread, innermost last.
// Borrowed: each is an argument of the call that listed it, which holds it
// until it takes it off again. Native rather than a threading.local: the
// list changes around every call, and an attribute of a threading.local
// costs a look-up of the thread's own dict each time.
thread_local std::vector<PyObject*> t_running_executors;

// executor._forget(future), its common case inline: the future leaves the
// pending set; only an executor that is shutting down and has nothing left
// pending needs its Python method (which notifies under its lock).
bool forget(PyObject* executor, PyObject* future) {
  Ref pending = get(executor, Name::pending_private);
  if (!pending || PySet_Discard(pending.get(), future) < 0) return false;
  if (PySet_GET_SIZE(pending.get()) != 0) return true;
  Ref shutdown = get(executor, Name::shutdown_private);
  if (!shutdown) return false;
  int stopping = PyObject_IsTrue(shutdown.get());
  if (stopping <= 0) return stopping == 0;
  return static_cast<bool>(call_method(executor, Name::forget_private, future));
}

// forget() for a call that could not be spawned: the error that stopped it
// stays the one raised.
void forget_keeping_error(PyObject* executor, PyObject* future) {
  PyObject* raised = PyErr_GetRaisedException();
  if (!forget(executor, future)) PyErr_Clear();
  PyErr_SetRaisedException(raised);
}

// LOGGER.critical("Exception in worker", exc_info=True) for the exception
// raised, which is then dropped: nobody on a pool thread can take it.
void log_worker_failure() {
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  PyObject* logger = helper(Helper::logger);
  Ref handled = Ref::steal(PyErr_GetHandledException());
  PyErr_SetHandledException(raised.get());
  Ref logged;
  if (logger != nullptr) {
    Ref critical = Ref::steal(PyObject_GetAttrString(logger, "critical"));
    Ref args = Ref::steal(Py_BuildValue("(s)", "Exception in worker"));
    Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "exc_info", Py_True));
    if (critical && args && kwargs) logged = Ref::steal(PyObject_Call(critical.get(), args.get(), kwargs.get()));
  }
  PyErr_SetHandledException(handled.get());
  if (!logged) PyErr_WriteUnraisable(nullptr);  // the log itself failed: at least say so
}

// The call could not run as it should (the error raised says why): its
// future fails with that error rather than wait for ever, and the call is
// over.
PyObject* fail_call(PyObject* executor, PyObject* future) {
  Ref why = Ref::steal(PyErr_GetRaisedException());
  if (future_settle(future, Py_None, why.get()) < 0) log_worker_failure();
  return forget(executor, future) ? Py_NewRef(Py_None) : nullptr;
}

// Runs the call, settles its future and takes it off the executor's
// pending set: None, or nullptr with the error raised that the call's task
// then fails with. `kwargs` may be null.
PyObject* run_call(PyObject* executor, PyObject* future, PyObject* context, PyObject* fn, PyObject* args,
                   PyObject* kwargs) {
  future_drop_handle(future);  // started: nothing for a waiter to watch
  if (PyObject* awaiting = future_awaiting(future)) {
    // Its awaiting coroutine gave up before the call started (asyncio's
    // chaining would have cancelled it then): it does not run.
    Ref cancelled = call_method(awaiting, Name::cancelled);
    if (!cancelled) return fail_call(executor, future);
    if (cancelled.get() == Py_True && !call_method(future, Name::cancel)) return fail_call(executor, future);
  }
  int running = future_set_running(future);
  if (running < 0) return fail_call(executor, future);  // no memory for its lock
  if (running == 0) return forget(executor, future) ? Py_NewRef(Py_None) : nullptr;

  ExecutorOnThread on_thread;
  if (!on_thread.enter(executor)) return fail_call(executor, future);
  Ref failure;
  Ref result = run_in_context(context, fn, args, kwargs);
  if (!result) failure = Ref::steal(PyErr_GetRaisedException());
  // What the future's callbacks let through (KeyboardInterrupt,
  // SystemExit) is logged as ThreadPoolExecutor logs a failure of its
  // worker; the callbacks after it do not run, as there.
  if (future_settle(future, result ? result.get() : Py_None, failure.get()) < 0) log_worker_failure();
  result.reset();
  failure.reset();

  // Whatever happened, the call is over: shutdown(wait=True) must not
  // wait for it.
  if (!on_thread.leave()) log_worker_failure();
  return forget(executor, future) ? Py_NewRef(Py_None) : nullptr;
}

// What the pool runs for a submitted call (see call_job.hpp).
struct ExecutorCall {
  Ref operator()() {
    return Ref::steal(run_call(executor.get(), future.get(), context.get(), fn.get(), args.get(), kwargs.get()));
  }

  void release() noexcept {
    kwargs.reset();
    args.reset();
    fn.reset();
    context.reset();
    future.reset();
    executor.reset();
  }

  DeferredRef executor;
  DeferredRef future;
  DeferredRef context;
  DeferredRef fn;
  DeferredRef args;
  DeferredRef kwargs;  // none when the call has no keywords
};

struct RunsOnThisThread {
  static constexpr const char* name = "_runs_on_this_thread";
  static constexpr Param params[] = {{"executor", true}};
  static constexpr const char* doc = "Whether a call of executor is running on the calling thread.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    for (PyObject* running : t_running_executors) {
      if (running == bound[0]) Py_RETURN_TRUE;
    }
    Py_RETURN_FALSE;
  }
};

struct SubmitCall {
  static constexpr const char* name = "_submit_call";
  static constexpr Param params[] = {
      {"executor", true}, {"future_type", true}, {"fn", true}, {"args", true}, {"kwargs", true}};
  static constexpr const char* doc =
      "Makes the future of fn(*args, **kwargs) submitted to corvalune.Executor and spawns the call; None "
      "once the executor is shut down.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    PyObject *executor = bound[0], *fn = bound[2], *args = bound[3], *kwargs = bound[4];
    if (!PyTuple_Check(args) || (kwargs != Py_None && !PyDict_Check(kwargs))) {
      PyErr_SetString(PyExc_TypeError, "_submit_call() takes the call's arguments as a tuple and a dict or None");
      return nullptr;
    }
    Ref future = Ref::steal(PyObject_CallNoArgs(bound[1]));
    if (!future) return nullptr;
    if (!is_future_core(future.get())) {
      PyErr_SetString(PyExc_TypeError, "_submit_call() takes a type of executor future");
      return nullptr;
    }
    // Listed before the check, as shutdown() lists before it looks: either
    // this call sees the flag or shutdown() sees the future (the set's own
    // lock orders the two).
    Ref pending = get(executor, Name::pending_private);
    if (!pending || PySet_Add(pending.get(), future.get()) < 0) return nullptr;
    Ref shutdown = get(executor, Name::shutdown_private);
    int stopping = shutdown ? PyObject_IsTrue(shutdown.get()) : -1;
    if (stopping != 0) {
      forget_keeping_error(executor, future.get());
      return stopping < 0 ? nullptr : Py_NewRef(Py_None);
    }
    // Called by asyncio's run_in_executor: the asyncio future it awaits,
    // bound to this one before the call can run. Its waiter is the loop,
    // which the pool dropping the call unrun must not leave waiting: the
    // handle is watched for that (`_pool_settled` cancels the future).
    Ref awaiting = bind_to_awaiting_loop(future.get());
    if (awaiting && PyObject_SetAttr(future.get(), sys::name(Name::watched_private), Py_True) < 0) {
      forget_keeping_error(executor, future.get());
      return nullptr;
    }
    Ref handle;
    try {
      Ref context = Ref::steal(PyContext_CopyCurrent());
      if (context) {
        handle = Ref::steal(spawn_call_task(ExecutorCall{
            DeferredRef(Ref::borrow(executor)), DeferredRef(Ref::borrow(future.get())), DeferredRef(std::move(context)),
            DeferredRef(Ref::borrow(fn)), DeferredRef(Ref::borrow(args)),
            DeferredRef(kwargs == Py_None ? Ref() : Ref::borrow(kwargs))}));
      }
    } catch (...) {
      forget_keeping_error(executor, future.get());
      throw;
    }
    if (!handle) {
      forget_keeping_error(executor, future.get());
      return nullptr;
    }
    if (!future_set_handle(future.get(), handle.get(), executor)) return nullptr;
    return awaiting ? awaiting.release() : future.release();
  }
};

}  // namespace

bool ExecutorOnThread::enter(PyObject* executor) {
  try {
    t_running_executors.push_back(executor);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  listed_ = true;
  Ref prefix = get(executor, Name::thread_name_prefix_private);
  int has_prefix = prefix ? PyObject_IsTrue(prefix.get()) : -1;
  if (has_prefix > 0) {
    PyObject* rename = helper(Helper::rename_thread);
    if (rename != nullptr) renamed_ = Ref::steal(PyObject_CallOneArg(rename, prefix.get()));
    if (!renamed_) has_prefix = -1;
  }
  if (has_prefix >= 0) return true;
  PyObject* raised = PyErr_GetRaisedException();
  bool left = leave();
  if (!left) PyErr_Clear();
  PyErr_SetRaisedException(raised);
  return false;
}

bool ExecutorOnThread::leave() {
  bool ok = true;
  if (renamed_ && PyObject_SetAttr(PyTuple_GET_ITEM(renamed_.get(), 0), name(Name::name_private),
                                   PyTuple_GET_ITEM(renamed_.get(), 1)) < 0)
    ok = false;
  renamed_.reset();
  // Brackets nest (a call that waits may run another on this thread), so
  // this one's entry is the last.
  if (std::exchange(listed_, false)) t_running_executors.pop_back();
  return ok;
}

ExecutorOnThread::~ExecutorOnThread() {
  if (listed_) t_running_executors.pop_back();
}

Ref run_in_context(PyObject* context, PyObject* fn, PyObject* args, PyObject* kwargs) {
  if (PyContext_Enter(context) < 0) return Ref();
  Ref result = Ref::steal(PyObject_Call(fn, args, kwargs));
  if (PyContext_Exit(context) < 0) return Ref();  // only if the call left another context entered
  return result;
}

PyMethodDef kSubmitCallDef = entry_def<SubmitCall>();
PyMethodDef kRunsOnThisThreadDef = entry_def<RunsOnThisThread>();

}  // namespace corvalune::sys
