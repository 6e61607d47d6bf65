#pragma once
// The layout of a `_FutureCore` and the parts of its protocol (future.hpp)
// that its transitions (future.cpp) and its Python type (future_type.cpp)
// share.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "interp/pyref.hpp"

namespace corvalune::sys::future_detail {

// The states, in the order of concurrent.futures' names (kStateNames).
enum State : std::uint32_t { kPending, kRunning, kCancelled, kCancelledNotified, kFinished, kFinishing };
inline constexpr std::uint32_t kStateMask = 7;
inline constexpr std::uint32_t kWatched = 8;

inline constexpr const char* kStateNames[] = {"PENDING", "RUNNING", "CANCELLED", "CANCELLED_AND_NOTIFIED", "FINISHED"};

struct FutureObject {
  PyObject_HEAD
  std::atomic<std::uint32_t> word;
  // The outcome: written once, by the settler that claimed the future, and
  // read without a lock once FINISHED is published (release/acquire on the
  // word). Owned.
  PyObject* result;
  PyObject* exception;
  // Made on first need and then fixed; published by compare-and-swap, so
  // two threads that race to make one end with the same object. Owned.
  std::atomic<PyObject*> lock;       // _thread.RLock
  std::atomic<PyObject*> condition;  // threading.Condition(lock)
  std::atomic<PyObject*> waiters;    // list: concurrent.futures' waiters; touched under the lock
  // list: appended under the lock while pending, or given before the
  // future is shared (future_bind_awaiting), when the watched bit is clear.
  std::atomic<PyObject*> callbacks;
  // The executor's pool handle while the call is queued, and the executor:
  // set and read by the package (`_handle`, `_executor`), under the object's
  // critical section (the submitting thread sets the handle while the worker
  // may drop it). Owned, may be null.
  PyObject* handle;
  PyObject* executor;
  // The asyncio future of a call submitted by asyncio's run_in_executor,
  // which the call's outcome settles (executor/loop_chain.hpp): set before
  // the future is shared, then fixed. Owned, may be null.
  PyObject* awaiting;
};

inline FutureObject* as_future(PyObject* self) noexcept { return reinterpret_cast<FutureObject*>(self); }
inline std::uint32_t state_of(std::uint32_t word) noexcept { return word & kStateMask; }
inline bool is_done(std::uint32_t state) noexcept {
  return state == kCancelled || state == kCancelledNotified || state == kFinished;
}

inline std::uint32_t load_state(PyObject* self) {
  // acquire: pairs with the release that published the state (and, for
  // FINISHED, the outcome).
  return state_of(as_future(self)->word.load(std::memory_order_acquire));
}

// The state's name as concurrent.futures spells it (borrowed); FINISHING
// reads as RUNNING.
PyObject* state_name(std::uint32_t state);

// Publishes `made` (a new reference) in `slot` unless another thread did
// first; returns the slot's object (borrowed).
PyObject* publish(std::atomic<PyObject*>& slot, Ref made);

// The future's lock, made on first need, with the watched bit set before it
// is returned: from then on every transition takes it. Borrowed; nullptr
// with an error set.
PyObject* watch(FutureObject* f);

// lock.acquire(), and lock.release() keeping a pending error as it was.
bool acquire(PyObject* lock);
bool release(PyObject* lock);

// Stores `state`, keeping the watched bit (under the lock, or by the
// settler that claimed the future).
void store_state(FutureObject* f, std::uint32_t state);

// fn(future), as the standard Future calls a done callback: an Exception is
// logged ("exception calling callback for <future>") and swallowed; anything
// else propagates (false, with it raised).
bool call_callback(PyObject* self, PyObject* fn);

// threading.Condition (borrowed); nullptr with an error set.
PyObject* condition_type();

}  // namespace corvalune::sys::future_detail
