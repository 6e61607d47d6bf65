// The module entry: definition, exec step and `is_free_threaded`.
//
// Conventions shared by the whole binding layer:
// - every entry point runs its body under `guard` (guard.hpp);
// - every PyObject* is owned by a `Ref` (pyref.hpp) except at the C API call
//   itself;
// - type objects live in process-wide cells (cells.hpp), never released;
// - the module holds no native state: the pool belongs to the core runtime.
//
// The exec step adds names in a fixed order (exceptions, classes, functions,
// then __version__), appending each to __all__ as it goes.
#include <Python.h>

#include <cstring>
#include <string>

#include "asyncio/loop_mailbox.hpp"
#include "batch/batch.hpp"
#include "coroutines/cancellation.hpp"
#include "coroutines/coroutine.hpp"
#include "executor/future.hpp"
#include "executor/call.hpp"
#include "executor/map_calls.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "interp/closure.hpp"
#include "interp/exceptions.hpp"
#include "interp/exit_gate.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "interp/pyref.hpp"
#include "isolated/interpreters.hpp"
#include "isolated/jobs.hpp"
#include "module/args.hpp"
#include "module/blocking.hpp"
#include "module/entry.hpp"
#include "module/pool.hpp"
#include "module/registration.hpp"
#include "panic.hpp"
#include "tasks/callable.hpp"
#include "tasks/pipeline.hpp"
#include "worker.hpp"

namespace corvalune::sys {
namespace {

// The build defines the version from pyproject.toml, its one source.
#ifndef CORVALUNE_VERSION
#error "CORVALUNE_VERSION is defined by corvalune-sys/CMakeLists.txt"
#endif
constexpr const char* kVersion = CORVALUNE_VERSION;

// Adds `value` (a new reference, consumed) as attribute `name`, appending the
// name to the module's __all__ first.
int add_to_module(PyObject* module, const char* name, Ref value) {
  if (!value) return -1;
  PyObject* raw_all = nullptr;
  if (PyObject_GetOptionalAttrString(module, "__all__", &raw_all) < 0) return -1;
  Ref all = Ref::steal(raw_all);
  if (!all) {
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text) return -1;
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    // No memory to grow the list is told as every failed allocation is.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
    PyErr_Clear();
    throw core::Panic(std::string("could not append ") + name + " to __all__");
  }
  return PyObject_SetAttrString(module, name, value.get());
}

// numpy.bool scalars are accepted through their truth value.
bool is_numpy_bool(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  const char* name = type->tp_name;
  return name != nullptr && (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0);
}

struct IsFreeThreaded {
  static constexpr const char* name = "is_free_threaded";
  static constexpr const char* doc =
      "Check whether the active Python runtime has free-threading (PEP 779 / No-GIL) enabled.";

