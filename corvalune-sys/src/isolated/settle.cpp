#include "isolated/settle.hpp"

#include <new>
#include <utility>

#include "handles/handles.hpp"
#include "interp/detach.hpp"
#include "interp/exceptions.hpp"
#include "interp/guard.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "panic.hpp"
#include "sync/spin_wait.hpp"

namespace corvalune::sys {
namespace isolated {

Ref failure_error(const std::string& failure, bool shut_down) {
  Ref exc = shut_down ? PendingException{ExceptionKind::PoolShutdownError, failure}.to_object()
                      : Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", failure.c_str()));
  return exc ? std::move(exc) : take_call_failure();
}

Ref failure_error(const SubResult& result) {
  if (!result.no_memory) return failure_error(result.failure, result.shut_down);
  // The crossing ran out of memory, not the call: the caller's MemoryError.
  PyErr_NoMemory();
  return take_call_failure();
}

Ref take_outcome(MainFunction which, const SubResult& result) {
  PyObject* take = main_function(which);
  if (take == nullptr) return {};
  Ref view = result.back.pickle_view();
  Ref buffers = view ? result.back.buffer_list() : Ref();
  if (!buffers) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(take, view.get(), buffers.get(), nullptr));
}

bool IsolatedCompletion::hand_over(Settlement& step, bool may_hand) noexcept {
  if (may_hand && phase_.load(std::memory_order_relaxed) == kWaited) {
    try {
      step_ = std::make_unique<Settlement>(std::move(step));
    } catch (const std::bad_alloc&) {
      // Kept: settled here.
    }
    if (step_) {
      std::uint8_t waited = kWaited;
      // W1. release: publishes step_ to the caller.
      if (phase_.compare_exchange_strong(waited, kHanded, std::memory_order_release, std::memory_order_relaxed))
        return true;
      step = std::move(*step_);  // the caller gave up first (C2)
      step_.reset();
    }
  }
  // W2. Nothing is published: relaxed is enough for the caller to see it is
  // not its step.
  phase_.exchange(kWorker, std::memory_order_relaxed);
  return false;
}

bool IsolatedCompletion::settle_on_caller() {
  std::uint8_t open = kOpen;
  // C1. Nothing to publish or read yet.
  if (!phase_.compare_exchange_strong(open, kWaited, std::memory_order_relaxed)) return false;
  std::uint8_t seen = kWaited;
  {
    Detach released;  // the worker may need the lock while the call runs
    core::poll_for(core::kCallerSpin, [&] {
      // acquire: pairs with W1's release, so step_ is seen.
      seen = phase_.load(std::memory_order_acquire);
      return seen != kWaited;
    });
  }
  // C2; a failure loads (acquire) what the worker wrote instead.
  if (seen == kWaited &&
      phase_.compare_exchange_strong(seen, kOpen, std::memory_order_acquire, std::memory_order_acquire))
    return false;
  if (seen != kHanded) return false;
  // The caller's own reference (SettleOnCaller) keeps this record alive
  // past the step's.
  std::unique_ptr<Settlement> step = std::move(step_);
  settle(*step);
  return true;
}

void IsolatedCompletion::settle(Settlement& step) noexcept {
  try {
    const SubResult& result = step.result;
    if (!result.failure.empty()) {
      complete_error(failure_error(result));
    } else if (Ref outcome = take_outcome(MainFunction::TakeOutcome, result); !outcome) {
      complete_error(take_call_failure());
    } else if (PyTuple_GET_ITEM(outcome.get(), 0) == Py_True) {
      complete_value(Ref::borrow(PyTuple_GET_ITEM(outcome.get(), 1)));
    } else {
      complete_error(Ref::borrow(PyTuple_GET_ITEM(outcome.get(), 1)));
    }
  } catch (...) {
    complete_current_failure("isolated task panicked");
  }
  step.call.drop();
  try {
    run_callbacks();
  } catch (const core::Panic&) {
    // No attach for the callbacks: the interpreter is finalizing.
  }
  step.record.reset();  // may free this record: nothing follows
}

}  // namespace isolated

namespace {

struct SettleOnCaller {
  static constexpr const char* name = "_settle_on_caller";
  static constexpr Param params[] = {{"handle", true}};
  static constexpr const char* doc =
      "Polls briefly, without the interpreter lock, for the outcome of an isolated call's handle and\n"
      "settles it on this thread (its done callbacks run here). True when it did; False when the\n"
      "call is not done yet, or its worker settles it.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    // Owned for the poll: the callbacks may drop the caller's last reference.
    std::shared_ptr<Completion> record = handle_record(bound[0]);
    auto* isolated = dynamic_cast<isolated::IsolatedCompletion*>(record.get());
    if (isolated == nullptr || isolated->is_done()) Py_RETURN_FALSE;
    return PyBool_FromLong(isolated->settle_on_caller());
  }
};

}  // namespace

PyMethodDef kSettleOnCallerDef = entry_def<SettleOnCaller>();

}  // namespace corvalune::sys
