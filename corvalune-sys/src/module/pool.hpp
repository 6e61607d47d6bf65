#pragma once
// Module functions that size, inspect and stop the shared pool.
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kConfigureDef;
extern PyMethodDef kWorkerCountDef;
extern PyMethodDef kDefaultWorkerCountDef;
extern PyMethodDef kShutdownDef;

}  // namespace corvalune::sys
