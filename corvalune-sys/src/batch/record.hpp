#pragma once
// Batch records: what the chunk tasks of one batch share with its handle.
//
// Each chunk computes its items without any lock, publishes them under one
// acquisition of the result lock (or its failure text under the error lock),
// and only then subtracts its item count from `remaining`. The chunk that
// brings `remaining` to zero completes the batch and runs the callbacks, so a
// handle that reads zero (acquire) finds every outcome in place. Slots are
// written once, by the chunk that owns them.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "sync/small_mutex.hpp"
#include <optional>
#include <string>
#include <vector>

#include "chunking.hpp"
#include "handles/completion.hpp"
#include "interp/deferred.hpp"
#include "workloads/transform.hpp"

namespace corvalune::sys {

class BatchCompletion : public Completion {
 public:
  explicit BatchCompletion(std::uint64_t items) : items_(items), remaining_(items) {}

  bool is_done() const noexcept override { return remaining_.load(std::memory_order_acquire) == 0; }

  // Items of finished chunks, and all items. Relaxed: a count to show, from
  // which nothing else is read (result() checks is_done itself).
  std::uint64_t items_done() const noexcept { return items_ - remaining_.load(std::memory_order_relaxed); }
  std::uint64_t items() const noexcept { return items_; }

  // Records the failure of a whole chunk (the last write wins): PanicInTask
  // with `message`, `error` as it is (work the stopped pool dropped), or
  // MemoryError.
  void set_error(std::string message) noexcept;
  void set_error(PendingException error) noexcept;
  void set_no_memory() noexcept;
  // From a chunk's catch block: the failure being handled, MemoryError for
  // std::bad_alloc and PanicInTask (its text, or `fallback`) otherwise.
  void set_current_failure(const char* fallback) noexcept;

  // Subtracts a finished chunk's items; true for the chunk that completes the
  // batch, which then runs the callbacks.
  bool finish_items(std::uint64_t count) noexcept {
    // acq_rel: release publishes this chunk's slots; acquire (for the last
    // chunk) sees every other chunk's before the callbacks run. Pairs with
    // the acquire load in is_done().
    return remaining_.fetch_sub(count, std::memory_order_acq_rel) == count;
  }

 protected:
  // Common head of result(): false with RuntimeError(`not_done`) or the
  // error of a failed chunk set; true when the caller should build the list.
  bool check_result(const char* not_done);
  bool failed() override;

 private:
  const std::uint64_t items_;
  std::atomic<std::uint64_t> remaining_;
  core::SmallMutex error_lock_;
  std::optional<PendingException> error_;  // guarded by error_lock_
};

// A native batch keeps each chunk's 32-byte results, and also a list for the
// whole batch, made at dispatch, in which each chunk's worker places its
// results as bytes objects while other chunks still compute, so that the
// first result() only hands the list over (each call returns a new list of
// new objects, as when every call made its own). A later call, and the
// slots of a chunk that placed nothing (the interpreter was finalizing, or
// memory ran out), are made from the native results.
//
// The list is not tracked by the collector until it is handed over: while
// slots are still empty, nothing else (gc.get_objects()) may reach it.
class BatchNativeCompletion final : public BatchCompletion {
 public:
  // `chunks`: the batch's chunk plan, in ascending order. `list`: a list of
  // `items` empty slots, not tracked by the collector, or none.
  BatchNativeCompletion(std::uint64_t items, std::vector<core::ChunkRange> chunks, Ref list)
      : BatchCompletion(items),
        chunks_(std::move(chunks)),
        target_(list.get()),
        list_(std::move(list)),
        results_(chunks_.size()),
        placed_(chunks_.size(), 0) {}
  PyObject* result() override;

  // The list a chunk places its objects in (nullptr if none). Only chunks
  // use it, before they publish: each writes only its own slots, attached,
  // without the lock. result() reads them only once done: finish_items'
  // release and is_done's acquire order every write before that read.
  PyObject* target() const noexcept { return target_; }
  // Chunk `chunk`'s results, and whether all its objects are in place.
  // Once per chunk.
  void publish(std::size_t chunk, std::vector<core::PipelineResult> results, bool placed);

 private:
  const std::vector<core::ChunkRange> chunks_;
  PyObject* const target_;  // list_ until the first result() takes it
  core::SmallMutex results_lock_;
  DeferredRef list_;  // guarded by results_lock_
  // Per chunk; empty until the chunk publishes (a failed chunk never does).
  // Written under results_lock_ by publish; read without it once the batch
  // is done, when nothing writes them any more.
  std::vector<std::vector<core::PipelineResult>> results_;
  std::vector<std::uint8_t> placed_;
};

// One item's outcome: the returned object or the raised exception.
struct ItemOutcome {
  DeferredRef object;
  bool is_error = false;
};

class BatchCallableCompletion final : public BatchCompletion {
 public:
  explicit BatchCallableCompletion(std::uint64_t items) : BatchCompletion(items), slots_(items) {}
  PyObject* result() override;
  int traverse(visitproc visit, void* arg) override;
  void clear() override;
  void publish(std::uint64_t start, std::vector<ItemOutcome> outcomes);

 private:
  bool failed() override;
  core::SmallMutex results_lock_;
  std::vector<ItemOutcome> slots_;  // guarded by results_lock_
};

}  // namespace corvalune::sys
