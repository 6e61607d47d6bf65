#pragma once
// `Detach`: lets go of the interpreter for a scope, the reverse
// of `Attach`. The calling thread must be attached; it is attached again when
// the scope ends, however it ends (the restore is never written by hand in a
// catch block).
#include <Python.h>

namespace corvalune::sys {

class Detach {
 public:
  Detach() noexcept : state_(PyEval_SaveThread()) {}
  ~Detach() { PyEval_RestoreThread(state_); }
  Detach(const Detach&) = delete;
  Detach& operator=(const Detach&) = delete;

 private:
  PyThreadState* state_;
};

}  // namespace corvalune::sys
