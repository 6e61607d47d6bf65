#pragma once
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kRegisterWorkerDef;

// The RegisteredWorker type (borrowed), created once per process.
PyObject* registered_worker_type();

}  // namespace corvalune::sys
