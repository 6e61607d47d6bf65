#include "handles.hpp"

#include <new>
#include <vector>

#include "args.hpp"
#include "cells.hpp"
#include "closure.hpp"
#include "coroutine.hpp"
#include "guard.hpp"
#include "loop_mailbox.hpp"
#include "names.hpp"
#include "panic.hpp"

namespace corvalune::sys {
namespace {

struct HandleObject {
  PyObject_HEAD
  std::shared_ptr<Completion> record;
};

Completion& record_of(PyObject* self) { return *reinterpret_cast<HandleObject*>(self)->record; }

PyObject* handle_done(PyObject* self, PyObject*) {
  return guard([self]() -> PyObject* { return PyBool_FromLong(record_of(self).is_done()); });
}

PyObject* handle_result(PyObject* self, PyObject*) {
  return guard([self]() -> PyObject* { return record_of(self).result(); });
}

const char* add_done_callback_display(PyObject* self) {
  switch (Py_TYPE(self)->tp_name[sizeof("builtins.") - 1]) {
    case 'N': return "NativeTask.add_done_callback()";
    case 'C': return "CallableTask.add_done_callback()";
    default:
      return Py_TYPE(self)->tp_name[sizeof("builtins.Batch") - 1] == 'N'
                 ? "BatchNativeTask.add_done_callback()"
                 : "BatchCallableTask.add_done_callback()";
  }
}

PyObject* handle_add_done_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Param params[] = {{"cb", true}};
    const Signature sig{add_done_callback_display(self), params, 1};
    PyObject* bound[1];
    if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;
    if (record_of(self).add_done_callback(self, bound[0]) < 0) return nullptr;
    Py_RETURN_NONE;
  });
}

// --- the asyncio bridge ---------------------------------------------------

// Runs on the loop's own thread, for a loop without a mailbox: sets the
// outcome unless the future is done already (its awaiting task may have been
// cancelled after the resolver's check on the worker).
PyObject* settle_future(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "settle_future() takes 3 arguments");
      return nullptr;
    }
    if (!settle_awaiting_future(args[0], PyObject_IsTrue(args[1]) == 1, args[2])) return nullptr;
    Py_RETURN_NONE;
  });
}

PyMethodDef kSettleDef = {"settle_future", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settle_future)),
                          METH_FASTCALL, nullptr};
ObjectCell g_settle;

PyObject* settle_function() {
  return g_settle.get_or_init([] { return PyCFunction_New(&kSettleDef, nullptr); });
}

// Registered on the handle by __await__: once the work is done, hands the
// outcome to the awaiting asyncio future on its loop's thread, through the
// loop's mailbox (loop_mailbox.hpp), or by one call_soon_threadsafe of
// settle_future when the loop has none.
class Resolver final : public ClosureBody {
 public:
  // `target` is the loop's mailbox, or the loop itself.
  Resolver(Ref target, bool mailbox, Ref future, Ref handle)
      : target_(std::move(target)), future_(std::move(future)), handle_(std::move(handle)), mailbox_(mailbox) {}

  PyObject* call(PyObject* const*, Py_ssize_t, PyObject*) override {
    Attach attach;
    Ref target = target_.clone();
    Ref future = future_.clone();
    Ref handle = handle_.clone();
    if (!target || !future || !handle) return PyTuple_New(0);  // cleared by the collector

    Ref cancelled = call_method(future.get(), Name::cancelled);
    if (!cancelled) PyErr_Clear();
    else if (cancelled.get() == Py_True) return PyTuple_New(0);

    Ref value = call_method(handle.get(), Name::result);
    const bool is_error = !value;
    if (!value) value = take_raised_exception();
    if (mailbox_) {
      post_outcome(target.get(), std::move(future), is_error, std::move(value));
      return PyTuple_New(0);
    }
    PyObject* settle = settle_function();
    if (settle == nullptr) return nullptr;
    PyObject* call_args[] = {target.get(), settle, future.get(), is_error ? Py_True : Py_False, value.get()};
    Ref scheduled = Ref::steal(PyObject_VectorcallMethod(name(Name::call_soon_threadsafe), call_args,
                                                         5, nullptr));
    if (!scheduled) PyErr_Clear();  // a closed loop: the awaiting coroutine never resumes
    return PyTuple_New(0);
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(target_.get());
    Py_VISIT(future_.get());
    Py_VISIT(handle_.get());
    return 0;
  }
  void clear() override {
    target_.reset();
    future_.reset();
    handle_.reset();
  }
  const char* what() const noexcept override { return "corvalune future resolver"; }

 private:
  DeferredRef target_;
  DeferredRef future_;
  DeferredRef handle_;
  bool mailbox_;
};

// asyncio.get_running_loop, looked up once.
ObjectCell g_get_running_loop;

PyObject* handle_await(PyObject* self) {
  return guard([self]() -> PyObject* {
    PyObject* get_running_loop = g_get_running_loop.get_or_init([]() -> PyObject* {
      Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
      return asyncio ? PyObject_GetAttr(asyncio.get(), name(Name::get_running_loop)) : nullptr;
    });
    if (get_running_loop == nullptr) {
      PyErr_Clear();
      return Py_NewRef(self);
    }
    Ref loop = Ref::steal(PyObject_CallNoArgs(get_running_loop));
    if (!loop) {
      PyErr_Clear();
      return Py_NewRef(self);
    }
    Ref future = call_method(loop.get(), Name::create_future);
    if (!future) return nullptr;
    Ref mailbox = loop_mailbox(loop.get());
    if (!mailbox && PyErr_Occurred()) return nullptr;
    const bool has_mailbox = static_cast<bool>(mailbox);
    Ref resolver = make_closure(std::make_unique<Resolver>(has_mailbox ? std::move(mailbox) : std::move(loop),
                                                           has_mailbox, future.clone(), Ref::borrow(self)));
    if (!resolver) return nullptr;
    // The handle classes cannot be subclassed, so handle.add_done_callback
    // is always this module's: register the resolver directly (it takes any
    // arguments, so the wrapper's fallback to cb(handle) has nothing to do).
    record_of(self).add_wrapper(std::move(resolver));
    return call_method(future.get(), Name::await_).release();
  });
}

