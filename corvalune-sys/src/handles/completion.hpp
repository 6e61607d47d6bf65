#pragma once
// Completion records: what one task (or the chunks of one batch) shares with
// the handle Python holds.
//
// Completion protocol, followed by every job:
//   1. store the outcome under the result lock;
//   2. mark done (release store, no lock held);
//   3. take the whole callback list under the callback lock;
//   4. call each callback with no lock held, attached to the interpreter;
//   5. if the handle is gone already, report a failure nobody retrieved
//      (unretrieved.cpp).
// `add_done_callback` appends under the callback lock and then reads the done
// mark again under that same lock. A completion that marked done before the
// append finds the callback in step 3 only if it took the list after the
// append; otherwise the registering thread sees the mark and takes the list
// itself. Either way every callback runs exactly once.
//
// The result lock and the callback lock are never held together, and no
// Python code runs while either is held. Records are shared through
// std::shared_ptr (atomic counts); any Python reference they hold is a
// DeferredRef, so the last owner may drop them on any thread.
//
// Size: a held completed NativeTask is its handle object (32 bytes) and its
// record with the shared_ptr's control block (one pooled 80-byte block), so
// the records keep their fields small: one callback inline (an awaited
// handle registers exactly one), the rest in a vector made on demand.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "sync/small_mutex.hpp"
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/exceptions.hpp"
#include "interp/pyref.hpp"
#include "workloads/transform.hpp"

namespace corvalune::sys {

class Completion {
 public:
  virtual ~Completion() = default;

  // Done condition, read without a lock (acquire).
  virtual bool is_done() const noexcept = 0;
  // The outcome as a new reference, or nullptr with an exception set
  // (RuntimeError before completion). The caller is attached.
  virtual PyObject* result() = 0;

  // Registers `cb` for `handle`. Returns 0, or -1 with an exception set if the
  // wrapper cannot be built. The caller is attached.
  int add_done_callback(PyObject* handle, PyObject* cb);

  // Registers a callable that takes no arguments as it is (no wrapper): the
  // same protocol as add_done_callback. The caller is attached.
  void add_wrapper(Ref wrapper);

  // Steps 3 to 5 of the protocol: takes the callbacks and calls them,
  // attaching if the calling thread is not attached, then reports a failure
  // whose handle is already gone. Call after marking done.
  // A thread that cannot attach for want of memory leaves the callbacks to
  // the next attach (call_when_attached).
  void run_callbacks();

  // run_callbacks for work the stopped pool drops, on whichever thread drops
  // it: once finalization has begun the thread must not attach (it may be a
  // pool thread), and the callbacks are released uncalled. The drop is not
  // the work's failure: it is never reported as unretrieved.
  void run_callbacks_for_dropped_work() noexcept;

  // A failure nobody retrieved (unretrieved.cpp). The handle's kind (a
  // HandleKind, which names its class) is set once, before the handle exists.
  void set_handle_kind(std::uint8_t kind) noexcept { handle_kind_ = kind; }
  // The handle is being collected (its finalizer); the caller is attached.
  void handle_collected();

  // The registered callbacks, taken out of a record in registration order.
  struct Callbacks {
    DeferredRef first;
    std::unique_ptr<std::vector<DeferredRef>> more;
    bool empty() const noexcept { return !first; }
  };

  // Cycle collection. A stored outcome can refer back to its handle (an
  // exception's traceback holds the frames that hold the handle), so the
  // handles of records that keep Python objects take part in garbage
  // collection. Only a done record's outcome is visited: it is immutable by
  // then, and pending callbacks must never be cleared (the job still runs
  // them when it completes).
  virtual int traverse(visitproc, void*) { return 0; }
  virtual void clear() {}

  // The handle of a record whose handle type takes part in collection,
  // once made (tracked) and when it is deallocated; the caller is attached.
  // A record may keep its handle untracked until its outcome is an object
  // that could lead back to it: most outcomes (None, numbers, strings) never
  // can, and every tracked handle is scanned by each collection while it
  // is held.
  virtual void bind_handle(PyObject*) {}
  virtual void unbind_handle() noexcept {}

 private:
  Callbacks take_callbacks_locked() noexcept {
    return {std::move(callbacks_.first), std::move(callbacks_.more)};
  }

  Callbacks callbacks_;  // guarded by callback_lock_

 protected:
  // The outcome was handed to someone: result() on a done record, or a
  // done callback. Relaxed: ordered with the collection mark by being on
  // the same atomic (see watch_).
  void mark_retrieved() noexcept { watch_.fetch_or(kRetrieved, std::memory_order_relaxed); }
  // Whether a done record holds a failure.
  virtual bool failed() { return false; }

