// The transitions of a `_FutureCore`; the protocol is at the top of
// future.hpp, the layout in future_state.hpp, the Python type in
// future_type.cpp.
#include "executor/future.hpp"

#include <atomic>
#include <cstdint>
#include <utility>

#include "executor/future_state.hpp"
#include "interp/cells.hpp"
#include "interp/names.hpp"
#include "interp/pyref.hpp"

namespace corvalune::sys {
namespace future_detail {

ObjectCell g_state_names[5];
ObjectCell g_invalid_state;
ObjectCell g_logger;
ObjectCell g_rlock_type;
ObjectCell g_condition_type;

PyObject* base_attribute(ObjectCell& cell, const char* attr) {
  return module_attribute(cell, "concurrent.futures._base", attr);
}

PyObject* state_name(std::uint32_t state) {
  if (state == kFinishing) state = kRunning;
  return base_attribute(g_state_names[state], kStateNames[state]);
}

PyObject* publish(std::atomic<PyObject*>& slot, Ref made) {
  PyObject* expected = nullptr;
  // acq_rel: release publishes the object built here; acquire pairs with
  // the winner's release when this thread loses.
  if (slot.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel)) return made.release();
  return expected;  // `made` is dropped
}

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

// No other thread changes the state meanwhile, except to set the bit.
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

bool call_callback(PyObject* self, PyObject* fn) {
  Ref outcome = Ref::steal(PyObject_CallOneArg(fn, self));
  if (outcome) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  // Taken first: looking the logger up may import.
  Ref raised = Ref::steal(PyErr_GetRaisedException());
  PyObject* logger = base_attribute(g_logger, "LOGGER");
  if (logger == nullptr) return false;
  // LOGGER.exception() reads the exception being handled.
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

PyObject* condition_type() { return module_attribute(g_condition_type, "threading", "Condition"); }

}  // namespace future_detail

using namespace future_detail;

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
      // Unwatched: only callbacks given before the future was shared
      // (future_bind_awaiting) can be listed.
      if ((claimed & kWatched) == 0) return run_callbacks(f) ? 0 : -1;
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

bool future_bind_awaiting(PyObject* self, PyObject* awaiting, PyObject* post) {
  FutureObject* f = as_future(self);
  Ref list = Ref::steal(PyList_New(1));
  if (!list) return false;
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(post));
  Py_XSETREF(f->awaiting, Py_NewRef(awaiting));
  // Not shared yet: the spawn that shares it publishes both.
  Py_XDECREF(f->callbacks.exchange(list.release(), std::memory_order_relaxed));
  return true;
}

PyObject* future_awaiting(PyObject* self) noexcept { return as_future(self)->awaiting; }

void future_drop_handle(PyObject* self) noexcept {
  // The submitting thread may be setting it meanwhile; dropped outside the
  // section.
  PyObject* old;
  Py_BEGIN_CRITICAL_SECTION(self);
  old = std::exchange(as_future(self)->handle, nullptr);
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(old);
}

}  // namespace corvalune::sys
