// register_worker and RegisteredWorker: a Python thread joining the pool.
//
// The handle belongs to the thread that registered (its owner): the thread's
// local queue lives in that thread's slot, so every method checks the calling
// thread first. The owner is named by a per-thread token that is never
// reused in the life of the process: the operating system's thread ids are
// handed to new threads once the old ones end, and a newcomer with the same
// id must not deregister (and drop the queue of) a thread that has gone.
//
// A registration made before a fork belongs to the parent's pool, which the
// child abandons: in the child the handle behaves as deregistered, and its
// registration is left untouched (the parent's locks may be held by threads
// the child does not have).
//
// The pool's own threads cannot register: they are workers already, and a
// second registration would replace the queue their loop runs from. A borrow counter (only ever touched by the owner thread)
// guards re-entry from tasks that run_one runs: shared operations nest,
// deregistration needs exclusive use.
//
// Tasks found by run_one run on the calling thread while it stays attached,
// except for native work, which lets go (helping.hpp); a task that needs the
// interpreter attaches again, which nests.
#include "module/registration.hpp"

#include <atomic>
#include <memory>
#include <string>
#include <utility>

#include "interp/cells.hpp"
#include "interp/exceptions.hpp"
#include "interp/guard.hpp"
#include "interp/helping.hpp"
#include "interp/names.hpp"
#include "interp/report.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "panic.hpp"
#include "runtime.hpp"

namespace corvalune::sys {
namespace {

// A token for the calling thread, unique for the life of the process.
std::uint64_t thread_token() noexcept {
  static std::atomic<std::uint64_t> next{1};
  thread_local std::uint64_t token = 0;  // trivially destructible
  // relaxed: tokens only need to be unique.
  if (token == 0) token = next.fetch_add(1, std::memory_order_relaxed);
  return token;
}

struct WorkerState {
  std::shared_ptr<core::Scheduler> scheduler;
  std::uint64_t id;
  std::unique_ptr<core::WorkerContext> context;  // null once deregistered
  std::uint64_t owner;       // thread_token() of the registering thread
  std::uint64_t generation;  // core::fork_generation() at registration
  long borrow = 0;  // > 0: shared uses running; -1: an exclusive use

  // In a forked child, the registration belongs to the parent's abandoned
  // pool: it is abandoned too (never released), and the handle is
  // deregistered from then on.
  void forget_if_forked() noexcept {
    if (generation == core::fork_generation()) return;
    (void)context.release();
    generation = core::fork_generation();
  }
};

struct WorkerObject {
  PyObject_HEAD
  WorkerState* state;  // owned; abandoned when dropped on another thread
};

WorkerState& state_of(PyObject* self) { return *reinterpret_cast<WorkerObject*>(self)->state; }

void check_owner(WorkerState& state) {
  if (thread_token() != state.owner)
    throw core::Panic("corvalune_sys::PyRegisteredWorker is unsendable, but sent to another thread");
  state.forget_if_forked();
}

class SharedBorrow {
 public:
  explicit SharedBorrow(WorkerState& state) : state_(state) {
    if (state_.borrow < 0) return;
    ++state_.borrow;
    ok_ = true;
  }
  ~SharedBorrow() {
    if (ok_) --state_.borrow;
  }
  // False with RuntimeError set when an exclusive use is running.
  bool ok() const {
    if (!ok_) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return ok_;
  }

 private:
  WorkerState& state_;
  bool ok_ = false;
};

// Shared-borrow prologue: owner, borrow, still registered.
bool registered(WorkerState& state) {
  if (state.context) return true;
  PendingException{ExceptionKind::RegistrationError, "worker has already been deregistered"}.raise();
  return false;
}

// The prologue of every method but deregistration: the owner check, a
// shared borrow for the call and, unless `Any`, a present registration;
// then `body(state)`.
enum class Needs { Registration, Any };
template <class F>
PyObject* with_borrow(PyObject* self, Needs needs, F&& body) {
  return guard([&]() -> PyObject* {
    WorkerState& state = state_of(self);
    check_owner(state);
    SharedBorrow borrow(state);
    if (!borrow.ok()) return nullptr;
    if (needs == Needs::Registration && !registered(state)) return nullptr;
    return body(state);
  });
}

// The methods of RegisteredWorker, in the order of its method table.
struct WorkerId {
  static constexpr const char* owner = "RegisteredWorker";
  static constexpr const char* name = "worker_id";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) {
    return with_borrow(self, Needs::Registration,
                       [](WorkerState& state) { return PyLong_FromUnsignedLongLong(state.id); });
  }
};

struct RunOne {
  static constexpr const char* owner = "RegisteredWorker";
  static constexpr const char* name = "run_one";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) {
    return with_borrow(self, Needs::Registration, [](WorkerState& state) -> PyObject* {
      core::JobRef job = core::find_job(*state.context);
      if (!job) Py_RETURN_FALSE;
      if (!help_with(std::move(job))) return nullptr;
      Py_RETURN_TRUE;
    });
  }
};

struct RunUntilIdle {
  static constexpr const char* owner = "RegisteredWorker";
  static constexpr const char* name = "run_until_idle";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) {
    return with_borrow(self, Needs::Registration, [](WorkerState& state) -> PyObject* {
      // The context stays present: deregistration needs the exclusive
      // borrow this loop holds shared. Signals are looked at between jobs
      // too, since a run of native jobs runs no Python code that would.
      while (core::JobRef job = core::find_job(*state.context)) {
        if (!help_with(std::move(job)) || PyErr_CheckSignals() < 0) return nullptr;
      }
      Py_RETURN_NONE;
    });
  }
};

