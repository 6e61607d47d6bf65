// spawn_isolated and batch_spawn_isolated.
//
// The caller pickles the call (or each chunk of a batch) before anything is
// queued, so what cannot cross raises at the call and leaves nothing behind.
// A job then runs in three steps on whichever thread takes it:
//   1. in the thread's sub-interpreter: the crossing module unpickles the
//      call from the caller's memory, runs it and pickles the outcome;
//   2. attached to the main interpreter: the outcome is unpickled from the
//      sub-interpreter's memory into the completion record, the caller's
//      pickle is dropped, and the callbacks run (as for spawn_callable).
//      A single call's small outcome may be settled by a caller that waits
//      for it instead, on the caller's thread (settle.hpp);
//   3. in the sub-interpreter again, when the outcome is large or has
//      out-of-band buffers: its objects there are dropped (a small pickle
//      is copied out in step 1 instead).
// The sub-interpreter stays in use (see interpreters.hpp) from 1 to 3, so
// shutdown never ends it under a crossing that still reads its memory.
// The handles are the CallableTask and BatchCallableTask of every other
// callable job.
#include "isolated/jobs.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "batch/convert.hpp"
#include "batch/record.hpp"
#include "block_pool.hpp"
#include "chunking.hpp"
#include "handles/completion.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/exceptions.hpp"
#include "interp/guard.hpp"
#include "isolated/crossing.hpp"
#include "isolated/interpreters.hpp"
#include "isolated/settle.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "panic.hpp"
#include "runtime.hpp"
#include "task.hpp"
#include "tasks/spawn.hpp"

namespace corvalune::sys {
namespace {

using isolated::Crossing;
using isolated::IsolatedCompletion;
using isolated::MainFunction;
using isolated::Settlement;
using isolated::SubResult;
using isolated::SubFunction;
using isolated::SubInterpreter;

bool attached_to_main() noexcept {
  PyThreadState* state = PyThreadState_GetUnchecked();
  return state != nullptr && PyThreadState_GetInterpreter(state) == PyInterpreterState_Main();
}

// Step 1. `count`: the chunk's item count, or 0 for a single call.
SubResult run_in_sub(const Crossing& call, SubFunction which, std::uint64_t count) {
  SubResult out;
  try {
    out.sub = &isolated::enter_sub_interpreter();
  } catch (const isolated::SubInterpretersEnded& ended) {
    out.failure = ended.what();
    out.shut_down = true;
    return out;
  } catch (...) {
    // No memory for this thread's state or the interpreter's: the caller's
    // MemoryError, as for any allocation of the call.
    out.no_memory = failure_is_no_memory();
    out.failure = current_failure_message("cannot enter a sub-interpreter");
    return out;
  }
  isolated::InSub in(*out.sub);
  Ref view = call.pickle_view();
  Ref buffers = view ? call.buffer_list() : Ref();
  Ref sent;
  if (buffers) {
    PyObject* func = isolated::sub_function(*out.sub, which);
    if (which == SubFunction::RunCall) {
      sent = Ref::steal(PyObject_CallFunctionObjArgs(func, view.get(), buffers.get(), nullptr));
    } else {
      Ref n = Ref::steal(PyLong_FromUnsignedLongLong(count));
      if (n) sent = Ref::steal(PyObject_CallFunctionObjArgs(func, view.get(), buffers.get(), n.get(), nullptr));
    }
  }
  if (!sent || !out.back.take(std::move(sent))) {
    out.no_memory = PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
    out.failure = isolated::take_error_text();
  }
  out.back.keep_small();
  return out;
}

// Step 3 and the end of the use.
void finish_in_sub(SubResult& result) noexcept {
  if (result.sub == nullptr) return;
  if (result.back.holds_sender_objects()) {
    isolated::InSub in(*result.sub);
    result.back.drop();
  }
  isolated::leave_sub_interpreter(*result.sub);
}

class IsolatedCall final : public core::Pollable, public core::PoolAllocated {
 public:
  IsolatedCall(Crossing call, std::shared_ptr<IsolatedCompletion> record)
      : call_(std::move(call)), record_(std::move(record)) {}
  ~IsolatedCall() override {
    // Never run (the pool stopped first): the caller's pickle is dropped if
    // this thread may, else left.
    if (attached_to_main()) call_.drop();
  }

