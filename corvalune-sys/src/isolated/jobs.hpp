#pragma once
// spawn_isolated and batch_spawn_isolated: Python calls run in the workers'
// sub-interpreters (interpreters.hpp), crossing by value (crossing.hpp).
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kSpawnIsolatedDef;
// _settle_on_caller (settle.cpp), for the package's executor futures.
extern PyMethodDef kSettleOnCallerDef;
extern PyMethodDef kBatchSpawnIsolatedDef;

}  // namespace corvalune::sys
