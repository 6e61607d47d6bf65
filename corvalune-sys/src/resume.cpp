// The resume callback: what a suspended coroutine task registers with the
// awaitable it waits on.
#include <atomic>

#include "attach.hpp"
#include "closure.hpp"
#include "coroutine_task.hpp"
#include "guard.hpp"
#include "handles.hpp"
#include "names.hpp"

namespace corvalune::sys {
namespace {

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

// Registered on the awaitable a coroutine task waits on. It holds one task
// reference and the awaitable until its first call, which takes both out
// (atomically: two threads may call it at once), so that an awaitable that
// keeps its callbacks after calling them (as concurrent.futures.Future does)
// does not keep the task, and through it the coroutine, alive: the task is
// native, and the collector cannot see a cycle through it. Later calls do
// nothing: the task was queued once already.
class ResumeCallback final : public ClosureBody {
 public:
  ResumeCallback(CoroutineTask* task, PyObject* awaitable) : task_(task), awaitable_(Ref::borrow(awaitable)) {
    task->add_ref();
  }
  ~ResumeCallback() override { drop_task(); }

  PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject*) override {
    Attach attach;
    // acq_rel: the winner of the exchange owns the task reference and the
    // awaitable; pairs with the exchange in drop_task.
    CoroutineTask* task = task_.exchange(nullptr, std::memory_order_acq_rel);
    if (task == nullptr) return PyTuple_New(0);
    core::JobRef task_ref = core::JobRef::from_raw(task);  // released attached, below
    Ref awaitable = awaitable_.take();
    // An awaitable that passes itself is asked for its outcome; one that
    // passes nothing (the module's handles) is asked through the object the
    // coroutine parked on.
    if (nargs > 0) {
      task->resume_with(outcome_action(args[0]));
    } else if (awaitable) {
      task->resume_with(is_task_handle(awaitable.get()) ? ResumeAction{} : result_action(awaitable.get()));
    }
    return PyTuple_New(0);
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(awaitable_.get());
    return 0;
  }
  void clear() override {
    awaitable_.reset();
    drop_task();
  }
  const char* what() const noexcept override { return "corvalune resume callback"; }

 private:
  void drop_task() {
    if (CoroutineTask* t = task_.exchange(nullptr, std::memory_order_acq_rel)) t->release_ref();
  }

  std::atomic<CoroutineTask*> task_;  // one reference, until the first call
  DeferredRef awaitable_;             // owned by whoever takes `task_`
};

}  // namespace

Ref make_resume_callback(CoroutineTask* task, PyObject* awaitable) {
  return make_closure(std::make_unique<ResumeCallback>(task, awaitable));
}

}  // namespace corvalune::sys
