#pragma once
// Closures: Python callables made of a native body and the references it
// holds. The one way this module hands a callback of its own to Python code
// (done-callback wrappers, the asyncio resolver, coroutine resume callbacks).
//
// Every closure is an instance of one heap type, created once per process.
// Calls go through vectorcall straight to the body. The type takes part in
// cyclic garbage collection: tp_traverse visits what the body holds and
// tp_clear drops it, so a cycle through a closure (a callback that holds the
// handle it is registered on) is collected like any other.
//
// Ownership: the object owns its body and destroys it when deallocated,
// which happens attached (closures are Python objects; a reference dropped on
// a detached thread goes through the pending list of attach.hpp). The body's
// references are DeferredRefs, since native records may share them.
#include <Python.h>

#include <memory>

#include "block_pool.hpp"
#include "interp/deferred.hpp"
#include "interp/pyref.hpp"

namespace corvalune::sys {

// Bodies come from the block pool: most are made on one thread and freed on
// another (an await's resolver, a done callback), one or more per task.
class ClosureBody : public core::PoolAllocated {
 public:
  virtual ~ClosureBody() = default;
  // The call, attached. A new reference, or nullptr with an error set.
  virtual PyObject* call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) = 0;
  // Visits every Python reference the body holds (Py_VISIT each).
  virtual int traverse(visitproc visit, void* arg) = 0;
  // Drops every Python reference the body holds; later calls must cope.
  virtual void clear() = 0;
  // What the closure is, for its repr ("corvalune done callback").
  virtual const char* what() const noexcept = 0;
};

// Creates the closure type, once per process; called by the module's exec
// step, so that no worker ever has to. False with an error set.
bool make_closure_type();

// A new closure that owns `body`. Empty with an error set on failure (the
// body is then destroyed).
Ref make_closure(std::unique_ptr<ClosureBody> body);

// The body of `obj` when it is a closure still holding one, else nullptr.
ClosureBody* closure_body(PyObject* obj) noexcept;

}  // namespace corvalune::sys
