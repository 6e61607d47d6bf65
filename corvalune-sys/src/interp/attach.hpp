#pragma once
// Attaching threads to the interpreter, and detaching them.
//
// A thread that must touch Python objects attaches with `Attach` for that
// step only. Attachments nest: a per-thread depth counts them, and only the
// outermost one attaches and detaches. Once the interpreter has begun
// finalizing, attaching is a native failure: a worker must never touch an
// interpreter that is being torn down.
//
// Threads that are not pool threads (the main thread, registered Python
// threads, any other thread) attach through PyGILState_Ensure/Release, which
// finds the thread state such a thread already has or makes a temporary one.
//
// A pool thread has one thread state for its whole life. Its first attach
// creates it (PyThreadState_New on the main interpreter, bound to the thread
// and registered as its PyGILState state, so PyGILState_Check and
// PyGILState_Ensure on the thread find it) and installs threading's trace
// and profile hooks on it as a threading.Thread does when it starts. Every
// later attach swaps it in (PyEval_RestoreThread) and every detach swaps it
// out (PyEval_SaveThread). The interpreter's list of thread states owns it;
// the thread keeps only a plain pointer. So a thread that walks that list
// without the interpreter's locks (faulthandler's watchdog) never meets a
// state a pool thread is freeing, and threading.settrace_all_threads and
// setprofile_all_threads reach pool threads.
// It is cleared and deleted by this module only when an extra worker
// (watchdog.hpp) retires for want of work while the interpreter runs: the
// thread attaches once more, clears its state (which takes its dummy Thread
// out of threading's registry) and deletes it, so that extra workers coming
// and going leave nothing behind. Otherwise it is never cleared or deleted:
// - from just before finalization begins, pool threads no longer attach
//   (the exit gate, exit_gate.hpp, then Py_IsFinalizing, which stays true)
//   and the finalizing thread deletes the states of all other threads,
//   these included;
// - a pool thread that ends earlier (after shutdown() stops the pool) leaves
//   its detached state in the list, where finalization deletes it; nothing
//   runs for it at thread exit or static destruction;
// - in a forked child the pool threads do not exist and CPython deletes the
//   other threads' states itself; the child's pool threads are new threads
//   and make their own.
//
// Pool threads keep their attachment across consecutive jobs that need the
// interpreter ("lingering") while more work is queued on the same thread:
// attaching costs a hand-over of the interpreter lock, and a burst of
// callable jobs would otherwise pay it per job. A lingering thread lets go
// (swaps its state out) as soon as it runs a job that does not need the
// interpreter (detach_lingering at the start of native work), runs out of
// work (the worker loop's idle hook), or leaves the pool. While it runs
// Python code the interpreter's own switching still takes the lock away
// from it on request; between jobs it holds the lock only for the few
// microseconds the search for the next job takes.
#include <Python.h>

namespace corvalune::sys {

class Attach {
 public:
  // Whether a pool thread may keep the attachment after this one ends.
  // Only work that runs Python code from its entry may: entering a function
  // is where the interpreter hands its lock to a thread that asked for it.
  // Resuming a suspended coroutine frame is not such a point, so a coroutine
  // step keeps it only when it did not give way: a step that yielded None
  // (it polls a pending awaitable and is stepped again at once) lets go,
  // or that loop would never let go of the lock.
  enum class Linger { No, Yes };

  // Throws core::Panic "Cannot attach to the Python interpreter while it is
  // finalizing." when the interpreter is finalizing, and std::bad_alloc when
  // a pool thread has no memory for its thread state (its first attach).
  explicit Attach(Linger linger = Linger::No);

  // Changes the decision before the attachment ends.
  void set_linger(Linger linger) noexcept { linger_ = linger == Linger::Yes; }
  ~Attach();
  Attach(const Attach&) = delete;
  Attach& operator=(const Attach&) = delete;

 private:
  PyGILState_STATE state_;  // threads that are not pool threads, outermost only
  bool outermost_;
  bool linger_;
  bool pool_thread_;
};

// Lets go of a lingering attachment of the calling thread, if any, or of a
// helping registered thread's (helping.hpp).
void detach_lingering() noexcept;

// The number of Attach scopes open on the calling thread.
int attach_depth() noexcept;

// Installs detach_lingering as the pool's idle hook,
// release_retiring_thread_state as its retire hook, and the removal of an
// ending pool thread from threading's registry as its exit hook (once, at
// import).
void install_idle_hook() noexcept;

// An extra worker that retires frees its thread state (see above).
void release_retiring_thread_state() noexcept;

// True when the calling thread may touch Python objects.
bool thread_is_attached() noexcept;

}  // namespace corvalune::sys
