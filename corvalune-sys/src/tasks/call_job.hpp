#pragma once
// The job of a CallableTask: one call made on a pool thread, attached to the
// interpreter from the call to the last callback, its outcome kept in the
// completion record it shares with the task's handle.
//
// `Call` is what is called, held in the job itself: `Ref Call::operator()()`
// makes the call, attached (the outcome, or empty with the exception
// raised), and `void Call::release() noexcept` drops the references it owns
// (attached, or to the pending list when the job is dropped unrun).
#include <Python.h>

#include <memory>
#include <optional>
#include <utility>

#include "block_pool.hpp"
#include "handles/completion.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/guard.hpp"
#include "interp/helping.hpp"
#include "task.hpp"
#include "tasks/spawn.hpp"

namespace corvalune::sys {

template <class Call>
class CallJob final : public core::Pollable, public core::PoolAllocated {
 public:
  CallJob(Call call, std::shared_ptr<CallableCompletion> record)
      : call_(std::move(call)), record_(std::move(record)) {}

  core::Poll poll(core::Context&) override {
    // Outside the job's own guard: a finalizing interpreter fails the attach
    // and the task ends without an outcome.
    std::optional<Attach> attach;
    try {
      attach.emplace(Attach::Linger::Yes);
    } catch (...) {
      if (!failure_is_no_memory()) throw;
      // A thread with no memory for its thread state cannot make the call:
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
      Ref result = call_();
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

  // The call's references, then the record.
  void release() noexcept {
    call_.release();
    record_.reset();
  }

  Call call_;
  std::shared_ptr<CallableCompletion> record_;
};

// Spawns `call` as a CallableTask: its handle (a new reference), or nullptr
// with an error set (the pool is shut down; the call's references are then
// dropped unused). May throw std::bad_alloc.
template <class Call>
PyObject* spawn_call_task(Call call) {
  if (!ensure_pool_accepts_work()) return nullptr;
  drop_pending_references();
  auto record = core::make_pooled_shared<CallableCompletion>();
  spawn_on_pool(std::make_unique<CallJob<Call>>(std::move(call), record));
  return make_handle(HandleKind::Callable, std::move(record));
}

}  // namespace corvalune::sys
