#pragma once
// The failure guard at the module boundary.
//
// Every module function, method, type slot and the exec step runs its body
// under `guard`. A native failure (a C++ exception escaping the body) becomes
// `PanicException` in the caller, carrying the failure's message, except
// for a want of memory (MemoryError) and a pool that could not start
// (RuntimeError), which are ordinary errors. A failure
// while that is being raised aborts the process with "uncaught panic at ffi
// boundary": there is no sound way left to report it.
//
// Bodies report ordinary Python errors the CPython way: they set an exception
// and return the error value (nullptr or -1).
#include <Python.h>

#include <exception>
#include <optional>
#include <string>

#include "interp/pyref.hpp"

namespace corvalune::sys {

// The PanicException type (borrowed), created on first use; nullptr with an
// exception set if it cannot be created.
PyObject* panic_exception_type();

// Raises PanicException(message) in the calling (attached) thread.
void raise_panic_exception(const std::string& message);

// The message of the exception being handled (call inside a catch block), or
// `fallback` (a generic text when null) when the failure carries none.
std::string current_failure_message(const char* fallback = nullptr);

[[noreturn]] void abort_uncaught_panic() noexcept;

// Called from a catch block: raise the failure in the caller. No memory
// (std::bad_alloc) is MemoryError; a pool that could not start is the
// RuntimeError "cannot start a Corvalune worker pool of <n> workers:
// <reason>"; any other failure is PanicException.
void raise_current_failure() noexcept;

// Called from a catch block: whether the failure is a want of memory
// (std::bad_alloc), which a task's outcome reports as MemoryError.
bool failure_is_no_memory() noexcept;

// Called from a catch block: the message a task's outcome gives the failure
// (its own, or `fallback`), or nothing for a want of memory, also when the
// message itself cannot be made: the outcome is then MemoryError.
std::optional<std::string> task_failure_message(const char* fallback) noexcept;

template <class F>
PyObject* guard(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_failure();
    return nullptr;
  }
}

template <class F>
int guard_int(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_failure();
    return -1;
  }
}

// For deallocation slots, which cannot report an error.
template <class F>
void guard_void(F&& body) noexcept {
  try {
    body();
  } catch (...) {
    abort_uncaught_panic();
  }
}

// Takes the pending Python exception (nullptr if none). A PanicException
// coming back from Python is a native failure resumed: a banner and the
// Python traceback are printed to standard error and a core::Panic is thrown
// with str(exception).
Ref take_raised_exception();

// The exception of a call that returned nullptr: take_raised_exception(),
// or a SystemError when the call set none (a broken extension's fault).
Ref take_call_failure();

}  // namespace corvalune::sys
