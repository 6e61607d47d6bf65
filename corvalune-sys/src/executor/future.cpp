// The protocol is at the top of future.hpp.
#include "executor/future.hpp"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "executor/loop_chain.hpp"
#include "interp/cells.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "interp/pyref.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"

namespace corvalune::sys {
namespace {

// The states, in the order of concurrent.futures' names (kStateNames).
enum State : std::uint32_t { kPending, kRunning, kCancelled, kCancelledNotified, kFinished, kFinishing };
constexpr std::uint32_t kStateMask = 7;
constexpr std::uint32_t kWatched = 8;

constexpr const char* kStateNames[] = {"PENDING", "RUNNING", "CANCELLED", "CANCELLED_AND_NOTIFIED", "FINISHED"};

struct FutureObject {
  PyObject_HEAD
  std::atomic<std::uint32_t> word;
  // The outcome: written once, by the settler that claimed the future, and
  // read without a lock once FINISHED is published (release/acquire on the
  // word). Owned.
  PyObject* result;
  PyObject* exception;
  // Made on first need and then fixed; published by compare-and-swap, so
  // two threads that race to make one end with the same object. Owned.
  std::atomic<PyObject*> lock;       // _thread.RLock
  std::atomic<PyObject*> condition;  // threading.Condition(lock)
  std::atomic<PyObject*> waiters;    // list: concurrent.futures' waiters; touched under the lock
  std::atomic<PyObject*> callbacks;  // list: appended under the lock while pending
  // The executor's pool handle while the call is queued, and the executor:
  // set and read by the package (`_handle`, `_executor`). Owned, may be null.
  PyObject* handle;
  PyObject* executor;
};

FutureObject* as_future(PyObject* self) noexcept { return reinterpret_cast<FutureObject*>(self); }
std::uint32_t state_of(std::uint32_t word) noexcept { return word & kStateMask; }
bool is_done(std::uint32_t state) noexcept {
  return state == kCancelled || state == kCancelledNotified || state == kFinished;
}

ObjectCell g_type;
ObjectCell g_base_module;  // concurrent.futures._base
ObjectCell g_state_names[5];
ObjectCell g_invalid_state;
ObjectCell g_logger;
ObjectCell g_rlock_type;
ObjectCell g_condition_type;

PyObject* base_attribute(ObjectCell& cell, const char* attr) {
  PyObject* base = g_base_module.get_or_init([] { return PyImport_ImportModule("concurrent.futures._base"); });
  if (base == nullptr) return nullptr;
  return cell.get_or_init([&] { return PyObject_GetAttrString(base, attr); });
}

PyObject* module_attribute(ObjectCell& cell, const char* module, const char* attr) {
  return cell.get_or_init([&]() -> PyObject* {
    Ref mod = Ref::steal(PyImport_ImportModule(module));
    return mod ? PyObject_GetAttrString(mod.get(), attr) : nullptr;
  });
}

// The state's name as concurrent.futures spells it (borrowed); FINISHING
// reads as RUNNING.
PyObject* state_name(std::uint32_t state) {
  if (state == kFinishing) state = kRunning;
  return base_attribute(g_state_names[state], kStateNames[state]);
}

// Publishes `made` (a new reference) in `slot` unless another thread did
// first; returns the slot's object (borrowed).
PyObject* publish(std::atomic<PyObject*>& slot, Ref made) {
  PyObject* expected = nullptr;
  // acq_rel: release publishes the object built here; acquire pairs with
  // the winner's release when this thread loses.
  if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
  return expected;  // `made` is dropped
}

// The future's lock, made on first need, with the watched bit set before it
// is returned: from then on every transition takes it. Borrowed; nullptr
// with an error set.
PyObject* watch(FutureObject* f) {
  // acquire: pairs with the release in publish().
  PyObject* lock = f->lock.load(std::memory_order_acquire);
  if (lock == nullptr) {
    PyObject* type = module_attribute(g_rlock_type, "_thread", "RLock");
    if (type == nullptr) return nullptr;
    Ref made = Ref::steal(PyObject_CallNoArgs(type));
    if (!made) return nullptr;
    lock = publish(f->lock, std::move(made));
  }
  // acq_rel read-modify-write: a transition's compare-and-swap that expected
  // the bit clear either precedes this (and is seen by every look after it)
  // or fails and takes the lock.
  if ((f->word.load(std::memory_order_acquire) & kWatched) == 0) f->word.fetch_or(kWatched, std::memory_order_acq_rel);
  return lock;
}

bool acquire(PyObject* lock) { return static_cast<bool>(call_method(lock, Name::acquire)); }

// Releases the lock, keeping a pending error (if any) as it was.
bool release(PyObject* lock) {
  PyObject* pending = PyErr_GetRaisedException();
  Ref done = call_method(lock, Name::release);
  if (pending != nullptr) {
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return false;
  }
  return static_cast<bool>(done);
}

// Stores `state`, keeping the watched bit. Under the lock (or by the
// settler that claimed the future): no other thread changes the state
// meanwhile, except to set the bit.
void store_state(FutureObject* f, std::uint32_t state) {
  std::uint32_t word = f->word.load(std::memory_order_relaxed);
  // release: publishes the outcome with FINISHED; pairs with the acquire
  // loads of readers.
  while (!f->word.compare_exchange_weak(word, (word & kWatched) | state, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
  }
}

// Calls `method` on every waiter (under the lock). A snapshot: a waiter's
// method may run Python code.
bool tell_waiters(FutureObject* f, Name method) {
  PyObject* list = f->waiters.load(std::memory_order_acquire);
  if (list == nullptr) return true;
  Ref snapshot = Ref::steal(PySequence_List(list));
  if (!snapshot) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i) {
    if (!call_method(PyList_GET_ITEM(snapshot.get(), i), method, reinterpret_cast<PyObject*>(f))) return false;
  }
  return true;
}

bool notify_condition(FutureObject* f) {
  PyObject* condition = f->condition.load(std::memory_order_acquire);
  return condition == nullptr || static_cast<bool>(call_method(condition, Name::notify_all));
}

// fn(future), as the standard Future calls a done callback: an Exception is
// logged ("exception calling callback for <future>") and swallowed; anything
// else propagates.
bool call_callback(PyObject* self, PyObject* fn) {
  Ref outcome = Ref::steal(PyObject_CallOneArg(fn, self));
  if (outcome) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  PyObject* logger = base_attribute(g_logger, "LOGGER");
  if (logger == nullptr) return false;
  // LOGGER.exception() reads the exception being handled.
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  Ref handled = Ref::steal(PyErr_GetHandledException());
  PyErr_SetHandledException(raised.get());
  Ref logged = Ref::steal(PyObject_CallMethod(logger, "exception", "sO", "exception calling callback for %r", self));
  PyErr_SetHandledException(handled.get());
  return static_cast<bool>(logged);
}

// Runs the done callbacks once the future is done (no lock held: none is
// added after that).
bool run_callbacks(FutureObject* f) {
  PyObject* list = f->callbacks.load(std::memory_order_acquire);
  if (list == nullptr) return true;
  for (Py_ssize_t i = 0;; ++i) {
    PyObject* raw = nullptr;
    if (i >= PyList_Size(list)) break;
    raw = PyList_GetItemRef(list, i);
    if (raw == nullptr) return false;
    Ref fn = Ref::steal(raw);
    if (!call_callback(reinterpret_cast<PyObject*>(f), fn.get())) return false;
  }
  return true;
}

PyObject* raise_invalid_state(PyObject* self, std::uint32_t state) {
  PyObject* type = base_attribute(g_invalid_state, "InvalidStateError");
  if (type == nullptr) return nullptr;
  // A claimed future is as good as finished for another settler.
  PyObject* name = base_attribute(g_state_names[state == kFinishing ? kFinished : state],
                                  kStateNames[state == kFinishing ? kFinished : state]);
  if (name == nullptr) return nullptr;
  PyErr_Format(type, "%U: %R", name, self);
  return nullptr;
}

// The outcome of a locked transition to FINISHED and of a settler that saw
// the watched bit appear: the waiters told and the condition notified, under
// the lock.
bool announce_finished(FutureObject* f, PyObject* lock, bool take_lock) {
  if (take_lock && !acquire(lock)) return false;
  bool ok = tell_waiters(f, f->exception != nullptr ? Name::add_exception : Name::add_result) && notify_condition(f);
  if (take_lock) ok = release(lock) && ok;
  return ok;
}

// Written by the one settler (see the protocol); replaces what a future
// built by hand was given.
void write_outcome(FutureObject* f, PyObject* result, PyObject* exception) {
  Py_XSETREF(f->result, exception == nullptr ? Py_XNewRef(result) : nullptr);
  Py_XSETREF(f->exception, Py_XNewRef(exception));
}

}  // namespace

int future_set_running(PyObject* self) {
  FutureObject* f = as_future(self);
  std::uint32_t word = kPending;
  // acq_rel: orders the call after whatever made the future; the unwatched
  // fast path.
  if (f->word.compare_exchange_strong(word, kRunning, std::memory_order_acq_rel)) return 1;
  PyObject* lock = watch(f);
  if (lock == nullptr || !acquire(lock)) return -1;
  std::uint32_t state = state_of(f->word.load(std::memory_order_acquire));
  int outcome = -1;
  if (state == kCancelled) {
    store_state(f, kCancelledNotified);
    outcome = tell_waiters(f, Name::add_cancelled) ? 0 : -1;
  } else if (state == kPending) {
    store_state(f, kRunning);
    outcome = 1;
  } else {
    PyObject* logger = base_attribute(g_logger, "LOGGER");
    PyObject* name = state_name(state);
    if (logger != nullptr && name != nullptr) {
      Ref logged = Ref::steal(PyObject_CallMethod(logger, "critical", "snO", "Future %s in unexpected state: %s",
                                                  static_cast<Py_ssize_t>(reinterpret_cast<std::intptr_t>(self)), name));
      if (logged) PyErr_SetString(PyExc_RuntimeError, "Future in unexpected state");
    }
  }
  if (!release(lock)) return -1;
  return outcome;
}

int future_settle(PyObject* self, PyObject* result, PyObject* exception) {
  FutureObject* f = as_future(self);
  std::uint32_t word = f->word.load(std::memory_order_acquire);
  while ((word & kWatched) == 0) {
    std::uint32_t state = state_of(word);
    if (state != kPending && state != kRunning) {
      raise_invalid_state(self, state);
      return -1;
    }
    // acq_rel: claims the future; the unwatched fast path.
    if (f->word.compare_exchange_weak(word, kFinishing, std::memory_order_acq_rel, std::memory_order_acquire)) {
      write_outcome(f, result, exception);
      std::uint32_t claimed = kFinishing;
      // release: publishes the outcome; pairs with the acquire loads of
      // readers. Fails only if a watcher set the bit meanwhile.
      while (!f->word.compare_exchange_weak(claimed, (claimed & kWatched) | kFinished, std::memory_order_acq_rel,
                                            std::memory_order_relaxed)) {
      }
      if ((claimed & kWatched) == 0) return 0;
      PyObject* lock = f->lock.load(std::memory_order_acquire);  // made before the bit was set
      if (!announce_finished(f, lock, true)) return -1;
      return run_callbacks(f) ? 0 : -1;
    }
  }
  PyObject* lock = watch(f);
  if (lock == nullptr || !acquire(lock)) return -1;
  std::uint32_t state = state_of(f->word.load(std::memory_order_acquire));
  if (state != kPending && state != kRunning) {
    raise_invalid_state(self, state);
    release(lock);
    return -1;
  }
  write_outcome(f, result, exception);
  store_state(f, kFinished);
  bool ok = announce_finished(f, lock, false);
  ok = release(lock) && ok;
  if (!ok) return -1;
  return run_callbacks(f) ? 0 : -1;
}

bool future_outcome(PyObject* self, Ref& result, Ref& exception) {
  if (!is_future_core(self)) return false;
  FutureObject* f = as_future(self);
  // acquire: pairs with the release that published FINISHED with the outcome.
  if (state_of(f->word.load(std::memory_order_acquire)) != kFinished) return false;
  if (f->exception != nullptr) {
    exception = Ref::borrow(f->exception);
  } else {
    result = Ref::borrow(f->result != nullptr ? f->result : Py_None);
  }
  return true;
}

bool future_set_handle(PyObject* self, PyObject* handle, PyObject* executor) {
  FutureObject* f = as_future(self);
  PyObject *old_executor = nullptr, *old_handle = nullptr;
  Py_BEGIN_CRITICAL_SECTION(self);
  old_executor = std::exchange(f->executor, Py_NewRef(executor));
  // Started already (the call drops the handle as it starts): not kept.
  if (state_of(f->word.load(std::memory_order_acquire)) == kPending)
    old_handle = std::exchange(f->handle, Py_NewRef(handle));
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(old_executor);
  Py_XDECREF(old_handle);
  // Handle first, flag second (_watch_pool sets the flag, then reads the
  // handle): one of the two sees both and arms the callback; both may, and
  // _pool_settled is idempotent.
  Ref watched = Ref::steal(PyObject_GetAttr(self, name(Name::watched_private)));
  int armed = watched ? PyObject_IsTrue(watched.get()) : -1;
  if (armed <= 0) return armed == 0;
  Ref settled = Ref::steal(PyObject_GetAttr(self, name(Name::pool_settled_private)));
  return settled && call_method(handle, Name::add_done_callback, settled.get());
}

void future_drop_handle(PyObject* self) noexcept {
  // The submitting thread may be setting it meanwhile; dropped outside the
  // section.
  PyObject* old;
  Py_BEGIN_CRITICAL_SECTION(self);
  old = std::exchange(as_future(self)->handle, nullptr);
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(old);
}

namespace {

PyObject* future_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  FutureObject* f = as_future(self);
  new (&f->word) std::atomic<std::uint32_t>(kPending);
  new (&f->lock) std::atomic<PyObject*>(nullptr);
  new (&f->condition) std::atomic<PyObject*>(nullptr);
  new (&f->waiters) std::atomic<PyObject*>(nullptr);
  new (&f->callbacks) std::atomic<PyObject*>(nullptr);
  return self;
}

// Takes no arguments; made ready by tp_new (the standard Future's __init__,
// later in the method order, would build a condition).
int future_init(PyObject*, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Future() takes no arguments");
    return -1;
  }
  return 0;
}

