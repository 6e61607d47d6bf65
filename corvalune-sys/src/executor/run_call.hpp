#pragma once
// `_corvalune_sys._run_call`: what the pool runs for one call submitted to
// corvalune.Executor.
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kRunCallDef;

}  // namespace corvalune::sys
