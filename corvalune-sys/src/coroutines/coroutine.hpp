#pragma once
// The Level 1 executor: Python coroutines driven on the pool without an
// event loop.
//
// A coroutine runs as a core task (task.hpp) whose pollable's poll is one
// step: send/throw into the coroutine, then act on what it yielded:
//   - an object with add_done_callback: register a resume callback on it,
//     holding a waker, and return Pending (no thread is held); the callback
//     stores how to resume (the awaitable's result, or what it raised or
//     holds as its exception) and wakes the task;
//   - None: the coroutine only gives way; the poll wakes its own task and
//     returns Pending, so the task is queued again once the step is over;
//   - anything else: the "cannot drive" TypeError.
// The module's own handles, awaited inside a step, yield themselves while
// pending (they have add_done_callback), so such a coroutine costs nothing
// while it waits; driven by anything else they yield None and are polled.
// The outcome goes to the completion callback as (result, exception), at
// most once; a callback's own failure goes to the unraisable hook.
//
// Stepping is exclusive without a lock: the task's state word lets one
// thread poll at a time, and a wake that comes during a step (an
// add_done_callback that calls back at once, here or on another thread)
// only marks the task, which queues itself again when the step is over.
// Nothing ever waits for a step, so a step can call anything (an
// add_done_callback that calls back at once and then runs queued work, a
// nested run_level1) without deadlocking with itself.
//
// Locks: the interpreter, then the resume slot's lock, held only to move an
// action in or out.
#include <Python.h>

#include <atomic>
#include <memory>

#include "coroutines/cancellation.hpp"
#include "interp/pyref.hpp"

namespace corvalune::sys {

// Creates a coroutine task and queues it. `completion` may be empty,
// `cancellation` null (no token: nothing can cancel the task). False with
// an error set when nothing was queued.
bool submit_coroutine(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation);

// True while the calling thread sends into a Level 1 coroutine: the
// module's handles then park the coroutine on themselves (they have
// add_done_callback) instead of asking to be polled.
bool in_level1_step() noexcept;

extern PyMethodDef kRunLevel1Def;

}  // namespace corvalune::sys