int future_traverse(PyObject* self, visitproc visit, void* arg) {
  FutureObject* f = as_future(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(f->result);
  Py_VISIT(f->exception);
  Py_VISIT(f->lock.load(std::memory_order_relaxed));
  Py_VISIT(f->condition.load(std::memory_order_relaxed));
  Py_VISIT(f->waiters.load(std::memory_order_relaxed));
  Py_VISIT(f->callbacks.load(std::memory_order_relaxed));
  Py_VISIT(f->handle);
  Py_VISIT(f->executor);
  return 0;
}

int future_clear(PyObject* self) {
  FutureObject* f = as_future(self);
  Py_CLEAR(f->result);
  Py_CLEAR(f->exception);
  for (std::atomic<PyObject*>* slot : {&f->lock, &f->condition, &f->waiters, &f->callbacks}) {
    Py_XDECREF(slot->exchange(nullptr, std::memory_order_acq_rel));
  }
  Py_CLEAR(f->handle);
  Py_CLEAR(f->executor);
  return 0;
}

void future_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  future_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

std::uint32_t load_state(PyObject* self) {
  // acquire: pairs with the release that published the state (and, for
  // FINISHED, the outcome).
  return state_of(as_future(self)->word.load(std::memory_order_acquire));
}

constexpr const char* kOwner = "_FutureCore";

struct Done {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "done";
  static constexpr const char* doc = "Return True if the future was cancelled or finished executing.";
  static PyObject* call(PyObject* self) { return PyBool_FromLong(is_done(load_state(self))); }
};

struct Cancelled {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "cancelled";
  static constexpr const char* doc = "Return True if the future was cancelled.";
  static PyObject* call(PyObject* self) {
    std::uint32_t state = load_state(self);
    return PyBool_FromLong(state == kCancelled || state == kCancelledNotified);
  }
};

struct Running {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "running";
  static constexpr const char* doc = "Return True if the future is currently executing.";
  static PyObject* call(PyObject* self) {
    std::uint32_t state = load_state(self);
    return PyBool_FromLong(state == kRunning || state == kFinishing);
  }
};

struct Result {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "result";
  static constexpr Param params[] = {{"timeout", false, false, "None"}};
  static constexpr const char* doc =
      "Return the result of the call that the future represents, waiting at most timeout seconds for it.";
  static PyObject* call(PyObject* self, PyObject* const* bound) {
    if (load_state(self) == kFinished) {
      FutureObject* f = as_future(self);
      if (f->exception != nullptr) {
        if (!PyExceptionInstance_Check(f->exception)) {
          PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
          return nullptr;
        }
        PyErr_SetRaisedException(Py_NewRef(f->exception));
        return nullptr;
      }
      return Py_NewRef(f->result != nullptr ? f->result : Py_None);
    }
    // Not finished: the package's waiting path.
    return PyObject_CallMethodOneArg(self, sys::name(Name::wait_result_private), bound[0] ? bound[0] : Py_None);
  }
};

struct SetRunningOrNotifyCancel {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "set_running_or_notify_cancel";
  static constexpr const char* doc =
      "Mark the future as running or process any cancel notifications. Return False if it was cancelled.";
  static PyObject* call(PyObject* self) {
    int running = future_set_running(self);
    return running < 0 ? nullptr : PyBool_FromLong(running);
  }
};

struct SetResult {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "set_result";
  static constexpr Param params[] = {{"result", true}};
  static constexpr const char* doc = "Sets the return value of work associated with the future.";
  static PyObject* call(PyObject* self, PyObject* const* bound) {
    if (future_settle(self, bound[0], nullptr) < 0) return nullptr;
    Py_RETURN_NONE;
  }
};

struct SetException {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "set_exception";
  static constexpr Param params[] = {{"exception", true}};
  static constexpr const char* doc = "Sets the result of the future as being the given exception.";
  static PyObject* call(PyObject* self, PyObject* const* bound) {
    PyObject* exception = bound[0] == Py_None ? nullptr : bound[0];
    if (future_settle(self, exception == nullptr ? Py_None : nullptr, exception) < 0) return nullptr;
    Py_RETURN_NONE;
  }
};

// _settle(result, exception): the executor's one step for both outcomes.
struct Settle {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "_settle";
  static constexpr Param params[] = {{"result", true}, {"exception", true}};
  static constexpr const char* doc = "";
  static PyObject* call(PyObject* self, PyObject* const* bound) {
    PyObject* exception = bound[1] == Py_None ? nullptr : bound[1];
    if (future_settle(self, bound[0], exception) < 0) return nullptr;
    Py_RETURN_NONE;
  }
};

struct AddDoneCallback {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "add_done_callback";
  static constexpr Param params[] = {{"fn", true}};
  static constexpr const char* doc = "Attaches a callable that will be called when the future finishes.";
  static PyObject* call(PyObject* self, PyObject* const* bound) {
    FutureObject* f = as_future(self);
    if (!is_done(load_state(self))) {
      // asyncio's chaining callback is kept as a post to its loop's mailbox.
      Ref kept = chain_through_mailbox(bound[0]);
      PyObject* lock = watch(f);
      if (lock == nullptr || !acquire(lock)) return nullptr;
      bool added = false, ok = true;
      if (!is_done(load_state(self))) {
        PyObject* list = f->callbacks.load(std::memory_order_acquire);
        if (list == nullptr) {
          Ref made = Ref::steal(PyList_New(0));
          list = made ? publish(f->callbacks, std::move(made)) : nullptr;
        }
        ok = list != nullptr && PyList_Append(list, kept ? kept.get() : bound[0]) == 0;
        added = true;
      }
      if (!release(lock) || !ok) return nullptr;
      if (added) {
        // A waiter's interest: the package watches the pool for a call it
        // drops unrun.
        if (!call_method(self, Name::watch_pool_private)) return nullptr;
        Py_RETURN_NONE;
      }
    }
    if (!call_callback(self, bound[0])) return nullptr;
    Py_RETURN_NONE;
  }
};

PyMethodDef kMethods[] = {
    entry_def<Done>(),      entry_def<Cancelled>(),       entry_def<Running>(),
    entry_def<Result>(),    entry_def<SetRunningOrNotifyCancel>(), entry_def<SetResult>(),
    entry_def<SetException>(), entry_def<Settle>(), entry_def<AddDoneCallback>(),
    {nullptr, nullptr, 0, nullptr},
};

// `_state`: read and written by the standard Future's own methods (cancel()
// writes it under the condition).
PyObject* get_state(PyObject* self, void*) { return Py_XNewRef(state_name(load_state(self))); }

int set_state(PyObject* self, PyObject* value, void*) {
  return guard_int([&] {
    for (std::uint32_t state = kPending; state <= kFinished; ++state) {
      PyObject* name = state_name(state);
      if (name == nullptr) return -1;
      int equal = value == nullptr ? 0 : PyObject_RichCompareBool(value, name, Py_EQ);
      if (equal < 0) return -1;
      if (equal) {
        store_state(as_future(self), state);
        return 0;
      }
    }
    PyErr_Format(PyExc_ValueError, "not a future state: %R", value ? value : Py_None);
    return -1;
  });
}

PyObject* get_result(PyObject* self, void*) {
  PyObject* result = load_state(self) == kFinished ? as_future(self)->result : nullptr;
  return Py_NewRef(result != nullptr ? result : Py_None);
}

PyObject* get_exception(PyObject* self, void*) {
  PyObject* exception = load_state(self) == kFinished ? as_future(self)->exception : nullptr;
  return Py_NewRef(exception != nullptr ? exception : Py_None);
}

// `_condition`: made on first use, on the future's lock; a thread that
// waits on it is a waiter, so the package then watches the pool.
PyObject* get_condition(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    FutureObject* f = as_future(self);
    PyObject* condition = f->condition.load(std::memory_order_acquire);
    if (condition != nullptr) return Py_NewRef(condition);
    PyObject* lock = watch(f);
    PyObject* type = module_attribute(g_condition_type, "threading", "Condition");
    if (lock == nullptr || type == nullptr) return nullptr;
    Ref made = Ref::steal(PyObject_CallOneArg(type, lock));
    if (!made) return nullptr;
    Ref published = Ref::borrow(publish(f->condition, std::move(made)));
    if (!call_method(self, Name::watch_pool_private)) return nullptr;
    return published.release();
  });
}

