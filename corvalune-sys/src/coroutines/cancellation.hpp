#pragma once
// Cooperative cancellation of coroutines: the shared state a token and the
// coroutine tasks it was given to read, and the token's Python type.
#include <Python.h>

#include <atomic>

namespace corvalune::sys {

struct CancellationState {
  // Set once by CancellationToken.cancel(), never reset. A plain flag: the
  // step that reads it needs no other data from the thread that set it.
  std::atomic<bool> cancelled{false};
};

extern PyMethodDef kSpawnCoroutineDef;

// The CancellationToken type (borrowed), created once per process.
PyObject* cancellation_token_type();

}  // namespace corvalune::sys
