#include "interp/attach.hpp"

#include <new>

#include "interp/deferred.hpp"
#include "interp/exit_gate.hpp"
#include "interp/helping.hpp"
#include "panic.hpp"
#include "queues/local_queue.hpp"
#include "worker.hpp"

namespace corvalune::sys {
namespace {

thread_local int t_attach_depth = 0;
// A pool thread's attachment kept after its last Attach ended: its kept
// thread state is still the current one and it holds the interpreter lock.
thread_local bool t_lingering = false;
// A pool thread's own thread state, created at its first attach. The
// interpreter's list of thread states owns it; this is a plain pointer so that
// nothing runs for it when the thread or the process ends (see attach.hpp).
thread_local PyThreadState* t_kept_state = nullptr;

[[noreturn]] void refuse_finalizing() {
  throw core::Panic("Cannot attach to the Python interpreter while it is finalizing.");
}

// sys.<setter_name>(threading.<hook_name>) when the hook is set. False with
// an error set.
bool apply_hook(PyObject* threading, const char* hook_name, const char* setter_name) {
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttrString(threading, hook_name, &raw) < 0) return false;
  Ref hook = Ref::steal(raw);
  if (!hook) return true;
  const int set = PyObject_IsTrue(hook.get());
  if (set <= 0) return set == 0;
  Ref setter = Ref::borrow(PySys_GetObject(setter_name));
  if (!setter) {
    PyErr_Format(PyExc_RuntimeError, "lost sys.%s", setter_name);
    return false;
  }
  return static_cast<bool>(Ref::steal(PyObject_CallOneArg(setter.get(), hook.get())));
}

// Gives the calling pool thread its pool name in threading's registry, so
// that threading.current_thread().name, logging's %(threadName)s and
// tracebacks say "corvalune-worker-3" rather than "Dummy-12".
// current_thread() registers a dummy Thread for a thread threading did not
// start (as it would at the first call from Python code anyway); only its
// name changes. False with an error set.
bool name_thread(PyObject* threading) {
  Ref current = Ref::steal(PyObject_CallMethod(threading, "current_thread", nullptr));
  if (!current) return false;
  Ref name = Ref::steal(PyUnicode_FromString(core::current_worker_name().c_str()));
  return name && PyObject_SetAttrString(current.get(), "name", name.get()) == 0;
}

// threading._thread_local_info._track_dummy_thread_ref deleted on the
// calling thread, if threading is imported and the thread has one. False
// with an error set.
bool drop_dummy_thread_tracker() {
  Ref module_name = Ref::steal(PyUnicode_FromString("threading"));
  if (!module_name) return false;
  Ref threading = Ref::steal(PyImport_GetModule(module_name.get()));
  if (!threading) return PyErr_Occurred() == nullptr;
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttrString(threading.get(), "_thread_local_info", &raw) <= 0) {
    return PyErr_Occurred() == nullptr;
  }
  Ref info = Ref::steal(raw);
  if (PyObject_DelAttrString(info.get(), "_track_dummy_thread_ref") == 0) return true;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
  PyErr_Clear();  // never registered
  return true;
}

// Takes an ending pool thread out of threading's registry, where
// current_thread() put it (name_thread): threading.enumerate() no longer
// lists it. Releasing the thread's dummy-thread tracker, as CPython does when
// a thread it did not start clears its state, removes the entry. Only for a
// thread that made its state (and so may have been registered), and never
// once finalization has begun.
void leave_threading() noexcept {
  if (t_kept_state == nullptr || Py_IsFinalizing()) return;
  try {
    Attach attach;
    if (!drop_dummy_thread_tracker()) {
      PyErr_FormatUnraisable("Exception ignored while taking a Corvalune worker thread out of threading");
    }
  } catch (const core::Panic&) {
    // Finalization began since the check: Attach refused.
  }
}

// Introduces the calling pool thread to threading, once, when it makes its
// thread state: the pool name, and threading's trace and profile hooks, as a
// threading.Thread gets when it starts. Only when threading is already
// imported (as the corvalune package does): a pool thread never imports it.
// The caller is attached; a failure is reported as unraisable and never
// reaches the job.
void introduce_to_threading() noexcept {
  Ref module_name = Ref::steal(PyUnicode_FromString("threading"));
  Ref threading = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
  const bool ok = threading ? name_thread(threading.get()) &&
                                  apply_hook(threading.get(), "_trace_hook", "settrace") &&
                                  apply_hook(threading.get(), "_profile_hook", "setprofile")
                            : PyErr_Occurred() == nullptr;
  if (!ok) {
    PyErr_FormatUnraisable("Exception ignored while introducing a Corvalune worker thread to threading");
  }
}

