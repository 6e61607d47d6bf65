#pragma once
// `Ref`: the one owner of a strong reference to a Python object.
//
// Construction says where the reference comes from: `Ref::steal` adopts a new
// reference (the result of a C API call that returns one), `Ref::borrow`
// makes a new strong reference from a borrowed pointer. Moving nulls the
// source. Dropping a Ref releases its reference, so a Ref may only be dropped
// by a thread attached to the interpreter. Raw pointers appear only at the C
// API boundary: `get()` lends, `release()` hands the reference over.
#include <Python.h>

#include <utility>

namespace corvalune::sys {

class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
  static Ref borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  Ref clone() const noexcept { return borrow(obj_); }
  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  void reset() noexcept { Py_CLEAR(obj_); }

 private:
  explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace corvalune::sys
