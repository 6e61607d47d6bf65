// Batch dispatch: many items cut into contiguous chunks, one task per chunk,
// one handle for the whole batch.
//
// Inputs are converted (payloads referenced or copied, tuples referenced)
// before anything is queued, so a conversion error leaves nothing behind.
// The chunk plan is taken from the number of workers registered at dispatch
// time.
#include "batch/batch.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "batch/convert.hpp"
#include "batch/record.hpp"
#include "block_pool.hpp"
#include "chunking.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/guard.hpp"
#include "interp/helping.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "panic.hpp"
#include "runtime.hpp"
#include "tasks/pipeline.hpp"
#include "tasks/spawn.hpp"
#include "watchdog.hpp"
#include "workloads/transform.hpp"

namespace corvalune::sys {
namespace {

// --- chunk jobs --------------------------------------------------------------

// A chunk the stopped pool drops fails its batch; the batch completes when
// its last chunk, run or dropped, is over.
void fail_dropped(BatchCompletion& record, core::ChunkRange range) {
  record.set_error(dropped_at_shutdown());
  if (record.finish_items(range.end - range.start)) record.run_callbacks_for_dropped_work();
}

class NativeChunk final : public core::Pollable, public core::PoolAllocated {
 public:
  NativeChunk(std::shared_ptr<Payloads> payloads, std::shared_ptr<BatchNativeCompletion> record,
              std::size_t index, core::ChunkRange range, std::uint64_t rounds)
      : payloads_(std::move(payloads)), record_(std::move(record)), index_(index), range_(range), rounds_(rounds) {}

  core::Poll poll(core::Context&) override {
    detach_lingering();  // the chunk's transforms need no interpreter
    BatchNativeCompletion& record = *record_;
    try {
      std::vector<core::PipelineResult> results;
      results.reserve(static_cast<std::size_t>(range_.end - range_.start));
      const Payloads& p = *payloads_;
      // Results are placed run by run, each run as soon as it is computed:
      // the objects are made under the interpreter lock, and when the last
      // chunks of a batch end together, one waits for the other's
      // placement. Run by run it waits for one run's at most, and the
      // placements of the workers interleave with their computing.
      bool placed = true;
      for (std::uint64_t from = range_.start; from < range_.end; from += kPlaceRun) {
        const std::uint64_t to = std::min(range_.end, from + kPlaceRun);
        {
          core::ComputeScope computing;
          for (std::uint64_t i = from; i < to; ++i) {
            PyObject* payload = p.get(static_cast<std::size_t>(i));
            results.push_back(core::pipeline_transform(
                reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload)),
                static_cast<std::size_t>(PyBytes_GET_SIZE(payload)), rounds_));
          }
        }
        // Once a run could not be placed, the record makes the rest.
        placed = placed && place(results, from, to);
      }
      record.publish(index_, std::move(results), placed);
    } catch (...) {
      record.set_current_failure("batch chunk panicked");
    }
    if (record.finish_items(range_.end - range_.start)) record.run_callbacks();
    payloads_.reset();
    record_.reset();
    return core::Poll::Ready;
  }

  void discard() override { fail_dropped(*record_, range_); }

 private:
  // Items computed between two placements: a run's objects take about
  // 0.3 ms to make.
  static constexpr std::uint64_t kPlaceRun = 8192;

  // One attachment for items [from, to) of the batch: drops their payload
  // references and places their results (`results` holds the chunk's, from
  // its start), as bytes objects, in the record's list. False when they are
  // not all placed (the record makes the rest when the result is taken):
  // the batch has no list, memory ran out, or the interpreter is finalizing
  // (the references are then left to the payload vector).
  bool place(const std::vector<core::PipelineResult>& results, std::uint64_t from, std::uint64_t to) {
    // Attaching would be refused: not attempted.
    if (Py_IsFinalizing()) return false;
    std::optional<Attach> attach;
    try {
      attach.emplace();
    } catch (...) {
      return false;  // finalization began since the check above, or no memory
    }
    payloads_->drop_range(static_cast<std::size_t>(from), static_cast<std::size_t>(to));
    PyObject* list = record_->target();
    if (list == nullptr) return false;
    for (std::uint64_t i = from; i < to; ++i) {
      const core::PipelineResult& result = results[static_cast<std::size_t>(i - range_.start)];
      PyObject* item = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(result.data()), 32);
      if (item == nullptr) {
        PyErr_Clear();
        return false;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return true;
  }

  std::shared_ptr<Payloads> payloads_;
  std::shared_ptr<BatchNativeCompletion> record_;
  std::size_t index_;
  core::ChunkRange range_;
  std::uint64_t rounds_;
};

class CallableChunk final : public core::Pollable, public core::PoolAllocated {
 public:
  CallableChunk(Ref func, std::shared_ptr<const Tuples> tuples, std::shared_ptr<BatchCallableCompletion> record,
                core::ChunkRange range)
      : func_(std::move(func)), tuples_(std::move(tuples)), record_(std::move(record)), range_(range) {}

