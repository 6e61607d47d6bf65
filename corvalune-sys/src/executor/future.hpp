#pragma once
// `_corvalune_sys._FutureCore`: the state and the hot transitions of
// corvalune.Executor's futures, under a class in the package that also
// derives from concurrent.futures.Future (its rare paths are written there,
// in Python, and the standard library's own code runs on it unchanged).
//
// The protocol. A future's state and a "watched" bit share one atomic word.
// While nobody watches (no thread waits on the future's condition, no
// callback is added while it is pending), a transition is a single
// compare-and-swap of the word: making a future, running it, settling it
// and reading its result take no lock. Watching makes the future's lock (a
// `_thread.RLock`) and sets the bit, with a read-modify-write of the word,
// before the watcher takes the lock; from then on every transition takes
// the lock, and, under it, tells the waiters and notifies the condition, as
// the standard Future does. A compare-and-swap that expected the bit clear
// fails once it is set, so a transition never slips past a watcher
// unannounced: either it came first in the word's modification order (the
// watcher's read-modify-write, and every look after it, sees it) or it
// fails and retries under the lock.
//
// Settling writes the result and the exception, which readers read without
// a lock once the state is FINISHED. So that exactly one thread writes
// them, a settler first claims the future (a private FINISHING state, read
// as RUNNING), writes them, then publishes FINISHED with a release
// compare-and-swap that keeps the watched bit; if that bit was set
// meanwhile, it tells the waiters and runs the callbacks as a locked
// transition does. Under the lock, FINISHING counts as finished for
// another settler (InvalidStateError) and as running for cancel().
//
// A call submitted by asyncio's run_in_executor gets its one done callback
// (the post of its outcome to the awaiting loop) before the future is
// shared, with the bit clear: the settler's fast path runs a callback list
// it finds, and nobody else lists one without watching.
#include <Python.h>

#include "interp/pyref.hpp"

namespace corvalune::sys {

// The type (borrowed), created on first use; nullptr with an error set.
PyObject* future_core_type();

// Whether `obj` is an instance of the type (or of a subclass).
bool is_future_core(PyObject* obj) noexcept;

// set_running_or_notify_cancel() of a future: 1 running, 0 cancelled (and
// its waiters told), -1 with an error set.
int future_set_running(PyObject* future);

// Settles a future with `result` or, when `exception` is not null, with that
// exception (both borrowed); runs its callbacks. -1 with an error set (an
// InvalidStateError for a future already settled or cancelled, or what a
// callback let through).
int future_settle(PyObject* future, PyObject* result, PyObject* exception);

// The outcome of a FINISHED future: true, with `result` (None when not
// set) or `exception` filled. False for a future that is not finished (or
// not one of these).
bool future_outcome(PyObject* future, Ref& result, Ref& exception);

// The executor's step after spawning the call: the future keeps its
// executor, and the pool handle while the call has not started; when a
// waiter asked first (the package's `_watched`), the handle is watched for a
// call the pool drops unrun (`_pool_settled`). False with an error set.
bool future_set_handle(PyObject* future, PyObject* handle, PyObject* executor);

// Binds a future not yet shared (just made, nothing listed, not watched)
// to `awaiting`, the asyncio future its call settles: `post` is its done
// callback. False with an error set.
bool future_bind_awaiting(PyObject* future, PyObject* awaiting, PyObject* post);

// The asyncio future a future was bound to (borrowed), or nullptr.
PyObject* future_awaiting(PyObject* future) noexcept;

// Drops the future's `_handle` (run_call's first step: the call started).
void future_drop_handle(PyObject* future) noexcept;

}  // namespace corvalune::sys
