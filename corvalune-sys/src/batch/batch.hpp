#pragma once
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kBatchSpawnNativePipelineDef;
extern PyMethodDef kBatchSpawnCallableDef;

}  // namespace corvalune::sys
