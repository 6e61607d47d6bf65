#pragma once
// Handing the outcomes of awaited handles to the asyncio loops that await
// them, one wake-up per burst instead of one per handle.
//
// An awaiting coroutine's asyncio future must be settled on its loop's
// thread. Scheduling each settlement with `loop.call_soon_threadsafe` costs,
// per handle, a write to the loop's self-pipe, the interpreter lock released
// and taken again around that write on the worker, and a wake-up of the loop
// when it sleeps: most of the cost of awaiting a short task. Instead each
// loop gets one mailbox. A completing handle posts (future, is_error, value)
// to it, and only a post that finds no drain scheduled schedules one (one
// `call_soon_threadsafe`); the drain, on the loop's thread, takes everything
// posted so far, in order, and settles each future unless it is done.
//
// Why nothing is lost: `scheduled` and the list change together under the
// mailbox's lock. The drain empties the list and clears `scheduled` in one
// step, before it settles anything; a post that comes after that step finds
// `scheduled` clear and schedules the next drain.
//
// A closed loop refuses the scheduling: what is posted then is dropped (its
// awaiting coroutines could never resume anyway), and the next post tries
// again. Any other failure to schedule (no memory) is tried again at once,
// up to kScheduleAttempts times in all; if it still fails it is reported,
// and what is posted stays in the mailbox with no drain scheduled, so the
// next post schedules the drain that takes it. A drain asked for but never
// run (the loop's own machinery failed before calling it: no memory for the
// callback's context) would leave `scheduled` set and the mailbox silent for
// ever: a post that finds the drain scheduled more than 100 ms ago asks for
// another (a drain that finds nothing costs nothing). An outcome the mailbox has
// no room for is scheduled on its own instead, and a future that cannot be
// settled with its outcome gets that failure as its exception: whatever
// goes wrong, the awaiting coroutine resumes unless its loop is gone. The
// mailbox lives on the loop, as the attribute `_corvalune_mailbox`
// (the loop and its mailbox refer to each other; the collector sees the
// cycle through the mailbox's traverse). A loop that takes no attributes
// gets no mailbox, and its outcomes are scheduled one by one.
//
// The lock is a native one, held only to move entries in and out: never
// while Python code runs or a reference is dropped.
#include <Python.h>

#include "interp/pyref.hpp"

namespace corvalune::sys {

// The mailbox of `loop`, made and stored on the loop on first use. The
// caller is attached, on the loop's thread. Empty, with no error set, when
// the loop takes no attributes; empty with an error set on a failure.
Ref loop_mailbox(PyObject* loop);

// Posts the outcome for `future` (a value, or the exception when `is_error`)
// to `mailbox` (made by loop_mailbox), scheduling its drain on the loop when
// none is. The caller is attached, on any thread.
void post_outcome(PyObject* mailbox, Ref future, bool is_error, Ref value);

// Schedules the settling of `future` with the outcome on `loop` by itself,
// for a loop without a mailbox. The caller is attached, on any thread.
void schedule_settle(PyObject* loop, Ref future, bool is_error, Ref value);

// Settles `future` with the outcome unless it is done already (its awaiting
// task may have been cancelled meanwhile); when that fails, the failure
// becomes the future's exception. On the loop's thread, attached. Returns
// false with an error set when even that fails.
bool settle_awaiting_future(PyObject* future, bool is_error, PyObject* value);

// Creates the function that settles a future on its loop's thread; called
// by the module's exec step, so that no worker ever has to. False with an
// error set.
bool make_settle_function();

}  // namespace corvalune::sys