// `_waiters`: concurrent.futures.wait() and as_completed() add theirs
// holding the condition.
PyObject* get_waiters(PyObject* self, void*) {
  FutureObject* f = as_future(self);
  PyObject* list = f->waiters.load(std::memory_order_acquire);
  if (list == nullptr) {
    Ref made = Ref::steal(PyList_New(0));
    if (!made) return nullptr;
    list = publish(f->waiters, std::move(made));
  }
  return Py_NewRef(list);
}

PyObject* get_callbacks(PyObject* self, void*) {
  PyObject* list = as_future(self)->callbacks.load(std::memory_order_acquire);
  return list != nullptr ? Py_NewRef(list) : PyTuple_New(0);
}

// `_lock`: the lock if it was made, else None (never made here).
PyObject* get_lock(PyObject* self, void*) {
  PyObject* lock = as_future(self)->lock.load(std::memory_order_acquire);
  return Py_NewRef(lock != nullptr ? lock : Py_None);
}

PyObject* get_made_condition(PyObject* self, void*) {
  PyObject* condition = as_future(self)->condition.load(std::memory_order_acquire);
  return Py_NewRef(condition != nullptr ? condition : Py_None);
}

// The plain fields, read and written under the object's critical section
// (the submitting thread sets `_handle` while the worker may drop it). The
// old value is dropped outside it.
template <PyObject* FutureObject::* Field>
PyObject* get_field(PyObject* self, void*) {
  PyObject* value;
  Py_BEGIN_CRITICAL_SECTION(self);
  value = Py_XNewRef(as_future(self)->*Field);
  Py_END_CRITICAL_SECTION();
  return value != nullptr ? value : Py_NewRef(Py_None);
}

