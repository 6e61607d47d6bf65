// The Python type `_corvalune_sys._FutureCore`: its slots, methods and
// attributes over the transitions in future.cpp.
#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "executor/future.hpp"
#include "executor/future_state.hpp"
#include "executor/loop_chain.hpp"
#include "interp/cells.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "interp/pyref.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"

namespace corvalune::sys {
namespace {

using namespace future_detail;

ObjectCell g_type;

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
  Py_VISIT(f->awaiting);
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
  Py_CLEAR(f->awaiting);
  return 0;
}

void future_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  future_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
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

// _set_handle(handle, executor): the executor's step after spawning.
struct SetHandle {
  static constexpr const char* owner = kOwner;
  static constexpr const char* name = "_set_handle";
  static constexpr Param params[] = {{"handle", true}, {"executor", true}};
  static constexpr const char* doc = "";
  static PyObject* call(PyObject* self, PyObject* const* bound) {
    if (!future_set_handle(self, bound[0], bound[1])) return nullptr;
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
    entry_def<SetException>(), entry_def<SetHandle>(), entry_def<AddDoneCallback>(),
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
    PyObject* type = condition_type();
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
