#pragma once
// Attaching pool threads to the interpreter, and releasing Python references
// from threads that are not attached.
//
// A thread that must touch Python objects attaches with `Attach` for that
// step only. Attachments nest: a per-thread depth counts them, and only the
// outermost one attaches and detaches. Once the interpreter has begun
// finalizing, attaching is a native failure: a worker must never touch an
// interpreter that is being torn down.
//
// Threads that are not pool threads (the main thread, registered Python
// threads, any other thread) attach through PyGILState_Ensure/Release, which
// finds the thread state such a thread already has or makes a temporary one.
//
// A pool thread has one thread state for its whole life. Its first attach
// creates it (PyThreadState_New on the main interpreter, bound to the thread
// and registered as its PyGILState state, so PyGILState_Check and
// PyGILState_Ensure on the thread find it) and installs threading's trace
// and profile hooks on it as a threading.Thread does when it starts. Every
// later attach swaps it in (PyEval_RestoreThread) and every detach swaps it
// out (PyEval_SaveThread). The interpreter's list of thread states owns it;
// the thread keeps only a plain pointer. So a thread that walks that list
// without the interpreter's locks (faulthandler's watchdog) never meets a
// state a pool thread is freeing, and threading.settrace_all_threads and
// setprofile_all_threads reach pool threads.
// It is never cleared or deleted by this module:
// - when finalization begins, pool threads no longer attach (Py_IsFinalizing
//   stays true from then on) and the finalizing thread deletes the states of
//   all other threads, these included;
// - a pool thread that ends earlier (after shutdown() stops the pool) leaves
//   its detached state in the list, where finalization deletes it; nothing
//   runs for it at thread exit or static destruction;
// - in a forked child the pool threads do not exist and CPython deletes the
//   other threads' states itself; the child's pool threads are new threads
//   and make their own.
//
// Pool threads keep their attachment across consecutive jobs that need the
// interpreter ("lingering") while more work is queued on the same thread:
// attaching costs a hand-over of the interpreter lock, and a burst of
// callable jobs would otherwise pay it per job. A lingering thread lets go
// (swaps its state out) as soon as it runs a job that does not need the
// interpreter (release_lingering at the start of native work), runs out of
// work (the worker loop's idle hook), or leaves the pool. While it runs
// Python code the interpreter's own switching still takes the lock away
// from it on request; between jobs it holds the lock only for the few
// microseconds the search for the next job takes.
//
// A Python reference may be dropped on a thread that is not attached (a
// worker releasing a finished job, the last owner of a record). Such a
// reference is not released there: it goes to a process-wide pending list
// under a mutex, and is released the next time any thread attaches through
// the module. `DeferredRef` is the owner type for references held by native
// records that any thread may drop.
#include <Python.h>

#include <cstddef>
#include <utility>
#include <vector>

#include "pyref.hpp"

namespace corvalune::sys {

class Attach {
 public:
  // Whether a pool thread may keep the attachment after this one ends.
  // Only work that runs Python code from its entry may: entering a function
  // is where the interpreter hands its lock to a thread that asked for it.
  // Resuming a suspended coroutine frame is not such a point, so a coroutine
  // step keeps it only when it did not give way: a step that yielded None
  // (it polls a pending awaitable and is stepped again at once) lets go,
  // or that loop would never let go of the lock.
  enum class Linger { No, Yes };

  // Throws core::Panic "Cannot attach to the Python interpreter while it is
  // finalizing." when the interpreter is finalizing.
  explicit Attach(Linger linger = Linger::No);

  // Changes the decision before the attachment ends.
  void set_linger(Linger linger) noexcept { linger_ = linger == Linger::Yes; }
  ~Attach();
  Attach(const Attach&) = delete;
  Attach& operator=(const Attach&) = delete;

 private:
  PyGILState_STATE state_;  // threads that are not pool threads, outermost only
  bool outermost_;
  bool linger_;
  bool pool_thread_;
};

// Lets go of a lingering attachment of the calling thread, if any.
void release_lingering() noexcept;

// Installs release_lingering as the pool's idle hook (once, at import).
void install_idle_hook() noexcept;

// True when the calling thread may touch Python objects.
bool thread_is_attached() noexcept;

// Releases `obj` now if the calling thread is attached, otherwise queues it.
void release_reference(PyObject* obj) noexcept;

// Releases every non-null reference of `objects` now if the calling thread is
// attached, otherwise queues them all under one acquisition of the pending
// list's lock; `objects` is left empty.
void release_references(std::vector<PyObject*>& objects) noexcept;

// Releases every queued reference. The caller is attached.
void drain_pending_releases() noexcept;

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
    if (PyObject* obj = std::exchange(obj_, nullptr)) release_reference(obj);
  }

 private:
  PyObject* obj_ = nullptr;
};

// Many strong references with one owner, as a vector of DeferredRef would
// hold them, but dropped in one step: on a thread that is not attached they
// go to the pending list together, not one lock acquisition each. Slots may
// be empty (taken or released early). Distinct slots may be taken or
// released by distinct threads at once; nothing else may run concurrently
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
  // Releases the references of slots [first, last) and empties them; the
  // caller is attached.
  void release_range(std::size_t first, std::size_t last) noexcept {
    for (std::size_t i = first; i < last; ++i) Py_XDECREF(std::exchange(objects_[i], nullptr));
  }
  void reset() noexcept {
    if (objects_.empty()) return;
    // Out of the member first: a release may run code that drops this owner.
    std::vector<PyObject*> taken;
    taken.swap(objects_);
    release_references(taken);
  }

 private:
  std::vector<PyObject*> objects_;
};

}  // namespace corvalune::sys
