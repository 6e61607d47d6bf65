#pragma once
// Process-wide cells for type objects.
//
// Every type object the module creates (exception types, classes) lives in a
// cell that is filled once per process and never emptied, so a second import
// of the module, or another interpreter, receives the same objects. The
// strong reference a cell holds is never released: worker threads may still
// run while the interpreter finalizes, and nothing they can reach is torn
// down by a destructor.
//
// Filling happens under one process-wide lock (recursive, because creating
// one type may need another). A thread that must wait for the lock detaches
// from the interpreter while it waits, so it cannot deadlock with the filling
// thread if that one needs the interpreter.
#include <Python.h>

#include <atomic>
#include <mutex>

#include "interp/detach.hpp"

namespace corvalune::sys {

std::recursive_mutex& cells_lock();

class ObjectCell {
 public:
  constexpr ObjectCell() = default;

  // The cell's object (borrowed), creating it with `create` (which returns a
  // new reference, or nullptr with an exception set) if the cell is empty.
  template <class F>
  PyObject* get_or_init(F&& create) {
    // acquire: pairs with the release store below, so the object is fully
    // built when another thread reads it.
    if (PyObject* obj = value_.load(std::memory_order_acquire)) return obj;
    std::recursive_mutex& lock = cells_lock();
    if (!lock.try_lock()) {
      Detach released;  // the holder may need the interpreter to finish
      lock.lock();
    }
    std::lock_guard guard(lock, std::adopt_lock);
    PyObject* obj = value_.load(std::memory_order_relaxed);
    if (obj == nullptr) {
      obj = create();
      if (obj == nullptr) return nullptr;
      // release: publishes the object; pairs with the acquire load above.
      value_.store(obj, std::memory_order_release);
    }
    return obj;
  }

  PyObject* peek() const noexcept { return value_.load(std::memory_order_acquire); }

 private:
  std::atomic<PyObject*> value_{nullptr};
};

// `module.attr` (borrowed), imported and looked up into `cell` on first use;
// nullptr with an error set.
PyObject* module_attribute(ObjectCell& cell, const char* module, const char* attr);

}  // namespace corvalune::sys
