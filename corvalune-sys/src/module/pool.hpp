#pragma once
// Module functions that size, inspect and stop the shared pool.
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kConfigureDef;
extern PyMethodDef kWorkerCountDef;
extern PyMethodDef kDefaultWorkerCountDef;
extern PyMethodDef kShutdownDef;
// Private: read by the corvalune package, not part of the module's __all__.
extern PyMethodDef kPoolStatsDef;
extern PyMethodDef kSetExtraWorkerLimitDef;

}  // namespace corvalune::sys