  core::Poll poll(core::Context&) override {
    Settlement step{run_in_sub(call_, SubFunction::RunCall, 0), std::move(call_), std::move(record_)};
    IsolatedCompletion& record = *step.record;
    // A step that needs the sub-interpreter no more may go to a waiting
    // caller (settle.hpp): the use ends first.
    const bool may_hand = !step.result.back.holds_sender_objects();
    if (may_hand) finish_in_sub(step.result);
    if (!record.hand_over(step, may_hand)) {
      try {
        // Outside any guard: a finalizing interpreter fails the attach and
        // the task ends without an outcome.
        Attach attach(Attach::Linger::Yes);
        record.settle(step);
      } catch (const core::Panic&) {
      } catch (const std::bad_alloc&) {
        settle_without_memory(step);
      }
    }
    if (!may_hand) finish_in_sub(step.result);
    return core::Poll::Ready;
  }

 private:
  // This thread has no memory for its main-interpreter state: the call
  // fails with MemoryError and its callbacks wait for a thread that can
  // attach, as a callable's do. The caller's pickle, which only an attached
  // thread may drop, is left.
  static void settle_without_memory(Settlement& step) noexcept {
    step.record->complete_no_memory();
    try {
      step.record->run_callbacks();
    } catch (...) {
      // Finalization began since: no callback runs any more.
    }
    step.record.reset();
  }

  Crossing call_;
  std::shared_ptr<IsolatedCompletion> record_;
};

class IsolatedChunk final : public core::Pollable, public core::PoolAllocated {
 public:
  IsolatedChunk(Crossing chunk, std::shared_ptr<BatchCallableCompletion> record, core::ChunkRange range,
                bool pairs)
      : chunk_(std::move(chunk)), record_(std::move(record)), range_(range), pairs_(pairs) {}
  ~IsolatedChunk() override {
    if (attached_to_main()) chunk_.drop();
  }

  core::Poll poll(core::Context&) override {
    const std::uint64_t count = range_.end - range_.start;
    SubResult result = run_in_sub(chunk_, SubFunction::RunChunk, count);
    std::optional<Attach> attach;
    try {
      attach.emplace(Attach::Linger::Yes);
    } catch (...) {
      // Finalizing: the chunk ends without an outcome. No memory for this
      // thread's main-interpreter state: its items fail with MemoryError
      // (its pickle, which only an attached thread may drop, is left).
      if (failure_is_no_memory()) {
        record_->set_no_memory();
        try {
          if (record_->finish_items(count)) record_->run_callbacks();
        } catch (...) {
          // Finalization began since: no callback runs any more.
        }
        record_.reset();
      }
      finish_in_sub(result);
      return core::Poll::Ready;
    }
    try {
      BatchCallableCompletion& record = *record_;
      try {
        record.publish(range_.start, outcomes(result, count, pairs_));
      } catch (...) {
        record.set_current_failure("isolated chunk panicked");
      }
      chunk_.drop();
      if (record.finish_items(count)) record.run_callbacks();
      record_.reset();
    } catch (const core::Panic&) {
    }
    attach.reset();  // ended before the sub-interpreter is entered again
    finish_in_sub(result);
    return core::Poll::Ready;
  }

 private:
  // Attached to the main interpreter: one outcome per item, or with `pairs`
  // one (succeeded, value or exception) tuple per item as its value. A chunk
  // without outcomes fails each of its items with the same exception.
  static std::vector<ItemOutcome> outcomes(const SubResult& result, std::uint64_t count, bool pairs) {
    std::vector<ItemOutcome> out;
    out.reserve(static_cast<std::size_t>(count));
    Ref list = result.failure.empty() ? isolated::take_outcome(MainFunction::TakeOutcomes, result) : Ref();
    if (list && PyList_Check(list.get()) && static_cast<std::uint64_t>(PyList_GET_SIZE(list.get())) == count) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(list.get(), i);
        if (pairs) {
          out.push_back({DeferredRef(Ref::borrow(pair)), false});
        } else {
          out.push_back({DeferredRef(Ref::borrow(PyTuple_GET_ITEM(pair, 1))), PyTuple_GET_ITEM(pair, 0) != Py_True});
        }
      }
      return out;
    }
    Ref error;
    if (!result.failure.empty()) {
      error = isolated::failure_error(result);
    } else if (list) {
      error = isolated::failure_error("a chunk's outcomes were lost");
    } else {
      error = take_call_failure();
    }
    if (!error) throw core::Panic("cannot make the exception of a failed chunk");
    for (std::uint64_t i = 0; i < count; ++i) {
      if (pairs) {
        Ref pair = Ref::steal(PyTuple_Pack(2, Py_False, error.get()));
        if (!pair) throw core::Panic("no memory for the outcome of a failed chunk");
        out.push_back({DeferredRef(std::move(pair)), false});
      } else {
        out.push_back({DeferredRef(error.clone()), true});
      }
    }
    return out;
  }

  Crossing chunk_;
  std::shared_ptr<BatchCallableCompletion> record_;
  core::ChunkRange range_;
  bool pairs_;
};

