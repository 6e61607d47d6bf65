#pragma once
// `await handle`: the bridge from a handle's completion to an asyncio future.
#include <Python.h>

#include "handles/completion.hpp"

namespace corvalune::sys {

// The body of every handle's __await__: a new reference to the awaiting
// iterator of a future of the running loop, settled once `record` completes;
// outside a running loop, the handle itself (new reference); nullptr with an
// exception set on failure.
PyObject* await_handle(PyObject* self, Completion& record);

}  // namespace corvalune::sys
