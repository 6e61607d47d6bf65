#pragma once
// The handle classes: NativeTask, CallableTask, BatchNativeTask,
// BatchCallableTask.
//
// A handle is the object header and one owning reference to a completion
// record (completion.hpp). All four share one layout and these slots:
// done(), result(), add_done_callback(cb), __await__, __iter__/__next__, and
// a finalizer that reports a failure nobody retrieved (unretrieved.cpp).
// The batches add progress(). The kinds whose outcome holds Python objects
// (CallableTask, BatchCallableTask) also take part in cycle collection and
// have __class_getitem__ (CallableTask[int]).
#include <Python.h>

#include <memory>

#include "handles/completion.hpp"

namespace corvalune::sys {

enum class HandleKind { Native, Callable, BatchNative, BatchCallable };

// The type object (borrowed), created once per process. Throws a native
// failure if it cannot be created.
PyObject* handle_type(HandleKind kind);

// The class name of a kind of handle ("CallableTask").
const char* handle_name(HandleKind kind) noexcept;

// True when `obj` is one of the four handle classes.
bool is_task_handle(PyObject* obj) noexcept;

// The record of a handle (shared), or null when `obj` is not a handle.
std::shared_ptr<Completion> handle_record(PyObject* obj) noexcept;

// A new handle around `record`, or nullptr with an exception set.
PyObject* make_handle(HandleKind kind, std::shared_ptr<Completion> record);

}  // namespace corvalune::sys
