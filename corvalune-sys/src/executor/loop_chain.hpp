#pragma once
// asyncio's run_in_executor on corvalune.Executor: the outcome of a call
// reaches the awaiting asyncio future through the loop's mailbox.
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

}  // namespace corvalune::sys
