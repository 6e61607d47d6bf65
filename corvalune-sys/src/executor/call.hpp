#pragma once
// One call submitted to corvalune.Executor: `_corvalune_sys._submit_call`
// makes its future and spawns the job that runs it.
#include <Python.h>

#include "interp/pyref.hpp"

namespace corvalune::sys {

extern PyMethodDef kSubmitCallDef;
// `_corvalune_sys._runs_on_this_thread(executor)`: whether the calling
// thread is inside one of the executor's calls (shutdown(wait=True) there
// would wait for itself).
extern PyMethodDef kRunsOnThisThreadDef;

// A pool thread running calls of one executor's (a submitted call, or a run
// of a map() batch): while they run, the executor is listed as running on
// the thread (`_runs_on_this_thread`) and, with a thread name prefix, the
// thread carries the executor's name in Python (`_rename_thread`).
class ExecutorOnThread {
 public:
  // False with an error set, and nothing to leave.
  bool enter(PyObject* executor);
  // Restores the name and takes the executor off the list; false with an
  // error set when that failed.
  bool leave();
  // Takes the executor off the list if a native failure skipped leave().
  ~ExecutorOnThread();
  ExecutorOnThread() = default;
  ExecutorOnThread(const ExecutorOnThread&) = delete;
  ExecutorOnThread& operator=(const ExecutorOnThread&) = delete;

 private:
  bool listed_ = false;  // the executor is on this thread's list
  Ref renamed_;  // (thread, its own name) while it carries the executor's
};

// The call in `context`, as Context.run runs it: a new reference, or empty
// with the call's exception raised.
Ref run_in_context(PyObject* context, PyObject* fn, PyObject* args, PyObject* kwargs);

}  // namespace corvalune::sys
