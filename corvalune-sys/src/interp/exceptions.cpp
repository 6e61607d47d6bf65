#include "interp/exceptions.hpp"

#include <iterator>
#include <new>

#include "interp/cells.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "panic.hpp"

namespace corvalune::sys {
namespace {

struct ExceptionInfo {
  const char* qualified_name;
  const char* doc;
  PyObject* base;  // borrowed from the interpreter's built-in exceptions
};

const ExceptionInfo kInfo[] = {
    {"corvalune.PanicInTask",
     "Raised when an in-flight native task panics inside the shared executor.", PyExc_Exception},
    {"corvalune.TaskCancelled", "Raised when a task is cancelled cooperatively.", PyExc_Exception},
    {"corvalune.RegistrationError",
     "Raised when worker registration fails or is invoked with invalid state.", PyExc_Exception},
    {"corvalune.PoolShutdownError",
     "Raised when work is given to the worker pool after it was shut down, and by the handles of work "
     "the pool dropped when it stopped before running it. A RuntimeError.",
     PyExc_RuntimeError},
};

ObjectCell g_cells[std::size(kInfo)];

}  // namespace

PyObject* exception_type(ExceptionKind kind) {
  if (kind == ExceptionKind::NoMemory) return PyExc_MemoryError;
  const auto index = static_cast<std::size_t>(kind);
  return g_cells[index].get_or_init([index]() -> PyObject* {
    const ExceptionInfo& info = kInfo[index];
    PyObject* type = PyErr_NewExceptionWithDoc(info.qualified_name, info.doc, info.base, nullptr);
    if (type != nullptr) return type;
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      throw std::bad_alloc();  // the guard raises MemoryError again
    }
    std::string detail;
    if (Ref exc = take_raised_exception()) {
      if (Ref text = Ref::steal(PyObject_Str(exc.get()))) {
        if (const char* utf8 = PyUnicode_AsUTF8(text.get())) detail = utf8;
      }
      PyErr_Clear();
    }
    throw core::Panic("Failed to initialize new exception type.: " + detail);
  });
}

Ref PendingException::to_object() const {
  if (kind == ExceptionKind::NoMemory) {
    PyErr_NoMemory();
    return Ref::steal(PyErr_GetRaisedException());
  }
  PyObject* type = exception_type(kind);
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                             "replace"));
  if (!text) return {};
  return Ref::steal(PyObject_CallOneArg(type, text.get()));
}

void PendingException::raise() const {
  Ref exc = to_object();
  if (exc) PyErr_SetRaisedException(exc.release());
}

void add_note(const std::string& note) {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return;
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  Ref added = text ? call_method(exc.get(), Name::add_note, text.get()) : Ref();
  if (!added) PyErr_Clear();
  PyErr_SetRaisedException(exc.release());
}

}  // namespace corvalune::sys
