// spawn_coroutine and CancellationToken.
//
// A token is the Python handle of a shared CancellationState. Cancelling is a
// single atomic store that any thread may make; coroutine tasks spawned with
// the token read the flag at the start of each step and, once it is set,
// throw TaskCancelled into the coroutine and report TaskCancelled("cancelled").
#include "coroutines/cancellation.hpp"

#include <memory>
#include <cstddef>
#include <new>

#include "coroutines/coroutine.hpp"
#include "interp/attach.hpp"
#include "interp/cells.hpp"
#include "interp/deferred.hpp"
#include "interp/exceptions.hpp"
#include "interp/guard.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "tasks/spawn.hpp"

namespace corvalune::sys {
namespace {

struct TokenObject {
  PyObject_HEAD
  std::shared_ptr<CancellationState> state;
  PyObject* weakrefs;  // the weak reference list (tp_weaklistoffset)
};

PyMemberDef kTokenMembers[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(TokenObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

CancellationState& state_of(PyObject* self) { return *reinterpret_cast<TokenObject*>(self)->state; }

struct NewToken {
  static constexpr const char* name = "CancellationToken";
  static constexpr const char* doc = "";

  static PyObject* construct(PyTypeObject* type, PyObject* const*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<TokenObject*>(self)->state) std::shared_ptr<CancellationState>(
        std::make_shared<CancellationState>());
    return self;
  }
};

void token_dealloc(PyObject* self) {
  guard_void([self] {
    PyTypeObject* type = Py_TYPE(self);
    if (reinterpret_cast<TokenObject*>(self)->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
    reinterpret_cast<TokenObject*>(self)->state.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
  });
}

struct Cancel {
  static constexpr const char* owner = "CancellationToken";
  static constexpr const char* name = "cancel";
  static constexpr const char* doc = "Trigger cancellation across all threads watching this token.";

  static PyObject* call(PyObject* self) {
    // release: orders nothing else; the flag itself is the whole message.
    state_of(self).cancelled.store(true, std::memory_order_release);
    Py_RETURN_NONE;
  }
};

struct IsCancelled {
  static constexpr const char* owner = "CancellationToken";
  static constexpr const char* name = "is_cancelled";
  static constexpr const char* doc = "Check whether cancellation was requested.";

  static PyObject* call(PyObject* self) {
    // acquire: pairs with the release store in Cancel.
    return PyBool_FromLong(state_of(self).cancelled.load(std::memory_order_acquire));
  }
};

struct ThrowIfCancelled {
  static constexpr const char* owner = "CancellationToken";
  static constexpr const char* name = "throw_if_cancelled";
  static constexpr const char* doc = "Raise `TaskCancelled` if this token has been cancelled.";

  static PyObject* call(PyObject* self) {
    // acquire: as in IsCancelled.
    if (state_of(self).cancelled.load(std::memory_order_acquire)) {
      PendingException{ExceptionKind::TaskCancelled, "operation was cancelled"}.raise();
      return nullptr;
    }
    Py_RETURN_NONE;
  }
};

PyMethodDef kTokenMethods[] = {
    entry_def<Cancel>(),
    entry_def<IsCancelled>(),
    entry_def<ThrowIfCancelled>(),
    {nullptr, nullptr, 0, nullptr},
};

ObjectCell g_token_type;

struct SpawnCoroutine {
  static constexpr const char* name = "spawn_coroutine";
  static constexpr Param params[] = {
      {"coro", true}, {"done_callback", false, true, "None"}, {"cancellation_token", false, true, "None"}};
  static constexpr const char* doc = "Spawn a Python coroutine into Corvalune's shared work-stealing pool.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    std::shared_ptr<CancellationState> cancellation;
    if (bound[2] != nullptr) {
      PyObject* type = cancellation_token_type();
      if (type == nullptr) return nullptr;
      if (!PyObject_TypeCheck(bound[2], reinterpret_cast<PyTypeObject*>(type))) {
        raise_type_mismatch(bound[2], "CancellationToken", "cancellation_token");
        return nullptr;
      }
      cancellation = reinterpret_cast<TokenObject*>(bound[2])->state;
    }
    if (!ensure_pool_accepts_work()) return nullptr;
    drop_pending_references();
    if (!submit_coroutine(Ref::borrow(bound[0]), Ref::borrow(bound[1]), std::move(cancellation))) return nullptr;
    Py_RETURN_NONE;
  }
};

}  // namespace

PyObject* cancellation_token_type() {
  return g_token_type.get_or_init([] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(entry_doc<NewToken>())},
        {Py_tp_new, reinterpret_cast<void*>(entry_new<NewToken>)},
        {Py_tp_dealloc, reinterpret_cast<void*>(token_dealloc)},
        {Py_tp_methods, kTokenMethods},
        {Py_tp_members, kTokenMembers},
        {0, nullptr},
    };
    static PyType_Spec spec = {"builtins.CancellationToken", sizeof(TokenObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromSpec(&spec);
  });
}

PyMethodDef kSpawnCoroutineDef = entry_def<SpawnCoroutine>();

}  // namespace corvalune::sys
