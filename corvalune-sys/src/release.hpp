#pragma once
// `ReleaseInterpreter`: lets go of the interpreter for a scope, the reverse
// of `Attach`. The calling thread must be attached; it is attached again when
// the scope ends, however it ends (the restore is never written by hand in a
// catch block).
#include <Python.h>

namespace corvalune::sys {

class ReleaseInterpreter {
 public:
  ReleaseInterpreter() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleaseInterpreter() { PyEval_RestoreThread(state_); }
  ReleaseInterpreter(const ReleaseInterpreter&) = delete;
  ReleaseInterpreter& operator=(const ReleaseInterpreter&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace corvalune::sys
