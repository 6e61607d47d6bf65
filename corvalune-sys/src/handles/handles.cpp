#include "handles/handles.hpp"

#include <new>
#include <vector>

#include "asyncio/awaiting.hpp"
#include "coroutines/coroutine.hpp"
#include "interp/cells.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "module/args.hpp"
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

PyObject* handle_await(PyObject* self) {
  return guard([self]() -> PyObject* { return await_handle(self, record_of(self)); });
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
