#include "interp/guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "interp/cells.hpp"
#include "panic.hpp"

namespace corvalune::sys {
namespace {

ObjectCell g_panic_exception;

constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python panics.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it\n"
    "will typically propagate all the way up the stack and cause the Python\n"
    "interpreter to exit.";

constexpr const char* kGenericPanicText = "native code panicked without a message";

}  // namespace

PyObject* panic_exception_type() {
  return g_panic_exception.get_or_init([] {
    return PyErr_NewExceptionWithDoc("corvalune.PanicException", kPanicDoc, PyExc_BaseException,
                                     nullptr);
  });
}

void raise_panic_exception(const std::string& message) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;  // the creation failure is the raised exception
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                             "replace"));
  if (!text) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(type, text.get()));
  if (!exc) return;
  PyErr_SetRaisedException(exc.release());
}

std::string current_failure_message(const char* fallback) {
  if (fallback == nullptr) fallback = kGenericPanicText;
  try {
    throw;
  } catch (const std::exception& e) {
    const char* what = e.what();
    return (what != nullptr && *what != '\0') ? std::string(what) : std::string(fallback);
  } catch (...) {
    return fallback;
  }
}

void abort_uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void raise_current_failure() noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc&) {
      // Memory ran out in native code: the caller gets the MemoryError that
      // CPython raises for its own allocations (a preallocated instance, so
      // raising it needs none).
      PyErr_NoMemory();
    } catch (const core::PoolStartError& failure) {
      // The ordinary error a refused thread is, from every entry point that
      // starts the pool, with configure()'s words.
      const std::string message = "cannot start a Corvalune worker pool of " + std::to_string(failure.workers()) +
                                  " workers: " + failure.what();
      PyErr_SetString(PyExc_RuntimeError, message.c_str());
    } catch (...) {
      raise_panic_exception(current_failure_message());
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();  // no memory for the message of another failure
  } catch (...) {
    abort_uncaught_panic();
  }
}

bool failure_is_no_memory() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::optional<std::string> task_failure_message(const char* fallback) noexcept {
  if (failure_is_no_memory()) return std::nullopt;
  try {
    return current_failure_message(fallback);
  } catch (...) {
    return std::nullopt;  // only std::bad_alloc can come from making a string
  }
}

Ref take_raised_exception() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return exc;
  PyObject* panic_type = g_panic_exception.peek();
  if (panic_type == nullptr || !PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(panic_type)))
    return exc;

  std::string message = "Unwrapped panic from Python code";
  if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
    if (const char* utf8 = PyUnicode_AsUTF8(text.get())) message = utf8;
  }
  PyErr_Clear();  // a failing str() leaves its own error behind
  std::fputs("--- PanicException from Python code resumed as a native failure ---\n", stderr);
  std::fputs("Python stack trace below:\n", stderr);
  PyErr_SetRaisedException(exc.release());
  PyErr_PrintEx(0);
  throw core::Panic(message);
}

Ref take_call_failure() {
  if (Ref exc = take_raised_exception()) return exc;
  PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  return Ref::steal(PyErr_GetRaisedException());
}

}  // namespace corvalune::sys
