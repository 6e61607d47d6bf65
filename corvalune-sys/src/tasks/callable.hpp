#pragma once
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kSpawnCallableDef;

// spawn_callable(func, args, kwargs) with its arguments checked already
// (`args` a tuple or null, `kwargs` a dict or null; borrowed): the handle (a
// new reference), or nullptr with an error set. May throw std::bad_alloc,
// as the entry point's body may.
PyObject* spawn_callable_task(PyObject* func, PyObject* args, PyObject* kwargs);

}  // namespace corvalune::sys
