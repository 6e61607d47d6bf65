#pragma once
// asyncio's run_in_executor on corvalune.Executor: the outcome of a call
// reaches the awaiting asyncio future through the loop's mailbox.
//
// Called by asyncio's own run_in_executor (BaseEventLoop's, told by its
// code object) on the thread running that loop, submit makes the asyncio
// future itself and returns it, and asyncio's wrap_future passes it through
// as it is: the executor's future stays the executor's own (its pending
// set, shutdown, cancel_futures), and its one done callback, listed before
// the call is spawned, posts the outcome to the loop's mailbox. Per call
// that saves asyncio's chaining (three closures and a callback on each
// future, with a lock made for the executor's future) and the copy of the
// outcome scheduled as a callback of its own: about two thirds of the
// loop's work per gathered call. The awaiting future's cancellation reaches
// the call when it starts (a call cancelled before it starts does not run),
// rather than at once through a callback; a running call runs to its end
// either way.
//
// Otherwise (another loop's run_in_executor, a subclass's submit, a
// future given to wrap_future by hand) asyncio chains the futures itself,
// and the chaining is kept short instead:
//
// loop.run_in_executor(executor, fn) chains the executor's future to an
// asyncio future (asyncio.wrap_future): a done callback, asyncio's own
// `_call_set_state`, schedules the copy of the outcome with
// `loop.call_soon_threadsafe`. Per call that is a write to the loop's
// self-pipe, with the interpreter lock released and taken again around it on
// the worker; with many calls in flight most of their cost is the lock
// passed back and forth between the workers and the loop. When that callback
// is added on the thread that runs its loop, the future keeps instead a
// callable that posts the outcome to the loop's mailbox
// (asyncio/loop_mailbox.hpp): one wake-up of the loop per burst. A result,
// and an exception other than concurrent.futures' CancelledError and
// InvalidStateError, are posted as they are; a cancelled call, and those two
// exceptions (which asyncio converts to its own), go through asyncio's
// callback, as without this.
#include <Python.h>

#include "interp/pyref.hpp"

namespace corvalune::sys {

// For `fn` given to add_done_callback of a pending executor future: the
// callable to keep instead (a new reference), or empty when `fn` is
// anything but asyncio's chaining callback for a loop running on this
// thread, or that loop takes no mailbox. Never fails: on any failure `fn`
// is kept (empty, no error set).
Ref chain_through_mailbox(PyObject* fn);

// For `future`, just made by submit and not yet shared: when the Python
// function calling this was called by asyncio's run_in_executor of the
// loop running on this thread, and that loop takes a mailbox, the asyncio
// future to return instead (a new reference), bound to `future` (its done
// callback posts the outcome). Otherwise empty. Never fails: on any
// failure the future is left unbound (empty, no error set).
Ref bind_to_awaiting_loop(PyObject* future);

}  // namespace corvalune::sys
