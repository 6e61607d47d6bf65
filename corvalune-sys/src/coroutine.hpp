#pragma once
// The Level 1 executor: Python coroutines driven on the pool without an
// event loop.
//
// A CoroutineTask is a pool job whose run is one step: send/throw into the
// coroutine, then act on what it yielded:
//   - an object with add_done_callback: register a ResumeCallback on it and
//     suspend (no thread is held); the callback stores how to resume and
//     queues the task again;
//   - None: the coroutine only gives way; queue it again at once (this is how
//     the module's own handles are awaited: their iterator yields None while
//     pending);
//   - anything else: the "cannot drive" TypeError.
// The outcome goes to the completion callback as (result, exception), at
// most once.
//
// Locks: the interpreter, then step_lock (held for the whole step, so at most
// one step of a task runs), then completion_lock or resume_lock, each held
// only to move a value in or out. step_lock is a PyMutex: a thread that
// must wait for it detaches from the interpreter while it waits, so the step
// that holds it can always get the interpreter back.
#include <Python.h>

#include <atomic>
#include <memory>

#include "pyref.hpp"

namespace corvalune::sys {

struct CancellationState {
  // Set once by CancellationToken.cancel(), never reset. A plain flag: the
  // step that reads it needs no other data from the thread that set it.
  std::atomic<bool> cancelled{false};
};

// Creates a coroutine task and queues it. `completion` may be empty,
// `cancellation` null (a fresh private state). With `inject`, the task goes
// to the global queue even from a thread that owns a local queue.
void submit_coroutine(Ref coroutine, Ref completion, std::shared_ptr<CancellationState> cancellation,
                      bool inject = false);

extern PyMethodDef kRunLevel1Def;

}  // namespace corvalune::sys
