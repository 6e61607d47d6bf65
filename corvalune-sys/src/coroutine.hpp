#pragma once
// The Level 1 executor: Python coroutines driven on the pool without an
// event loop.
//
// A CoroutineTask is a pool job whose run is one step: send/throw into the
// coroutine, then act on what it yielded:
//   - an object with add_done_callback: register a ResumeCallback on it and
//     suspend (no thread is held); the callback stores how to resume (the
//     awaitable's result, or what it raised or holds as its exception) and
//     queues the task again;
//   - None: the coroutine only gives way; queue it again once the step is
//     over;
//   - anything else: the "cannot drive" TypeError.
// The module's own handles, awaited inside a step, yield themselves while
// pending (they have add_done_callback), so such a coroutine costs nothing
// while it waits; driven by anything else they yield None and are polled.
// The outcome goes to the completion callback as (result, exception), at
// most once; a callback's own failure goes to the unraisable hook.
//
// Stepping is exclusive without a lock: a run moves the task's run state
// from idle to stepping, and a run that finds a step in progress marks it
// and leaves; the step in progress queues the task again when it ends.
// Nothing ever waits for a step, so a step can call anything (an
// add_done_callback that calls back at once and then runs queued work, a
// nested run_level1) without deadlocking with itself.
//
// Locks: the interpreter, then completion_lock or resume_lock, each held only
// to move a value in or out.
#include <Python.h>

#include <atomic>
#include <memory>

#include "cancellation.hpp"
#include "pyref.hpp"

namespace corvalune::sys {

// Creates a coroutine task and queues it. `completion` may be empty,
// `cancellation` null (a fresh private state).
void submit_coroutine(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation);

// True while the calling thread sends into a Level 1 coroutine: the
// module's handles then park the coroutine on themselves (they have
// add_done_callback) instead of asking to be polled.
bool in_level1_step() noexcept;

extern PyMethodDef kRunLevel1Def;

}  // namespace corvalune::sys