 private:
  // Run by the completer at the end of run_callbacks: reports the failure if
  // the handle was collected first, attaching for it.
  void report_if_collected();
  // Logs the failure; the caller is attached.
  void report_unretrieved();

  static constexpr std::uint8_t kRetrieved = 1, kCollected = 2, kFinished = 4;

 protected:
  // Last, and small, so that a derived record's small fields fill the tail.
  core::SmallMutex callback_lock_;

 private:
  // kRetrieved, kCollected (the handle's finalizer ran) and kFinished (the
  // completer reached run_callbacks), each set once by fetch_or. acq_rel on
  // the two last: whichever of the handle's collection and the completion
  // comes second in this word's order sees both marks and is the one that
  // reports, so a failure is reported at most once; its acquire half sees
  // the outcome stored before kFinished and the kind set before kCollected.
  std::atomic<std::uint8_t> watch_{0};
  std::uint8_t handle_kind_ = 0xff;  // none until set
};

// Calls each wrapper with no arguments, printing and discarding what they
// raise, and releases them. The caller is attached.
void call_wrappers(Completion::Callbacks wrappers);

// Raises RuntimeError(`message`) for a result() asked of work still running,
// with a note that says how to wait for it.
void raise_not_completed(const char* message);

class CallableCompletion : public Completion {
 public:
  bool is_done() const noexcept override { return done_.load(std::memory_order_acquire) != 0; }
  PyObject* result() override;
  int traverse(visitproc visit, void* arg) override;
  void clear() override;
  void bind_handle(PyObject* handle) override;
  void unbind_handle() noexcept override;

  // Step 1 (and 2) of the protocol: exactly one of these, once. The caller
  // is attached.
  void complete_value(Ref value);
  void complete_error(Ref exception);
  // An error made only when the result is asked for: no Python object is
  // needed to store it, so any thread may.
  void complete_error(PendingException exception);
  void complete_panic(std::string message);
  // MemoryError, made when the outcome is read: nothing is allocated here.
  void complete_no_memory() noexcept;
  // From a catch block: the failure being handled, MemoryError for
  // std::bad_alloc and a panic (its text, or `fallback`) otherwise.
  void complete_current_failure(const char* fallback);

 private:
  bool failed() override;
  enum class Outcome : std::uint8_t { Empty, Value, Error };

  // Step 1 and 2 of the protocol: the outcome under the lock, then the mark.
  void store(Outcome outcome, Ref object, std::optional<PendingException> pending);
  void mark_done() noexcept {
    // release: publishes the stored outcome; pairs with the acquire in is_done().
    done_.store(1, std::memory_order_release);
  }

  // Tracks the bound handle once the stored object could lead back to it.
  // Under result_lock_, attached.
  void track_handle_locked() noexcept;

  core::SmallMutex result_lock_;
  Outcome outcome_ = Outcome::Empty;  // guarded by result_lock_
  DeferredRef object_;                      // the value or the exception object
  std::optional<PendingException> pending_;  // an error not yet created
  // The handle while it lives (borrowed: it owns this record), untracked
  // until track_handle_locked. Guarded by result_lock_, so that a job
  // completing on a worker and the handle's dealloc never cross.
  PyObject* handle_ = nullptr;
  std::atomic<std::uint8_t> done_{0};
};

// The outcome is written once, by the job, before the done mark, and is
// immutable after it: readers look only once they have seen the mark, so no
// lock guards it.
class NativeCompletion final : public Completion {
 public:
  NativeCompletion() noexcept {}
  ~NativeCompletion() override;
  NativeCompletion(const NativeCompletion&) = delete;
  NativeCompletion& operator=(const NativeCompletion&) = delete;

  bool is_done() const noexcept override { return done_.load(std::memory_order_acquire) != 0; }
  PyObject* result() override;

  // Step 1 and 2 of the protocol: exactly one of these, once.
  void complete_bytes(const core::PipelineResult& bytes);
  // PanicInTask(message), or `failure` as it is (work the stopped pool
  // dropped); MemoryError when there is no memory for it.
  void complete_failure(std::string message) noexcept;
  void complete_failure(PendingException failure) noexcept;
  void complete_no_memory() noexcept;

 private:
  bool failed() override;
  std::atomic<std::uint8_t> done_{0};
  enum class Outcome : std::uint8_t { Empty, Bytes, Failure, NoMemory } outcome_ = Outcome::Empty;
  union {
    core::PipelineResult bytes_;  // with Outcome::Bytes
    PendingException* failure_;   // with Outcome::Failure, owned; rare, so out of line
  };
};

}  // namespace corvalune::sys