// The caller's pickle of `args` for `func`, made by the crossing module's
// `which`. False with the module's error set.
bool send(MainFunction which, PyObject* const* args, std::size_t n, Crossing& out) {
  PyObject* send = isolated::main_function(which);
  if (send == nullptr) return false;
  Ref sent = Ref::steal(PyObject_Vectorcall(send, args, n, nullptr));
  return sent && out.take(std::move(sent));
}

PyObject* or_none(PyObject* obj) { return obj != nullptr ? obj : Py_None; }

struct SpawnIsolated {
  static constexpr const char* name = "spawn_isolated";
  static constexpr Param params[] = {{"func", true},
                                     {"args", false, true, "None"},
                                     {"kwargs", false, true, "None"},
                                     {"initializer", false, true, "None"}};
  static constexpr const char* doc =
      "Run a Python call on Corvalune's pool inside the worker's own sub-interpreter.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    if (!check_call_arguments(bound[1], bound[2])) return nullptr;
    if (!ensure_pool_accepts_work()) return nullptr;
    drop_pending_references();
    Crossing call;
    PyObject* const args[] = {bound[0], or_none(bound[1]), or_none(bound[2]), or_none(bound[3])};
    if (!send(MainFunction::SendCall, args, std::size(args), call)) {
      call.drop();
      return nullptr;
    }
    auto record = core::make_pooled_shared<IsolatedCompletion>();
    spawn_on_pool(std::make_unique<IsolatedCall>(std::move(call), record));
    return make_handle(HandleKind::Callable, std::move(record));
  }
};

struct BatchSpawnIsolated {
  static constexpr const char* name = "batch_spawn_isolated";
  static constexpr Param params[] = {
      {"func", true}, {"args_list", true}, {"initializer", false, true, "None"}, {"outcomes", false, false, "False"}};
  static constexpr const char* doc =
      "Vectorized batch dispatch of one Python function across Corvalune workers, each call run in the "
      "worker's own sub-interpreter.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    Tuples tuples;
    if (!convert_args_list(bound[1], tuples)) return nullptr;
    const int pairs = bound[3] != nullptr ? PyObject_IsTrue(bound[3]) : 0;
    if (pairs < 0) return nullptr;
    const std::uint64_t n = tuples.size();
    if (n > 0 && !ensure_pool_accepts_work()) return nullptr;
    drop_pending_references();
    std::vector<core::ChunkRange> chunks;
    core::Runtime* runtime = nullptr;
    if (n > 0) {
      runtime = &core::global_runtime();
      chunks = core::plan_chunks(n, core::registered_count(*runtime->scheduler()));
    }
    // Every chunk is pickled before any is queued. An empty batch still
    // checks its function.
    std::vector<Crossing> sent;
    sent.reserve(std::max<std::size_t>(chunks.size(), 1));
    const auto drop_all = [&sent] {
      for (Crossing& c : sent) c.drop();
    };
    const std::size_t rounds = chunks.empty() ? 1 : chunks.size();
    for (std::size_t k = 0; k < rounds; ++k) {
      const core::ChunkRange range = chunks.empty() ? core::ChunkRange{0, 0} : chunks[k];
      Ref items = Ref::steal(PyList_New(static_cast<Py_ssize_t>(range.end - range.start)));
      if (!items) {
        drop_all();
        return nullptr;
      }
      for (std::uint64_t i = range.start; i < range.end; ++i)
        PyList_SET_ITEM(items.get(), static_cast<Py_ssize_t>(i - range.start), tuples[i].clone().release());
      Ref first = Ref::steal(PyLong_FromUnsignedLongLong(range.start));
      if (!first) {
        drop_all();
        return nullptr;
      }
      PyObject* const args[] = {bound[0], items.get(), or_none(bound[2]), first.get()};
      sent.emplace_back();
      if (!send(MainFunction::SendChunk, args, std::size(args), sent.back())) {
        drop_all();
        return nullptr;
      }
    }
    auto record = core::make_pooled_shared<BatchCallableCompletion>(n);
    if (chunks.empty()) {
      drop_all();
    } else {
      for (std::size_t k = 0; k < chunks.size(); ++k) {
        core::Task::spawn(runtime->scheduler(), std::make_unique<IsolatedChunk>(std::move(sent[k]), record, chunks[k], pairs != 0))
            .reset();
      }
    }
    return make_handle(HandleKind::BatchCallable, std::move(record));
  }
};

}  // namespace

PyMethodDef kSpawnIsolatedDef = entry_def<SpawnIsolated>();
PyMethodDef kBatchSpawnIsolatedDef = entry_def<BatchSpawnIsolated>();

}  // namespace corvalune::sys
