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

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "small_mutex.hpp"
#include <optional>
#include <string>
#include <vector>

#include "completion.hpp"

namespace corvalune::sys {

class BatchCompletion : public Completion {
 public:
  explicit BatchCompletion(std::uint64_t items) : remaining_(items) {}

  bool is_done() const noexcept override { return remaining_.load(std::memory_order_acquire) == 0; }

  // Records the failure of a whole chunk (the last write wins).
  void set_error(std::string message);

  // Subtracts a finished chunk's items; true for the chunk that completes the
  // batch, which then runs the callbacks.
  bool finish_items(std::uint64_t count) noexcept {
    // acq_rel: release publishes this chunk's slots; acquire (for the last
    // chunk) sees every other chunk's before the callbacks run. Pairs with
    // the acquire load in is_done().
    return remaining_.fetch_sub(count, std::memory_order_acq_rel) == count;
  }

 protected:
  // Common head of result(): nullptr with RuntimeError(`not_done`) or the
  // PanicInTask of a failed chunk; true when the caller should build the list.
  bool check_result(const char* not_done);

 private:
  std::atomic<std::uint64_t> remaining_;
  core::SmallMutex error_lock_;
  std::optional<std::string> error_;  // guarded by error_lock_
};

using NativeResult = std::array<std::uint8_t, 32>;

class BatchNativeCompletion final : public BatchCompletion {
 public:
  explicit BatchNativeCompletion(std::uint64_t items)
      : BatchCompletion(items), slots_(items), filled_(items, 0) {}
  PyObject* result() override;
  void publish(std::uint64_t start, const std::vector<NativeResult>& results);

 private:
  core::SmallMutex results_lock_;
  std::vector<NativeResult> slots_;    // guarded by results_lock_
  std::vector<std::uint8_t> filled_;   // guarded by results_lock_
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
  core::SmallMutex results_lock_;
  std::vector<ItemOutcome> slots_;  // guarded by results_lock_
};

}  // namespace corvalune::sys
