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

// The package's copy of asyncio's own state copy, for a future bound at
// submit (corvalune._executor._settle_awaiting).
ObjectCell g_settle_awaiting;

// The rare outcomes (cancelled, and concurrent.futures' exceptions that
// asyncio converts) take asyncio's way: its own callback, or for a future
// bound at submit the package's copy of it.
PyObject* settle_the_asyncio_way(PyObject* destination, PyObject* fallback, PyObject* future) {
  if (fallback != Py_None) return PyObject_CallOneArg(fallback, future);
  PyObject* settle = module_attribute(g_settle_awaiting, "corvalune._executor", "_settle_awaiting");
  if (settle == nullptr) return nullptr;
  PyObject* args[] = {destination, future};
  return PyObject_Vectorcall(settle, args, 2, nullptr);
}

// The kept callable, called with the executor's future once it is done.
// `bound` is (mailbox, asyncio future, asyncio's callback or None).
PyObject* post_to_loop(PyObject* bound, PyObject* future) {
  return guard([&]() -> PyObject* {
    PyObject* mailbox = PyTuple_GET_ITEM(bound, 0);
    PyObject* destination = PyTuple_GET_ITEM(bound, 1);
    PyObject* fallback = PyTuple_GET_ITEM(bound, 2);
    Ref result, exception;
    if (!future_outcome(future, result, exception)) return settle_the_asyncio_way(destination, fallback, future);
    if (exception) {
      PyObject* cancelled = base_class(g_cancelled_error, "CancelledError");
      PyObject* invalid = base_class(g_invalid_state_error, "InvalidStateError");
      if (cancelled == nullptr || invalid == nullptr) return nullptr;
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception.get()));
      if (type == cancelled || type == invalid) return settle_the_asyncio_way(destination, fallback, future);
    }
    const bool is_error = static_cast<bool>(exception);
    post_outcome(mailbox, Ref::borrow(destination), is_error, is_error ? std::move(exception) : std::move(result));
    Py_RETURN_NONE;
  });
}

PyMethodDef kPostDef = {"post_to_loop", post_to_loop, METH_O, nullptr};

// A module if it has been imported (a new reference), or empty; no error
// set. Looked up in sys.modules itself: PyImport_GetModule also asks the
// module's spec whether it is still initializing, which cost more than all
// the rest of a submit's look for a loop (800 instructions).
Ref imported_module(Name n) {
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  PyObject* found = nullptr;
  if (PyDict_Check(modules)) {
    if (PyDict_GetItemRef(modules, name(n), &found) < 0) PyErr_Clear();
  } else {
    found = PyImport_GetModule(name(n));
    if (found == nullptr) PyErr_Clear();
  }
  return Ref::steal(found);
}

// asyncio.events._get_running_loop, once asyncio is imported.
ObjectCell g_get_running_loop;

// The running loop of this thread (a new reference), or empty (none, or
// asyncio not imported). No error set.
Ref running_loop() {
  PyObject* get = g_get_running_loop.peek();
  if (get == nullptr) {
    Ref events = imported_module(Name::asyncio_events);
    if (!events) return {};
    get = g_get_running_loop.get_or_init(
        [&] { return PyObject_GetAttr(events.get(), name(Name::get_running_loop_private)); });
    if (get == nullptr) {
      PyErr_Clear();
      return {};
    }
  }
  Ref running = Ref::steal(PyObject_CallNoArgs(get));
  if (!running) PyErr_Clear();
  return running.get() == Py_None ? Ref() : std::move(running);
}

// asyncio.base_events.BaseEventLoop.run_in_executor's code object, or None
// when that is no Python function. Looked up once asyncio is imported: a
// program without asyncio never imports it for this. Borrowed; nullptr with
// no error set before then.
ObjectCell g_run_in_executor_code;

PyObject* run_in_executor_code() {
  if (PyObject* code = g_run_in_executor_code.peek()) return code;
  Ref module = imported_module(Name::asyncio_base_events);
  if (!module) return nullptr;
  PyObject* code = g_run_in_executor_code.get_or_init([&]() -> PyObject* {
    Ref loop_type = Ref::steal(PyObject_GetAttrString(module.get(), "BaseEventLoop"));
    Ref method = loop_type ? Ref::steal(PyObject_GetAttrString(loop_type.get(), "run_in_executor")) : Ref();
    if (!method) return nullptr;
    return Py_NewRef(PyFunction_Check(method.get()) ? PyFunction_GetCode(method.get()) : Py_None);
  });
  if (code == nullptr) PyErr_Clear();
  return code;
}

// Whether asyncio's event loops are there to call run_in_executor (cheap
// once they are).
bool asyncio_imported() {
  PyObject* code = run_in_executor_code();
  return code != nullptr && code != Py_None;
}

// The loop whose run_in_executor called the Python function that is
// calling this (a new reference), or empty (an error may be set).
Ref calling_run_in_executor() {
  PyObject* code = run_in_executor_code();
  if (code == nullptr || code == Py_None) return {};
  PyFrameObject* submitting = PyEval_GetFrame();  // borrowed: Executor.submit
  if (submitting == nullptr) return {};
  Ref caller = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(submitting)));
  if (!caller) return {};
  PyFrameObject* frame = reinterpret_cast<PyFrameObject*>(caller.get());
  Ref caller_code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(frame)));
  if (caller_code.get() != code) return {};
  return Ref::steal(PyFrame_GetVarString(frame, "self"));
}

}  // namespace

Ref bind_to_awaiting_loop(PyObject* future) {
  Ref awaiting = [&]() -> Ref {
    // Only for the loop running on this thread: the mailbox is made there,
    // and its future is made and awaited there. Looked at first: finding
    // the caller makes frame objects, which a submit with no loop running
    // on its thread (most of them) need not pay for.
    Ref running = asyncio_imported() ? running_loop() : Ref();
    Ref loop = running ? calling_run_in_executor() : Ref();
    if (!loop || running.get() != loop.get()) return {};
    Ref mailbox = loop_mailbox(loop.get());
    Ref made = mailbox ? call_method(loop.get(), Name::create_future) : Ref();
    Ref bound = made ? Ref::steal(PyTuple_Pack(3, mailbox.get(), made.get(), Py_None)) : Ref();
    Ref post = bound ? Ref::steal(PyCFunction_New(&kPostDef, bound.get())) : Ref();
    if (!post || !future_bind_awaiting(future, made.get(), post.get())) return {};
    return made;
  }();
  // Whatever went wrong (no memory for a frame object, say), asyncio's own
  // chaining does the same work.
  if (!awaiting) PyErr_Clear();
  return awaiting;
}

Ref chain_through_mailbox(PyObject* fn) {
  if (!PyFunction_Check(fn)) return {};
  Ref kept = [&]() -> Ref {
    PyObject* code = chain_code();
    if (code == nullptr || PyFunction_GetCode(fn) != code) return {};
    Ref destination = free_variable(fn, "destination");
    Ref loop = free_variable(fn, "dest_loop");
    if (!destination || !loop) return {};
    // Only for the loop running on this thread: the mailbox is made there.
    Ref running = running_loop();
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
