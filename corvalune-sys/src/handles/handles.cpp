#include "handles/handles.hpp"

#include <new>
#include <vector>

#include "asyncio/awaiting.hpp"
#include "coroutines/coroutine.hpp"
#include "interp/cells.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "batch/record.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "panic.hpp"

namespace corvalune::sys {
namespace {

struct HandleObject {
  PyObject_HEAD
  std::shared_ptr<Completion> record;
};

Completion& record_of(PyObject* self) { return *reinterpret_cast<HandleObject*>(self)->record; }

// The class names, by HandleKind.
constexpr const char* kHandleNames[] = {"NativeTask", "CallableTask", "BatchNativeTask", "BatchCallableTask"};

template <HandleKind K>
struct Done {
  static constexpr const char* owner = kHandleNames[static_cast<int>(K)];
  static constexpr const char* name = "done";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) { return PyBool_FromLong(record_of(self).is_done()); }
};

template <HandleKind K>
struct Result {
  static constexpr const char* owner = kHandleNames[static_cast<int>(K)];
  static constexpr const char* name = "result";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) { return record_of(self).result(); }
};

template <HandleKind K>
struct AddDoneCallback {
  static constexpr const char* owner = kHandleNames[static_cast<int>(K)];
  static constexpr const char* name = "add_done_callback";
  static constexpr Param params[] = {{"cb", true}};
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self, PyObject* const* bound) {
    if (record_of(self).add_done_callback(self, bound[0]) < 0) return nullptr;
    Py_RETURN_NONE;
  }
};

template <HandleKind K>
struct Progress {
  static constexpr const char* owner = kHandleNames[static_cast<int>(K)];
  static constexpr const char* name = "progress";
  static constexpr const char* doc =
      "Return `(done, total)`: how many of the batch's items have finished so far, and how\n"
      "many it has. Items count as done when their chunk finishes; cheap enough to poll from\n"
      "a progress loop.";

  static PyObject* call(PyObject* self) {
    // Only the batch kinds have this method, and their records are batch records.
    const auto& record = static_cast<const BatchCompletion&>(record_of(self));
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(record.items_done()),
                         static_cast<unsigned long long>(record.items()));
  }
};

PyObject* handle_await(PyObject* self) {
  return guard([self]() -> PyObject* {
    // A Level 1 step drives the handle itself (see handle_next): no loop is
    // looked for. The first look imports asyncio, which would cost the
    // worker that runs the step a fraction of a second of CPU.
    if (in_level1_step()) return Py_NewRef(self);
    return await_handle(self, record_of(self));
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

// Reports a failure nobody retrieved (unretrieved.cpp). Runs attached:
// before tp_clear when the collector frees the handle, from dealloc
// otherwise.
void handle_finalize(PyObject* self) {
  if (auto& record = reinterpret_cast<HandleObject*>(self)->record) record->handle_collected();
}

void handle_dealloc(PyObject* self) {
  // While tracked, as the finalizer may resurrect the handle (a log handler
  // keeping the exception, whose traceback reaches the handle), and the
  // interpreter requires a collected type's object to be tracked across its
  // finalizer. A callable handle is tracked only once its result could refer
  // back to it: one that never was is tracked here, attached, so no
  // completing job can track it at the same time.
  if ((Py_TYPE(self)->tp_flags & Py_TPFLAGS_HAVE_GC) && !PyObject_GC_IsTracked(self)) PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
  guard_void([self] {
    PyTypeObject* type = Py_TYPE(self);
    auto& record = reinterpret_cast<HandleObject*>(self)->record;
    if (type->tp_flags & Py_TPFLAGS_HAVE_GC) {
      // Unbound first: a completing job must not track it from now on.
      if (record) record->unbind_handle();
      PyObject_GC_UnTrack(self);
    }
    record.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
  });
}

// The callable handles are generic in their result type: CallableTask[int]
// is a types.GenericAlias, for annotations evaluated at run time.
constexpr PyMethodDef kClassGetItemDef = {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
                                          "See PEP 585"};
constexpr PyMethodDef kEnd = {nullptr, nullptr, 0, nullptr};

constexpr HandleKind kN = HandleKind::Native, kC = HandleKind::Callable, kBN = HandleKind::BatchNative,
                     kBC = HandleKind::BatchCallable;

// Every handle has done(), result() and add_done_callback(cb); the batches
// also progress(), the callable kinds __class_getitem__.
PyMethodDef kNativeMethods[] = {entry_def<Done<kN>>(), entry_def<Result<kN>>(),
                                entry_def<AddDoneCallback<kN>>(), kEnd};
PyMethodDef kCallableMethods[] = {entry_def<Done<kC>>(), entry_def<Result<kC>>(),
                                  entry_def<AddDoneCallback<kC>>(), kClassGetItemDef, kEnd};
PyMethodDef kBatchNativeMethods[] = {entry_def<Done<kBN>>(), entry_def<Result<kBN>>(),
                                     entry_def<AddDoneCallback<kBN>>(), entry_def<Progress<kBN>>(), kEnd};
PyMethodDef kBatchCallableMethods[] = {entry_def<Done<kBC>>(),           entry_def<Result<kBC>>(),
                                       entry_def<AddDoneCallback<kBC>>(), entry_def<Progress<kBC>>(),
                                       kClassGetItemDef,                  kEnd};

struct HandleInfo {
  const char* name;
  const char* doc;
  PyMethodDef* methods;
};

const HandleInfo kHandleInfo[] = {
    {"builtins.NativeTask", "An awaitable native task handle driven directly by Corvalune's work-stealing pool.",
     kNativeMethods},
    {"builtins.CallableTask",
     "An awaitable generic Python callable task executed on Corvalune's work-stealing pool.", kCallableMethods},
    {"builtins.BatchNativeTask",
     "An awaitable batch of native tasks executed in parallel across Corvalune workers.", kBatchNativeMethods},
    {"builtins.BatchCallableTask",
     "An awaitable batch of Python callables executed in parallel across Corvalune workers.",
     kBatchCallableMethods},
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
      {Py_tp_methods, info.methods},
      {Py_tp_finalize, reinterpret_cast<void*>(handle_finalize)},
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

const char* handle_name(HandleKind kind) noexcept { return kHandleNames[static_cast<int>(kind)]; }

bool is_task_handle(PyObject* obj) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  for (const ObjectCell& cell : g_handle_types)
    if (cell.peek() == type) return true;
  return false;
}

std::shared_ptr<Completion> handle_record(PyObject* obj) noexcept {
  if (!is_task_handle(obj)) return nullptr;
  return reinterpret_cast<HandleObject*>(obj)->record;
}

PyObject* make_handle(HandleKind kind, std::shared_ptr<Completion> record) {
  PyObject* type = handle_type(kind);
  if (type == nullptr) return nullptr;
  record->set_handle_kind(static_cast<std::uint8_t>(kind));
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) return nullptr;
  auto& stored = *new (&reinterpret_cast<HandleObject*>(self)->record) std::shared_ptr<Completion>(std::move(record));
  if (tp->tp_flags & Py_TPFLAGS_HAVE_GC) stored->bind_handle(self);
  return self;
}

}  // namespace corvalune::sys
