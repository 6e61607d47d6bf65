// spawn_callable: one Python callable run on a pool worker.
//
// The job owns references to the callable, its argument tuple and keyword
// dict (the caller's own objects, read when the call is made) and shares the
// completion record with the returned CallableTask. It runs once, attached to
// the interpreter from the call to the last callback.
#include "tasks/callable.hpp"

#include <memory>
#include <optional>

#include "block_pool.hpp"
#include "handles/completion.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/guard.hpp"
#include "interp/helping.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "runtime.hpp"
#include "task.hpp"
#include "tasks/spawn.hpp"

namespace corvalune::sys {
namespace {

class CallableJob final : public core::Pollable, public core::PoolAllocated {
 public:
  CallableJob(Ref func, Ref args, Ref kwargs, std::shared_ptr<CallableCompletion> record)
      : func_(std::move(func)), record_(std::move(record)), args_(std::move(args)), kwargs_(std::move(kwargs)) {}

  core::Poll poll(core::Context&) override {
    // Outside the job's own guard: a finalizing interpreter fails the attach
    // and the task ends without an outcome.
    std::optional<Attach> attach;
    try {
      attach.emplace(Attach::Linger::Yes);
    } catch (...) {
      if (!failure_is_no_memory()) throw;
      // A thread with no memory for its thread state cannot run the call:
      // the task fails with MemoryError, and its callbacks wait for a thread
      // that can attach. The references go to the pending list.
      record_->complete_no_memory();
      record_->run_callbacks();
      release();
      return core::Poll::Ready;
    }
    run_attached();
    release();  // while still attached
    return core::Poll::Ready;
  }

  void discard() override {
    record_->complete_error(dropped_at_shutdown());
    record_->run_callbacks_for_dropped_work();
  }

 private:
  void run_attached() {
    CallableCompletion& record = *record_;
    try {
      Ref result;
      if (args_) {
        result = Ref::steal(PyObject_Call(func_.get(), args_.get(), kwargs_.get()));
      } else if (kwargs_) {
        Ref empty = Ref::steal(PyTuple_New(0));
        if (empty) result = Ref::steal(PyObject_Call(func_.get(), empty.get(), kwargs_.get()));
      } else {
        result = Ref::steal(PyObject_CallNoArgs(func_.get()));
      }
      if (result) {
        record.complete_value(std::move(result));
      } else {
        // A PanicException resumes as a native failure.
        Ref failure = take_call_failure();
        note_interrupt(failure.get());
        record.complete_error(std::move(failure));
      }
    } catch (...) {
      record.complete_current_failure("callable task panicked");
    }
    record.run_callbacks();
  }

  // In this order.
  void release() noexcept {
    args_.reset();
    kwargs_.reset();
    func_.reset();
    record_.reset();
  }

  DeferredRef func_;
  std::shared_ptr<CallableCompletion> record_;
  DeferredRef args_;
  DeferredRef kwargs_;
};

struct SpawnCallable {
  static constexpr const char* name = "spawn_callable";
  static constexpr Param params[] = {
      {"func", true}, {"args", false, true, "None"}, {"kwargs", false, true, "None"}};
  static constexpr const char* doc =
      "Spawn any arbitrary Python callable directly onto Corvalune's work-stealing pool.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    if (!check_call_arguments(bound[1], bound[2])) return nullptr;
    return spawn_callable_task(bound[0], bound[1], bound[2]);
  }
};

}  // namespace

PyObject* spawn_callable_task(PyObject* func, PyObject* args, PyObject* kwargs) {
  if (!ensure_pool_accepts_work()) return nullptr;
  drop_pending_references();
  auto record = core::make_pooled_shared<CallableCompletion>();
  spawn_on_pool(std::make_unique<CallableJob>(Ref::borrow(func), Ref::borrow(args), Ref::borrow(kwargs), record));
  return make_handle(HandleKind::Callable, std::move(record));
}

PyMethodDef kSpawnCallableDef = entry_def<SpawnCallable>();

}  // namespace corvalune::sys