template <PyObject* FutureObject::* Field>
int set_field(PyObject* self, PyObject* value, void*) {
  PyObject* old;
  Py_BEGIN_CRITICAL_SECTION(self);
  old = std::exchange(as_future(self)->*Field, value == Py_None ? nullptr : Py_XNewRef(value));
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(old);
  return 0;
}

PyGetSetDef kGetSets[] = {
    {"_state", get_state, set_state, nullptr, nullptr},
    // Written by hand only by code that builds a future in a given state (the
    // standard library's tests do); the executor settles through _settle.
    {"_result", get_result, set_field<&FutureObject::result>, nullptr, nullptr},
    {"_exception", get_exception, set_field<&FutureObject::exception>, nullptr, nullptr},
    {"_condition", get_condition, nullptr, nullptr, nullptr},
    {"_waiters", get_waiters, nullptr, nullptr, nullptr},
    {"_done_callbacks", get_callbacks, nullptr, nullptr, nullptr},
    {"_lock", get_lock, nullptr, nullptr, nullptr},
    {"_made_condition", get_made_condition, nullptr, nullptr, nullptr},
    {"_handle", get_field<&FutureObject::handle>, set_field<&FutureObject::handle>, nullptr, nullptr},
    {"_executor", get_field<&FutureObject::executor>, set_field<&FutureObject::executor>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* future_core_type() {
  return g_type.get_or_init([] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("The state of a corvalune.Executor future, and its transitions.")},
        {Py_tp_new, reinterpret_cast<void*>(future_new)},
        {Py_tp_init, reinterpret_cast<void*>(future_init)},
        {Py_tp_dealloc, reinterpret_cast<void*>(future_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(future_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(future_clear)},
        {Py_tp_methods, kMethods},
        {Py_tp_getset, kGetSets},
        {0, nullptr},
    };
    static PyType_Spec spec = {"_corvalune_sys._FutureCore", sizeof(FutureObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC |
                                   Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    return PyType_FromSpec(&spec);
  });
}

bool is_future_core(PyObject* obj) noexcept {
  PyObject* type = g_type.peek();
  return type != nullptr && PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace corvalune::sys