  static PyObject* call(PyObject*) {
    Ref sys = Ref::steal(PyImport_ImportModule("sys"));
    if (!sys) {
      PyErr_Clear();
      Py_RETURN_FALSE;
    }
    PyObject* raw_probe = nullptr;
    const int found = PyObject_GetOptionalAttrString(sys.get(), "_is_gil_enabled", &raw_probe);
    Ref probe = Ref::steal(raw_probe);
    if (found <= 0) {
      PyErr_Clear();
      Py_RETURN_FALSE;
    }
    Ref enabled = Ref::steal(PyObject_CallNoArgs(probe.get()));
    if (!enabled) {
      PyErr_Clear();
      Py_RETURN_FALSE;
    }
    int gil_enabled;
    if (PyBool_Check(enabled.get())) {
      gil_enabled = enabled.get() == Py_True;
    } else if (is_numpy_bool(enabled.get())) {
      gil_enabled = PyObject_IsTrue(enabled.get());
      if (gil_enabled < 0) {
        PyErr_Clear();
        Py_RETURN_FALSE;
      }
    } else {
      Py_RETURN_FALSE;
    }
    return PyBool_FromLong(!gil_enabled);
  }
};

PyMethodDef kIsFreeThreadedDef = entry_def<IsFreeThreaded>();

// Module functions in the order they are added.
PyMethodDef* const kFunctions[] = {
    &kIsFreeThreadedDef,
    &kRegisterWorkerDef,
    &kSpawnCoroutineDef,
    &kRunLevel1Def,
    &kNativePipelineTransformDef,
    &kSpawnNativePipelineDef,
    &kBatchSpawnNativePipelineDef,
    &kSpawnCallableDef,
    &kBatchSpawnCallableDef,
    &kSpawnIsolatedDef,
    &kBatchSpawnIsolatedDef,
    &kConfigureDef,
    &kWorkerCountDef,
    &kDefaultWorkerCountDef,
    &kShutdownDef,
};

// An extra worker that retires ends its sub-interpreter, if it made one,
// then frees its thread state: nothing it made outlives its thread.
void retire_extra_worker() noexcept {
  if (!Py_IsFinalizing()) isolated::end_own_sub_interpreter();
  release_retiring_thread_state();
}

int exec_module(PyObject* module) {
  return guard_int([module]() -> int {
    // CPython enforces the slot below only for sub-interpreters that ask
    // for it; one with the legacy configuration would load the module and
    // run its work in the main interpreter. Refuse every one the same way.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
      PyErr_SetString(PyExc_ImportError, "module _corvalune_sys does not support loading in subinterpreters");
      return -1;
    }
    install_idle_hook();
    core::set_worker_retire_hook(&retire_extra_worker);
    if (!PyModule_Check(module)) {
      raise_type_mismatch(module, "module", nullptr);
      return -1;
    }
    // What workers use without a caller to report to is made here, where a
    // failure (no memory) fails the import.
    if (!make_names() || panic_exception_type() == nullptr || !make_closure_type() || !make_settle_function())
      return -1;
    static constexpr struct {
      const char* name;
      ExceptionKind kind;
    } exceptions[] = {
        {"PanicInTask", ExceptionKind::PanicInTask},
        {"TaskCancelled", ExceptionKind::TaskCancelled},
        {"RegistrationError", ExceptionKind::RegistrationError},
        {"PoolShutdownError", ExceptionKind::PoolShutdownError},
    };
    for (const auto& e : exceptions) {
      if (add_to_module(module, e.name, Ref::borrow(exception_type(e.kind))) < 0) return -1;
    }

    // Classes, in order of addition. Every one must be built: a type that
    // cannot be created fails the import.
    static constexpr struct {
      const char* name;
      HandleKind kind;
    } classes[] = {
        {"NativeTask", HandleKind::Native},
        {"CallableTask", HandleKind::Callable},
        {"BatchNativeTask", HandleKind::BatchNative},
        {"BatchCallableTask", HandleKind::BatchCallable},
    };
    PyObject* token_type = cancellation_token_type();
    if (token_type == nullptr || add_to_module(module, "CancellationToken", Ref::borrow(token_type)) < 0)
      return -1;
    PyObject* worker_type = registered_worker_type();
    if (worker_type == nullptr || add_to_module(module, "RegisteredWorker", Ref::borrow(worker_type)) < 0)
      return -1;
    for (const auto& c : classes) {
      PyObject* type = handle_type(c.kind);
      if (type == nullptr) return -1;
      if (add_to_module(module, c.name, Ref::borrow(type)) < 0) return -1;
    }

    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef* def : kFunctions) {
      Ref func = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
      if (add_to_module(module, def->ml_name, std::move(func)) < 0) return -1;
    }
    // Private names, for the corvalune package: not in __all__.
    for (PyMethodDef* def : {&kPoolStatsDef, &kSetExtraWorkerLimitDef, &kSettleOnCallerDef, &kSubmitCallDef,
                              &kRunsOnThisThreadDef, &kRunMapCallsDef, &kMapReportDef, &kHelpUntilDef}) {
      Ref func = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
      if (!func || PyObject_SetAttrString(module, def->ml_name, func.get()) < 0) return -1;
    }
    PyObject* future_core = future_core_type();
    if (future_core == nullptr || PyObject_SetAttrString(module, "_FutureCore", future_core) < 0) return -1;
    if (!register_exit_gate(module)) return -1;
    Ref blocking = Ref::steal(new_blocking_scope_object());
    if (!blocking || PyObject_SetAttrString(module, "_blocking", blocking.get()) < 0) return -1;
    return add_to_module(module, "__version__", Ref::steal(PyUnicode_FromString(kVersion)));
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // One process-wide pool serves the main interpreter only: its workers
    // attach to that interpreter, so a sub-interpreter (shared GIL or not)
    // gets CPython's ImportError instead of work run in the wrong place.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_corvalune_sys",
    "Python extension module definition.",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace corvalune::sys

PyMODINIT_FUNC PyInit__corvalune_sys() { return PyModuleDef_Init(&corvalune::sys::kModuleDef); }
