#pragma once
// The sub-interpreters isolated work runs in: one per thread that runs such
// work, made on its first isolated job and kept for the thread's life.
//
// Each has its own GIL and its own allocator, and refuses extension modules
// that do not support sub-interpreters (this module among them). Its one
// thread state belongs to the thread that made it; a job swaps it in and out
// (`InSub`), so later jobs pay no creation. A pool thread makes its main
// interpreter thread state first (see attach.hpp): that state, never a
// sub-interpreter's, is the one PyGILState finds on the thread.
//
// An extra worker that retires ends its own as it leaves. Registered Python
// threads that run an isolated job (run_one) get a sub-interpreter of their
// own in the same way; it outlives the thread if the thread ends first, and
// is ended with the others.
//
// Ending. `end_sub_interpreters` (the pool's shutdown, which the package runs
// at exit, before the interpreter finalizes) stops new isolated work and ends
// every sub-interpreter: an idle one at once, from the calling thread, with a
// thread state of its own (the owner's state is cleared and deleted first:
// Py_EndInterpreter wants the ending state current and alone); one running a
// call when that call is over, by whichever thread lets go of it last, while
// the caller waits. Such a call is abandoned as the pool's other work is at
// shutdown: SystemExit is raised in it. One blocked in native code holds the
// exit until that returns.
//
// A forked child starts with none: CPython deletes the parent's
// sub-interpreters in the child, and the child forgets the parent's records
// (left allocated: their locks may have been held by threads the child does
// not have).
#include <Python.h>

#include "panic.hpp"

namespace corvalune::sys::isolated {

struct SubInterpreter;

// Thrown by enter_sub_interpreter once shutdown has ended them for good.
class SubInterpretersEnded : public core::Panic {
 public:
  using core::Panic::Panic;
};

// The calling thread's sub-interpreter, counted as in use until the matching
// `leave`; made on first use. The thread may be attached to the main
// interpreter or not; it is as it was on return. Throws SubInterpretersEnded
// after shutdown, core::Panic when the interpreter cannot be made.
SubInterpreter& enter_sub_interpreter();

// Ends one use; ends the sub-interpreter when shutdown asked for it while
// it was in use. The calling thread is in the state it was in at enter.
void leave_sub_interpreter(SubInterpreter& sub) noexcept;

// The function of the sub-interpreter's crossing module named `which`
// (borrowed; owned by the sub-interpreter). Called inside it.
enum class SubFunction { RunCall, RunChunk };
PyObject* sub_function(SubInterpreter& sub, SubFunction which) noexcept;

// Swaps the calling thread into `sub` for a scope and back to what it was
// attached to before (the main interpreter, or nothing). A pool thread's
// lingering attachment is let go first.
class InSub {
 public:
  explicit InSub(SubInterpreter& sub) noexcept;
  ~InSub();
  InSub(const InSub&) = delete;
  InSub& operator=(const InSub&) = delete;

 private:
  PyThreadState* outer_;
};

// Stops isolated work and ends every sub-interpreter (see above). The caller
// is not attached to any interpreter.
void end_sub_interpreters() noexcept;

// Ends the calling thread's own sub-interpreter, if it made one and it is
// idle, and forgets it: for an extra worker that retires, so that no
// interpreter outlives its thread. Attached to nothing or to the main
// interpreter; the thread is as it was on return.
void end_own_sub_interpreter() noexcept;

// How many sub-interpreters exist now (for tests and benchmarks).
Py_ssize_t sub_interpreter_count() noexcept;

}  // namespace corvalune::sys::isolated
