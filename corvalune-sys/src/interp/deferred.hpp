#pragma once
// Dropping Python references from threads that may not be attached.
//
// A Python reference may be dropped on a thread that is not attached (a
// worker releasing a finished job, the last owner of a record). Such a
// reference is not dropped there: it goes to a process-wide pending list
// under a mutex, and is dropped the next time any thread attaches through
// the module. `DeferredRef` is the owner type for references held by native
// records that any thread may drop.
//
// "Drop" means giving up one strong reference (Py_DECREF now, or later by
// way of the pending list); `Ref::release` instead hands a reference over.
#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "interp/pyref.hpp"
#include "task.hpp"

namespace corvalune::sys {

// Drops `obj` now if the calling thread is attached, otherwise queues it.
void drop_reference(PyObject* obj) noexcept;

// Drops every non-null reference of `objects` now if the calling thread is
// attached, otherwise queues them all under one acquisition of the pending
// list's lock; `objects` is left empty.
void drop_references(std::vector<PyObject*>& objects) noexcept;

// Drops every queued reference, then makes the calls and wakes queued by
// the two functions below. The caller is attached.
void drop_pending_references() noexcept;

class DeferredRef;

// For a completion on a thread that could not attach (no memory for its
// thread state): the done-callback wrappers are called (with no arguments)
// at the next attach through the module, on whichever thread makes it.
// `wrappers` is left empty.
void call_when_attached(std::vector<DeferredRef>& wrappers) noexcept;

// For a coroutine step that could not attach: the task is woken (queued
// again) at the next attach through the module, rather than retried at once
// by a thread that would fail again.
void wake_when_attached(core::Waker waker) noexcept;

class DeferredRef {
 public:
  DeferredRef() noexcept = default;
  explicit DeferredRef(Ref ref) noexcept : obj_(ref.release()) {}
  DeferredRef(const DeferredRef&) = delete;
  DeferredRef& operator=(const DeferredRef&) = delete;
  DeferredRef(DeferredRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  DeferredRef& operator=(DeferredRef&& other) noexcept {
    if (this != &other) {
      reset();
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~DeferredRef() { reset(); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // A new strong reference; the caller is attached.
  Ref clone() const noexcept { return Ref::borrow(obj_); }
  // Hands the reference over; the caller is attached.
  Ref take() noexcept { return Ref::steal(std::exchange(obj_, nullptr)); }
  void reset() noexcept {
    if (PyObject* obj = std::exchange(obj_, nullptr)) drop_reference(obj);
  }

 private:
  PyObject* obj_ = nullptr;
};

// Many strong references with one owner, as a vector of DeferredRef would
// hold them, but dropped in one step: on a thread that is not attached they
// go to the pending list together, not one lock acquisition each. Slots may
// be empty (taken or dropped early). Distinct slots may be taken or
// dropped by distinct threads at once; nothing else may run concurrently
// with a change.
class DeferredRefs {
 public:
  DeferredRefs() noexcept = default;
  DeferredRefs(const DeferredRefs&) = delete;
  DeferredRefs& operator=(const DeferredRefs&) = delete;
  DeferredRefs(DeferredRefs&& other) noexcept : objects_(std::exchange(other.objects_, {})) {}
  DeferredRefs& operator=(DeferredRefs&& other) noexcept {
    if (this != &other) {
      reset();
      objects_ = std::exchange(other.objects_, {});
    }
    return *this;
  }
  ~DeferredRefs() { reset(); }

  void reserve(std::size_t n) { objects_.reserve(n); }
  std::size_t capacity() const noexcept { return objects_.capacity(); }
  // Cannot throw within the reserved capacity.
  void push_back(Ref ref) {
    objects_.push_back(nullptr);  // may throw: the reference is still ref's
    objects_.back() = ref.release();
  }
  std::size_t size() const noexcept { return objects_.size(); }
  bool empty() const noexcept { return objects_.empty(); }
  PyObject* get(std::size_t i) const noexcept { return objects_[i]; }
  // Hands reference i over and empties its slot; the caller is attached.
  Ref take(std::size_t i) noexcept { return Ref::steal(std::exchange(objects_[i], nullptr)); }
  // Drops the references of slots [first, last) and empties them; the
  // caller is attached.
  void drop_range(std::size_t first, std::size_t last) noexcept {
    for (std::size_t i = first; i < last; ++i) Py_XDECREF(std::exchange(objects_[i], nullptr));
  }
  void reset() noexcept {
    if (objects_.empty()) return;
    // Out of the member first: a drop may run code that drops this owner.
    std::vector<PyObject*> taken;
    taken.swap(objects_);
    drop_references(taken);
  }

 private:
  std::vector<PyObject*> objects_;
};

}  // namespace corvalune::sys