PyObject* handle_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* handle_next(PyObject* self) {
  return guard([self]() -> PyObject* {
    Completion& record = record_of(self);
    if (!record.is_done()) {
      // Driven by the Level 1 executor: yield the handle itself, whose
      // add_done_callback parks the coroutine until the work is done (its
      // next step comes back here and finds it done). Any other driver gets
      // None and decides when to look again.
      if (in_level1_step()) return Py_NewRef(self);
      Py_RETURN_NONE;
    }
    Ref value = Ref::steal(record.result());
    if (!value) return nullptr;
    // StopIteration(value) built explicitly so that a tuple value is not
    // taken as the exception's argument list.
    Ref stop = Ref::steal(PyObject_CallOneArg(PyExc_StopIteration, value.get()));
    if (stop) PyErr_SetRaisedException(stop.release());
    return nullptr;
  });
}

int handle_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (auto& record = reinterpret_cast<HandleObject*>(self)->record) return record->traverse(visit, arg);
  return 0;
}

int handle_clear(PyObject* self) {
  if (auto& record = reinterpret_cast<HandleObject*>(self)->record) record->clear();
  return 0;
}

void handle_dealloc(PyObject* self) {
  guard_void([self] {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_flags & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
    reinterpret_cast<HandleObject*>(self)->record.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
  });
}

const PyMethodDef kDoneDef = {"done", handle_done, METH_NOARGS, "done($self)\n--\n\n"};
const PyMethodDef kResultDef = {"result", handle_result, METH_NOARGS, "result($self)\n--\n\n"};
const PyMethodDef kAddDoneCallbackDef = {
    "add_done_callback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handle_add_done_callback)),
    METH_FASTCALL | METH_KEYWORDS, "add_done_callback($self, cb)\n--\n\n"};

PyMethodDef kHandleMethods[] = {kDoneDef, kResultDef, kAddDoneCallbackDef, {nullptr, nullptr, 0, nullptr}};

// The callable handles are generic in their result type: CallableTask[int]
// is a types.GenericAlias, for annotations evaluated at run time.
PyMethodDef kGenericHandleMethods[] = {
    kDoneDef, kResultDef, kAddDoneCallbackDef,
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS, "See PEP 585"},
    {nullptr, nullptr, 0, nullptr},
};

struct HandleInfo {
  const char* name;
  const char* doc;
};

constexpr HandleInfo kHandleInfo[] = {
    {"builtins.NativeTask", "An awaitable native task handle driven directly by Corvalune's work-stealing pool."},
    {"builtins.CallableTask",
     "An awaitable generic Python callable task executed on Corvalune's work-stealing pool."},
    {"builtins.BatchNativeTask",
     "An awaitable batch of native tasks executed in parallel across Corvalune workers."},
    {"builtins.BatchCallableTask",
     "An awaitable batch of Python callables executed in parallel across Corvalune workers."},
};

ObjectCell g_handle_types[4];

PyObject* create_handle_type(HandleKind kind) {
  const HandleInfo& info = kHandleInfo[static_cast<int>(kind)];
  // Handles whose outcome holds Python objects take part in cycle collection
  // (see Completion::traverse); native handles hold only bytes.
  const bool holds_objects = kind == HandleKind::Callable || kind == HandleKind::BatchCallable;
  std::vector<PyType_Slot> slots = {
      {Py_tp_doc, const_cast<char*>(info.doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(handle_dealloc)},
      {Py_tp_methods, holds_objects ? kGenericHandleMethods : kHandleMethods},
      {Py_am_await, reinterpret_cast<void*>(handle_await)},
      {Py_tp_iter, reinterpret_cast<void*>(handle_iter)},
      {Py_tp_iternext, reinterpret_cast<void*>(handle_next)},
  };
  unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;
  if (holds_objects) {
    slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(handle_traverse)});
    slots.push_back({Py_tp_clear, reinterpret_cast<void*>(handle_clear)});
    flags |= Py_TPFLAGS_HAVE_GC;
  }
  slots.push_back({0, nullptr});
  PyType_Spec spec = {info.name, sizeof(HandleObject), 0, flags, slots.data()};
  return PyType_FromSpec(&spec);
}

}  // namespace

PyObject* handle_type(HandleKind kind) {
  return g_handle_types[static_cast<int>(kind)].get_or_init([kind] { return create_handle_type(kind); });
}

bool is_task_handle(PyObject* obj) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  for (const ObjectCell& cell : g_handle_types)
    if (cell.peek() == type) return true;
  return false;
}

PyObject* make_handle(HandleKind kind, std::shared_ptr<Completion> record) {
  PyObject* type = handle_type(kind);
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<HandleObject*>(self)->record) std::shared_ptr<Completion>(std::move(record));
  return self;
}

}  // namespace corvalune::sys
