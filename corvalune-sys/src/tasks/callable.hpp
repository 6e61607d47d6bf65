#pragma once
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kSpawnCallableDef;

}  // namespace corvalune::sys