// Releases the registration (leave_pool); a no-op once deregistered.
PyObject* deregister_checked(WorkerState& state) {
  check_owner(state);
  if (state.borrow != 0) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  state.borrow = -1;
  std::unique_ptr<core::WorkerContext> context = std::move(state.context);
  context.reset();  // leave_pool: queued jobs go to the injector
  state.borrow = 0;
  Py_RETURN_NONE;
}

struct Deregister {
  static constexpr const char* owner = "RegisteredWorker";
  static constexpr const char* name = "deregister";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) { return deregister_checked(state_of(self)); }
};

struct Enter {
  static constexpr const char* owner = "RegisteredWorker";
  static constexpr const char* name = "__enter__";
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self) {
    return with_borrow(self, Needs::Any, [self](WorkerState&) { return Py_NewRef(self); });
  }
};

struct Exit {
  static constexpr const char* owner = "RegisteredWorker";
  static constexpr const char* name = "__exit__";
  static constexpr Param params[] = {
      {"_exc_type", false, true, "None"}, {"_exc_val", false, true, "None"}, {"_exc_tb", false, true, "None"}};
  static constexpr const char* doc = "";

  static PyObject* call(PyObject* self, PyObject* const*) { return deregister_checked(state_of(self)); }
};

void worker_dealloc(PyObject* self) {
  guard_void([self] {
    auto* obj = reinterpret_cast<WorkerObject*>(self);
    WorkerState* state = std::exchange(obj->state, nullptr);
    PyTypeObject* type = Py_TYPE(self);
    if (state != nullptr) {
      if (thread_token() == state->owner) {
        state->forget_if_forked();
        delete state;  // releasing a present context runs leave_pool
      } else {
        // The registration belongs to its own thread's queue slot: it is
        // left in place for the life of the process. The report names the
        // type, not the object: the object is being destroyed and must not
        // be handed to the unraisable hook.
        PyErr_SetString(PyExc_RuntimeError,
                        "corvalune_sys::PyRegisteredWorker is unsendable, but is being dropped on another thread");
        report_unraisable("while dropping", reinterpret_cast<PyObject*>(type));
      }
    }
    type->tp_free(self);
    Py_DECREF(type);
  });
}

PyMethodDef kWorkerMethods[] = {
    entry_def<WorkerId>(),   entry_def<RunOne>(), entry_def<RunUntilIdle>(),
    entry_def<Deregister>(), entry_def<Enter>(),  entry_def<Exit>(),
    {nullptr, nullptr, 0, nullptr},
};

ObjectCell g_worker_type;

struct RegisterWorker {
  static constexpr const char* name = "register_worker";
  static constexpr Param params[] = {{"kind", false, false, "\"bilingual\""}};
  static constexpr const char* doc = "Register the current Python thread into Corvalune's work-stealing pool.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    // The kind is checked and has no other effect: every registered thread
    // is scheduled alike.
    if (bound[0] != nullptr) {
      if (!PyUnicode_Check(bound[0])) {
        raise_type_mismatch(bound[0], "str", "kind");
        return nullptr;
      }
      // str.lower() is the full Unicode lower-casing; called on the str type
      // itself so that a subclass's own lower() has no say.
      Ref lowered = call_method(reinterpret_cast<PyObject*>(&PyUnicode_Type), Name::lower, bound[0]);
      if (!lowered) return nullptr;
      if (!PyUnicode_EqualToUTF8(lowered.get(), "native") && !PyUnicode_EqualToUTF8(lowered.get(), "bilingual")) {
        // Formatted from the str itself: the whole text is quoted, even one
        // holding a NUL or a lone surrogate.
        Ref message = Ref::steal(PyUnicode_FromFormat(
            "invalid worker kind: '%U', expected 'bilingual' or 'native'", lowered.get()));
        if (message) PyErr_SetObject(exception_type(ExceptionKind::RegistrationError), message.get());
        return nullptr;
      }
    }
    if (core::is_pool_thread()) {
      PendingException{ExceptionKind::RegistrationError,
                       "register_worker() cannot be called on a Corvalune pool thread: it is a worker of the pool "
                       "already"}
          .raise();
      return nullptr;
    }
    PyObject* type = registered_worker_type();
    if (type == nullptr) return nullptr;
    core::Runtime& runtime = core::global_runtime();
    auto state = std::make_unique<WorkerState>();
    state->scheduler = runtime.scheduler();
    state->context = core::enter_pool(runtime.scheduler());
    state->id = state->context->id;
    state->owner = thread_token();
    state->generation = core::fork_generation();
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject* self = tp->tp_alloc(tp, 0);
    if (self == nullptr) return nullptr;  // the state's release runs leave_pool
    reinterpret_cast<WorkerObject*>(self)->state = state.release();
    return self;
  }
};

}  // namespace

PyObject* registered_worker_type() {
  return g_worker_type.get_or_init([] {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("A registered worker handle exposed to Python.")},
        {Py_tp_dealloc, reinterpret_cast<void*>(worker_dealloc)},
        {Py_tp_methods, kWorkerMethods},
        {0, nullptr},
    };
    static PyType_Spec spec = {"builtins.RegisteredWorker", sizeof(WorkerObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                               slots};
    return PyType_FromSpec(&spec);
  });
}

PyMethodDef kRegisterWorkerDef = entry_def<RegisterWorker>();

}  // namespace corvalune::sys
