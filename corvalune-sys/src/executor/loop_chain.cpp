// What and why: see loop_chain.hpp.
#include "executor/loop_chain.hpp"

#include "asyncio/loop_mailbox.hpp"
#include "executor/future.hpp"
#include "interp/cells.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"

namespace corvalune::sys {
namespace {

// The code object of asyncio.futures._chain_future's `_call_set_state`, or
// None when this asyncio has no such function (nothing is then chained
// through the mailbox).
ObjectCell g_chain_code;
// concurrent.futures' CancelledError and InvalidStateError.
ObjectCell g_cancelled_error;
ObjectCell g_invalid_state_error;

PyObject* chain_code() {
  return g_chain_code.get_or_init([]() -> PyObject* {
    Ref futures = Ref::steal(PyImport_ImportModule("asyncio.futures"));
    Ref chain = futures ? Ref::steal(PyObject_GetAttrString(futures.get(), "_chain_future")) : Ref();
    if (!chain) return nullptr;
    if (PyFunction_Check(chain.get())) {
      PyObject* consts = reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(chain.get()))->co_consts;
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts, i);
        if (!PyCode_Check(item)) continue;
        Ref code_name = Ref::steal(PyObject_GetAttrString(item, "co_name"));
        if (!code_name) return nullptr;
        if (PyUnicode_Check(code_name.get()) && PyUnicode_EqualToUTF8(code_name.get(), "_call_set_state"))
          return Py_NewRef(item);
      }
    }
    return Py_NewRef(Py_None);
  });
}

PyObject* base_class(ObjectCell& cell, const char* attr) {
  return module_attribute(cell, "concurrent.futures._base", attr);
}

// The value of the free variable `var` of `fn` (a new reference), or empty.
Ref free_variable(PyObject* fn, const char* var) {
  PyObject* closure = PyFunction_GetClosure(fn);
  Ref names = Ref::steal(PyCode_GetFreevars(reinterpret_cast<PyCodeObject*>(PyFunction_GetCode(fn))));
  if (closure == nullptr || !PyTuple_Check(closure) || !names) return {};
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()) && i < PyTuple_GET_SIZE(closure); ++i) {
    if (PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(names.get(), i), var)) {
      PyObject* cell = PyTuple_GET_ITEM(closure, i);
      return PyCell_Check(cell) ? Ref::steal(PyCell_Get(cell)) : Ref();
    }
  }
  return {};
}

// The kept callable, called with the executor's future once it is done.
// `bound` is (mailbox, asyncio future, asyncio's callback).
PyObject* post_to_loop(PyObject* bound, PyObject* future) {
  return guard([&]() -> PyObject* {
    PyObject* mailbox = PyTuple_GET_ITEM(bound, 0);
    PyObject* destination = PyTuple_GET_ITEM(bound, 1);
    PyObject* fallback = PyTuple_GET_ITEM(bound, 2);
    Ref result, exception;
    if (!future_outcome(future, result, exception)) return PyObject_CallOneArg(fallback, future);
    if (exception) {
      PyObject* cancelled = base_class(g_cancelled_error, "CancelledError");
      PyObject* invalid = base_class(g_invalid_state_error, "InvalidStateError");
      if (cancelled == nullptr || invalid == nullptr) return nullptr;
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
      if (type == cancelled || type == invalid) return PyObject_CallOneArg(fallback, future);
    }
    const bool is_error = static_cast<bool>(exception);
    post_outcome(mailbox, Ref::borrow(destination), is_error, is_error ? std::move(exception) : std::move(result));
    Py_RETURN_NONE;
  });
}

PyMethodDef kPostDef = {"post_to_loop", post_to_loop, METH_O, nullptr};

}  // namespace

Ref chain_through_mailbox(PyObject* fn) {
  if (!PyFunction_Check(fn)) return {};
  Ref kept = [&]() -> Ref {
    PyObject* code = chain_code();
    if (code == nullptr || PyFunction_GetCode(fn) != code) return {};
    Ref destination = free_variable(fn, "destination");
    Ref loop = free_variable(fn, "dest_loop");
    if (!destination || !loop) return {};
    // Only for the loop running on this thread: the mailbox is made there.
    Ref events = Ref::steal(PyImport_GetModule(name(Name::asyncio_events)));
    Ref running = events ? Ref::steal(PyObject_CallMethodNoArgs(events.get(), name(Name::get_running_loop_private)))
                         : Ref();
    if (!running || running.get() != loop.get()) return {};
    Ref mailbox = loop_mailbox(loop.get());
    if (!mailbox) return {};
    Ref bound = Ref::steal(PyTuple_Pack(3, mailbox.get(), destination.get(), fn));
    return bound ? Ref::steal(PyCFunction_New(&kPostDef, bound.get())) : Ref();
  }();
  // Whatever went wrong, asyncio's own callback does the same work.
  if (!kept) PyErr_Clear();
  return kept;
}

}  // namespace corvalune::sys
