// The resume callback: what a suspended coroutine task registers with the
// awaitable it waits on.
#include <atomic>

#include "coroutines/coroutine_task.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "interp/closure.hpp"
#include "interp/deferred.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"

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

// Registered on the awaitable a coroutine task waits on. It holds a waker
// (one task reference) and the awaitable until its first call, which takes
// both out (atomically: two threads may call it at once), so that an
// awaitable that keeps its callbacks after calling them (as
// concurrent.futures.Future does) does not keep the task, and through it the
// coroutine, alive: the task is native, and the collector cannot see a cycle
// through it. Later calls do nothing: the task was woken once already.
class ResumeCallback final : public ClosureBody {
 public:
  ResumeCallback(core::Waker waker, std::shared_ptr<ResumeSlot> slot, PyObject* awaitable)
      : waker_(new core::Waker(std::move(waker))), slot_(std::move(slot)), awaitable_(Ref::borrow(awaitable)) {}
  ~ResumeCallback() override { drop_waker(); }

  PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject*) override {
    Attach attach;
    // acq_rel: the winner of the exchange owns the waker and the awaitable;
    // pairs with the exchange in drop_waker.
    std::unique_ptr<core::Waker> waker(waker_.exchange(nullptr, std::memory_order_acq_rel));
    if (!waker) return PyTuple_New(0);
    Ref awaitable = awaitable_.take();
    // An awaitable that passes itself is asked for its outcome; one that
    // passes nothing (the module's handles) is asked through the object the
    // coroutine parked on.
    if (nargs > 0) {
      slot_->put(outcome_action(args[0]));
    } else if (awaitable) {
      slot_->put(is_task_handle(awaitable.get()) ? ResumeAction{} : result_action(awaitable.get()));
    }
    // Wakes the task and drops its reference, attached: a task that ends
    // here releases its coroutine at once.
    std::move(*waker).wake();
    return PyTuple_New(0);
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(awaitable_.get());
    return 0;
  }
  void clear() override {
    awaitable_.reset();
    drop_waker();
  }
  const char* what() const noexcept override { return "corvalune resume callback"; }

 private:
  void drop_waker() { delete waker_.exchange(nullptr, std::memory_order_acq_rel); }

  std::atomic<core::Waker*> waker_;  // owned, until the first call
  const std::shared_ptr<ResumeSlot> slot_;
  DeferredRef awaitable_;  // owned by whoever takes `waker_`
};

}  // namespace

Ref make_resume_callback(core::Waker waker, std::shared_ptr<ResumeSlot> slot, PyObject* awaitable) {
  return make_closure(std::make_unique<ResumeCallback>(std::move(waker), std::move(slot), awaitable));
}

}  // namespace corvalune::sys
