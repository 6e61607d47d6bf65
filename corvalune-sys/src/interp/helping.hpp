#pragma once
// A registered thread helping the pool: run_one and run_until_idle run
// queued jobs on the calling thread, which is attached (it called them from
// Python).
//
// While it runs a job that needs no interpreter (native work), such a thread
// lets go of the interpreter, as a pool thread does (detach_lingering, which
// native jobs call first), so that other Python threads run meanwhile; it is
// attached again when the job is over.
//
// A signal's exception (KeyboardInterrupt, SystemExit) raised in a job that
// a helping thread runs fails that job's task as any exception does, and is
// then also raised to the thread's caller, as asyncio lets it out of
// run_until_complete: the program stays interruptible while its main thread
// helps.
#include <Python.h>

#include "interp/pyref.hpp"
#include "job.hpp"

namespace corvalune::sys {

// Marks the calling (attached) thread as helping for the scope of one job.
// Attached again, if the job let go, when the scope ends.
class HelpingScope {
 public:
  HelpingScope() noexcept;
  ~HelpingScope();
  HelpingScope(const HelpingScope&) = delete;
  HelpingScope& operator=(const HelpingScope&) = delete;

 private:
  int saved_depth_;
};

// Called by detach_lingering: lets go of the interpreter when the calling
// thread helps and is attached only by its caller (no Attach of a job is
// open). True when it did.
bool detach_helping_thread() noexcept;

// Runs `job` on the calling (attached) thread inside a HelpingScope. False
// with the exception set when a signal's exception came out of it.
bool help_with(core::JobRef job);

// Whether the calling thread's stack has room for one more nested job: a
// wait that runs the work it waits for nests each job it runs on the stack
// of the wait, so it stops helping (and blocks, letting another worker take
// its place) once less than a quarter of the stack, or 512 KiB, is left, or
// less than half of Python's recursion limit. Where the stack cannot be
// measured, 16 nested helping waits are allowed.
bool stack_has_room() noexcept;

// Counts the helping waits running on the calling thread, for
// stack_has_room's fallback bound.
class HelpDepth {
 public:
  HelpDepth() noexcept;
  ~HelpDepth();
  HelpDepth(const HelpDepth&) = delete;
  HelpDepth& operator=(const HelpDepth&) = delete;
};

// Records `exc` (a new reference is taken) when it is a KeyboardInterrupt or
// a SystemExit raised on a thread that is not a pool thread: the helping
// loop raises it once the job is over. The first one recorded is kept.
void note_interrupt(PyObject* exc) noexcept;

// Raises the recorded exception in the calling thread and returns true, or
// returns false when none was recorded.
bool raise_noted_interrupt() noexcept;

}  // namespace corvalune::sys