// The outermost attach of a pool thread: swaps its kept state in, creating
// it the first time. `pass` is left once a state is swapped in.
void attach_pool_thread(ExitGatePass& pass) {
  if (PyThreadState* kept = t_kept_state) {
    PyEval_RestoreThread(kept);
    pass.leave();
    return;
  }
  // Created detached and bound to this thread, also as its PyGILState state
  // (no other state was bound: this thread never attached before), so
  // PyGILState_Check and PyGILState_Ensure on this thread find it; its
  // PyGILState counter starts at 1, so a PyGILState_Ensure/Release pair run
  // by Python code on this thread never deletes it.
  PyThreadState* state = PyThreadState_New(PyInterpreterState_Main());
  // Only memory can be missing: the job reports MemoryError, and the next
  // attach of this thread tries again.
  if (state == nullptr) throw std::bad_alloc();
  t_kept_state = state;
  PyEval_RestoreThread(state);
  pass.leave();
  introduce_to_threading();
}

}  // namespace

// The thread state attached to this thread, if any. Not PyGILState_Check:
// once any sub-interpreter has existed it answers yes on every thread.
bool thread_is_attached() noexcept {
  return t_attach_depth > 0 || t_lingering || PyThreadState_GetUnchecked() != nullptr;
}

Attach::Attach(Linger linger) : linger_(linger == Linger::Yes), pool_thread_(core::is_pool_thread()) {
  outermost_ = t_attach_depth == 0;
  if (outermost_ && t_lingering) {
    // Still attached from the previous job. A finalization that began since
    // is waiting for this thread to let go: do so, and refuse.
    if (Py_IsFinalizing()) {
      detach_lingering();
      refuse_finalizing();
    }
    t_lingering = false;
  } else if (outermost_) {
    // Py_IsFinalizing stays true once set, also after finalization ends: a
    // kept state (freed by the finalizing thread) is never swapped in again.
    // A thread that is attached already (the finalizing thread itself, in a
    // __del__ that adds a done callback) needs nothing new and may go on.
    if (Py_IsFinalizing() && (pool_thread_ || PyThreadState_GetUnchecked() == nullptr)) refuse_finalizing();
    if (pool_thread_) {
      ExitGatePass pass;
      if (!pass.admitted()) refuse_finalizing();
      attach_pool_thread(pass);
    } else if (PyGILState_GetThisThreadState() == nullptr) {
      // A thread with no state of its own (PyGILState_Ensure makes one).
      ExitGatePass pass;
      if (!pass.admitted()) refuse_finalizing();
      state_ = PyGILState_Ensure();
    } else {
      state_ = PyGILState_Ensure();
    }
  }
  ++t_attach_depth;
  if (outermost_) drop_pending_references();
}

Attach::~Attach() {
  --t_attach_depth;
  if (!outermost_) return;
  if (!pool_thread_) {
    PyGILState_Release(state_);
    return;
  }
  // Kept only while more work is queued right here: a burst of jobs shares
  // one attachment, while the last job of a burst lets go at once, so a
  // thread waiting for what it just completed (a resolved future, a
  // finished coroutine) gets the interpreter without waiting for this one.
  if (linger_ && !Py_IsFinalizing() && core::work_at_hand()) {
    t_lingering = true;
  } else {
    PyEval_SaveThread();
  }
}

void detach_lingering() noexcept {
  if (!t_lingering) {
    detach_helping_thread();  // a registered thread running native work
    return;
  }
  t_lingering = false;
  PyEval_SaveThread();
}

int attach_depth() noexcept { return t_attach_depth; }

void release_retiring_thread_state() noexcept {
  PyThreadState* kept = t_kept_state;
  if (kept == nullptr || Py_IsFinalizing()) return;  // finalization deletes it
  detach_lingering();
  ExitGatePass pass;
  if (!pass.admitted()) return;  // as above
  t_kept_state = nullptr;
  PyEval_RestoreThread(kept);
  pass.leave();
  // Clearing runs the thread's thread-local destructors, among them the one
  // that takes threading's dummy Thread for this thread out of
  // threading._active; errors there are reported by CPython as unraisable.
  PyThreadState_Clear(kept);
  PyThreadState_DeleteCurrent();  // also unbinds it as the PyGILState state
}

void install_idle_hook() noexcept {
  core::set_worker_idle_hook(&detach_lingering);
  core::set_worker_retire_hook(&release_retiring_thread_state);
  core::set_worker_exit_hook(&leave_threading);
}

}  // namespace corvalune::sys