  core::Poll poll(core::Context&) override {
    std::optional<Attach> attach;  // once for the whole chunk
    try {
      attach.emplace(Attach::Linger::Yes);
    } catch (...) {
      // Finalizing: the chunk ends without an outcome, as before. No memory
      // for this thread's state: the chunk's items fail with MemoryError.
      if (!failure_is_no_memory()) throw;
      record_->set_no_memory();
      if (record_->finish_items(range_.end - range_.start)) record_->run_callbacks();
      func_.reset();
      tuples_.reset();
      record_.reset();
      return core::Poll::Ready;
    }
    BatchCallableCompletion& record = *record_;
    try {
      std::vector<ItemOutcome> outcomes;
      outcomes.reserve(static_cast<std::size_t>(range_.end - range_.start));
      for (std::uint64_t i = range_.start; i < range_.end; ++i) {
        Ref result = Ref::steal(PyObject_Call(func_.get(), (*tuples_)[i].get(), nullptr));
        if (result) {
          outcomes.push_back({DeferredRef(std::move(result)), false});
          continue;
        }
        // A PanicException fails the chunk.
        Ref failure = take_call_failure();
        note_interrupt(failure.get());
        outcomes.push_back({DeferredRef(std::move(failure)), true});
      }
      record.publish(range_.start, std::move(outcomes));
    } catch (...) {
      record.set_current_failure("batch callable chunk panicked");
    }
    if (record.finish_items(range_.end - range_.start)) record.run_callbacks();
    func_.reset();
    tuples_.reset();
    record_.reset();
    return core::Poll::Ready;
  }

  void discard() override { fail_dropped(*record_, range_); }

 private:
  DeferredRef func_;
  std::shared_ptr<const Tuples> tuples_;
  std::shared_ptr<BatchCallableCompletion> record_;
  core::ChunkRange range_;
};

// Starts the pool if needed and returns the chunk plan for n items.
std::pair<core::Runtime*, std::vector<core::ChunkRange>> plan(std::uint64_t n) {
  core::Runtime& runtime = core::global_runtime();
  return {&runtime, core::plan_chunks(n, core::registered_count(*runtime.scheduler()))};
}

struct BatchSpawnNativePipeline {
  static constexpr const char* name = "batch_spawn_native_pipeline";
  static constexpr Param params[] = {{"payloads", true}, {"rounds", false, false, "100"}};
  static constexpr const char* doc =
      "Vectorized batch dispatch of multiple native compute tasks across Corvalune workers.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    auto payloads = std::make_shared<Payloads>();
    if (!convert_payloads(bound[0], *payloads)) return nullptr;
    auto rounds = convert_rounds(bound[1]);
    if (!rounds) return nullptr;

    const std::uint64_t n = payloads->size();
    // An empty batch queues nothing: it is done at once, even on a stopped pool.
    if (n > 0 && !ensure_pool_accepts_work()) return nullptr;
    drop_pending_references();
    core::Runtime* runtime = nullptr;
    std::vector<core::ChunkRange> chunks;
    if (n > 0) std::tie(runtime, chunks) = plan(n);
    // The list the chunks fill. Without one (no memory for it now), result()
    // makes the list itself.
    Ref list;
    if (n > 0) {
      list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
      if (list) {
        PyObject_GC_UnTrack(list.get());
      } else {
        PyErr_Clear();
      }
    }
    auto record = core::make_pooled_shared<BatchNativeCompletion>(n, chunks, std::move(list));
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      core::Task::spawn(runtime->scheduler(), std::make_unique<NativeChunk>(payloads, record, k, chunks[k], *rounds))
          .reset();
    }
    return make_handle(HandleKind::BatchNative, std::move(record));
  }
};

struct BatchSpawnCallable {
  static constexpr const char* name = "batch_spawn_callable";
  static constexpr Param params[] = {{"func", true}, {"args_list", true}};
  static constexpr const char* doc =
      "Vectorized batch dispatch of multiple Python callables across Corvalune workers.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    auto tuples = std::make_shared<Tuples>();
    if (!convert_args_list(bound[1], *tuples)) return nullptr;

    const std::uint64_t n = tuples->size();
    // An empty batch queues nothing: it is done at once, even on a stopped pool.
    if (n > 0 && !ensure_pool_accepts_work()) return nullptr;
    drop_pending_references();
    auto record = core::make_pooled_shared<BatchCallableCompletion>(n);
    if (n > 0) {
      auto [runtime, chunks] = plan(n);
      std::shared_ptr<const Tuples> shared = std::move(tuples);
      for (const auto& range : chunks) {
        core::Task::spawn(runtime->scheduler(),
                          std::make_unique<CallableChunk>(Ref::borrow(bound[0]), shared, record, range))
            .reset();
      }
    }
    return make_handle(HandleKind::BatchCallable, std::move(record));
  }
};

}  // namespace

PyMethodDef kBatchSpawnNativePipelineDef = entry_def<BatchSpawnNativePipeline>();
PyMethodDef kBatchSpawnCallableDef = entry_def<BatchSpawnCallable>();

}  // namespace corvalune::sys
