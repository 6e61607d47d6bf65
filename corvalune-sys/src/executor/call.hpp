#pragma once
// One call submitted to corvalune.Executor: `_corvalune_sys._submit_call`
// makes its future and spawns it, `_corvalune_sys._run_call` is what the
// pool runs for it.
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kSubmitCallDef;
extern PyMethodDef kRunCallDef;

}  // namespace corvalune::sys
