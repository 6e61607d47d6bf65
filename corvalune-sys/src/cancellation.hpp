#pragma once
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kSpawnCoroutineDef;

// The CancellationToken type (borrowed), created once per process.
PyObject* cancellation_token_type();

}  // namespace corvalune::sys
