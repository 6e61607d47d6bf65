#pragma once
// The exit gate: no thread of ours begins to attach once the interpreter is
// about to finalize.
//
// A check of Py_IsFinalizing() before attaching cannot keep a pool thread
// out on its own. A thread that read false can be preempted before it swaps
// its thread state in; meanwhile the main thread begins finalizing, deletes
// every other thread's state (this thread's kept one among them) and tears
// the runtime down. The thread then swaps in a freed state, or, at its first
// attach, makes a state that finalization never saw, takes the interpreter
// lock once the finalizing thread lets go of it for the last time, and runs
// Python code in a runtime that is gone. (Seen: a crash in the unraisable
// hook, at the exit of a quarter of the runs of a program that spawns one
// callable and ends at once.)
//
// So the gate closes before finalization begins, from an atexit callback
// the module registers at import. atexit callbacks run while the interpreter
// is still whole, before it is marked finalizing; the corvalune package's
// shutdown hook, registered after the import, runs before this one.
// Re-checking Py_IsFinalizing() once attached was rejected: by then a freed
// state has been used. Py_AtExit callbacks run only after the other threads'
// states are gone.
//
// Protocol (every operation seq_cst: a store then a load on each side, as in
// Dekker's mutual exclusion, which weaker orders do not make safe):
//   attaching thread: in_flight += 1; if closed { in_flight -= 1; refuse }
//                     swap a thread state in (the interpreter lock held);
//                     in_flight -= 1.
//   closing thread:   closed = true; let go of the interpreter; wait until
//                     in_flight == 0; attach again.
// In the single order of these operations either the attaching thread's
// increment comes first, and the closer waits until that attach is done
// (the interpreter is whole meanwhile: the closer is still in its atexit
// callback), or the closer's store comes first, and the attaching thread
// sees the gate closed and backs out. Once the closer returns, no thread of
// ours swaps a state in through Attach; a thread attached by then is an
// ordinary thread to CPython's finalization.
//
// What the gate guards: every attach of a pool thread, and of any other
// thread that has no thread state of its own (PyGILState_Ensure would make
// one). Python threads (the main thread, registered threads) attach with the
// state CPython gave them and are not gated. A refused attach fails as one
// refused for finalization does: queued Python work is not run from then
// on, as it is not once finalization has begun.
#include <Python.h>

namespace corvalune::sys {

// One pass through the gate, for one attach: admitted() is false when the
// gate is closed. The pass ends (in_flight -= 1) at leave() or destruction.
class ExitGatePass {
 public:
  ExitGatePass() noexcept;
  ~ExitGatePass() { leave(); }
  bool admitted() const noexcept { return admitted_; }
  // Call once the thread state is swapped in.
  void leave() noexcept;
  ExitGatePass(const ExitGatePass&) = delete;
  ExitGatePass& operator=(const ExitGatePass&) = delete;

 private:
  bool admitted_;
  bool counted_;
};

// Registers the closing of the gate with atexit (at import; the caller is
// attached). False with an exception set.
bool register_exit_gate(PyObject* module);

}  // namespace corvalune::sys
