#pragma once
// The module's exception types: PanicInTask, TaskCancelled, RegistrationError
// (all Exceptions) and PoolShutdownError (a RuntimeError).
//
// Each type object is created once per process (see cells.hpp) and shared by
// every module object. `PendingException` describes one of them by kind and
// message without creating any Python object, so native code may build one on
// a thread that is not attached to the interpreter; the Python object is made
// only when it is raised or stored.
#include <Python.h>

#include <string>

#include "interp/pyref.hpp"

namespace corvalune::sys {

// The module's own types, then the interpreter's MemoryError: the outcome of
// a task that failed for want of memory, described without allocating.
enum class ExceptionKind { PanicInTask, TaskCancelled, RegistrationError, PoolShutdownError, NoMemory };

// The type object (borrowed), created on first request. Throws a native
// failure ("Failed to initialize new exception type. ...") if it cannot be
// created, std::bad_alloc when memory ran out.
PyObject* exception_type(ExceptionKind kind);

struct PendingException {
  ExceptionKind kind;
  std::string message;

  // Raises it in the calling (attached) thread.
  void raise() const;
  // The exception object, or nullptr with a Python error set. For NoMemory,
  // the interpreter's MemoryError (a preallocated instance; the message is
  // not used).
  Ref to_object() const;
};

// Adds `note` to the pending exception (its `add_note`). The exception is
// kept as it is when the note cannot be added: the note is a courtesy.
void add_note(const std::string& note);

}  // namespace corvalune::sys
