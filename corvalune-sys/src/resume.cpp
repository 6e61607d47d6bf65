// The resume callback: what a suspended coroutine task registers with the
// awaitable it waits on.
#include <atomic>

#include "attach.hpp"
#include "coroutine_task.hpp"
#include "guard.hpp"
#include "handles.hpp"
#include "names.hpp"

namespace corvalune::sys {
namespace {

// What a resume callback holds until its first call. The first call takes
// both out (atomically: two threads may call it at once), so that an
// awaitable that keeps its callbacks after calling them (as
// concurrent.futures.Future does) does not keep the task, and through it the
// coroutine, alive in a cycle the collector cannot see. Later calls do
// nothing: the task was queued once already.
struct ResumeState {
  std::atomic<CoroutineTask*> task;  // one reference, until the first call
  DeferredRef awaitable;             // owned by whoever takes `task`
  ~ResumeState() {
    if (CoroutineTask* t = task.exchange(nullptr, std::memory_order_acq_rel)) t->release_ref();
  }
};

constexpr const char* kResumeCapsule = "corvalune.resume_callback";

void destroy_resume_state(PyObject* capsule) {
  guard_void([capsule] { delete static_cast<ResumeState*>(PyCapsule_GetPointer(capsule, kResumeCapsule)); });
}

// The pending exception as a throw action. Whatever an awaitable raises
// when asked for its outcome (CancelledError for a cancelled future) is
// what the awaiting coroutine must see: resuming it with None instead would
// report a failure as success.
ResumeAction raised_action() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return {};
  return {ResumeAction::Kind::Throw, DeferredRef(std::move(exc))};
}

// fut.result() as a send action, or what it raised as a throw action.
ResumeAction result_action(PyObject* fut) {
  Ref value = call_method(fut, Name::result);
  if (!value) return raised_action();
  return {ResumeAction::Kind::Send, DeferredRef(std::move(value))};
}

// How to resume a coroutine parked on `fut`, once it is done.
ResumeAction outcome_action(PyObject* fut) {
  // The module's own handles are iterators: the coroutine sits in the
  // handle's __next__ (see handles.cpp), and a plain next step (send(None))
  // lets __next__ return the outcome or raise the failure itself.
  if (is_task_handle(fut)) return {};
  Ref exc = call_method(fut, Name::exception);
  if (!exc) return raised_action();
  if (exc.get() != Py_None) return {ResumeAction::Kind::Throw, DeferredRef(std::move(exc))};
  return result_action(fut);
}

PyObject* call_resume(PyObject* capsule, PyObject* args, PyObject*) {
  return guard([capsule, args]() -> PyObject* {
    auto* state = static_cast<ResumeState*>(PyCapsule_GetPointer(capsule, kResumeCapsule));
    if (state == nullptr) return nullptr;
    Attach attach;
    // acq_rel: the winner of the exchange owns the task reference and the
    // awaitable; pairs with the exchange in ~ResumeState.
    CoroutineTask* task = state->task.exchange(nullptr, std::memory_order_acq_rel);
    if (task == nullptr) return PyTuple_New(0);
    core::JobRef task_ref = core::JobRef::from_raw(task);  // released attached, below
    Ref awaitable = state->awaitable.take();
    // An awaitable that passes itself is asked for its outcome; one that
    // passes nothing (the module's handles) is asked through the object the
    // coroutine parked on.
    if (PyTuple_GET_SIZE(args) > 0) {
      task->resume_with(outcome_action(PyTuple_GET_ITEM(args, 0)));
    } else {
      task->resume_with(is_task_handle(awaitable.get()) ? ResumeAction{} : result_action(awaitable.get()));
    }
    return PyTuple_New(0);
  });
}

PyMethodDef kResumeDef = {"resume_callback", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_resume)),
                          METH_VARARGS | METH_KEYWORDS, nullptr};

}  // namespace

Ref make_resume_callback(CoroutineTask* task, PyObject* awaitable) {
  task->add_ref();
  auto* state = new ResumeState{{task}, DeferredRef(Ref::borrow(awaitable))};
  Ref capsule = Ref::steal(PyCapsule_New(state, kResumeCapsule, destroy_resume_state));
  if (!capsule) {
    delete state;
    return {};
  }
  return Ref::steal(PyCFunction_New(&kResumeDef, capsule.get()));
}

}  // namespace corvalune::sys
