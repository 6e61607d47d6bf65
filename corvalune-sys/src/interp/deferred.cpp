#include "interp/deferred.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "interp/attach.hpp"
#include "interp/report.hpp"

namespace corvalune::sys {
namespace {

// The pending list. Leaked on purpose: workers may queue references
// while the process exits.
struct PendingList {
  std::mutex lock;
  std::vector<PyObject*> objects;  // guarded by lock
  // Done-callback wrappers (one reference each) whose completion could not
  // attach to call them, and coroutine tasks whose step could not attach:
  // called and woken at the next attach. Guarded by lock.
  std::vector<PyObject*> calls;
  std::vector<core::Waker> wakers;
  // Lets the attach path skip the lock when nothing is queued: the number
  // of entries in the three vectors. relaxed is enough: an entry queued
  // concurrently is taken by a later attach.
  std::atomic<Py_ssize_t> count{0};
};

std::atomic<PendingList*> g_pending{nullptr};

// In a forked child the list's lock may have been held by a thread that no
// longer exists: the child starts with a fresh list and abandons the old one
// (its references belong to objects the child never drops anyway).
void after_fork_in_child() { g_pending.store(new PendingList(), std::memory_order_relaxed); }

PendingList& pending() {
  static const bool ready = [] {
    g_pending.store(new PendingList(), std::memory_order_release);
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
  }();
  (void)ready;
  return *g_pending.load(std::memory_order_acquire);
}

// Appends `objects` to `into` (the caller holds the list's lock). Where no
// memory is left for the list to grow, the references are leaked rather than
// dropped: this runs on threads that may not run Python code (a __del__) and
// may hold native locks, where attaching could deadlock, and nothing can be
// reported from here. A leaked reference costs its object's memory, never a
// wrong result; the process goes on.
void append_locked(std::vector<PyObject*>& into, std::vector<PyObject*>& objects, std::atomic<Py_ssize_t>& count) {
  std::size_t n = 0;
  if (into.empty()) {
    into.swap(objects);  // takes the whole buffer: nothing to allocate
    n = into.size();
  } else {
    try {
      into.insert(into.end(), objects.begin(), objects.end());
      n = objects.size();
    } catch (const std::bad_alloc&) {
      // Leaked (see above).
    }
  }
  count.fetch_add(static_cast<Py_ssize_t>(n), std::memory_order_relaxed);
}

}  // namespace

void drop_reference(PyObject* obj) noexcept {
  if (obj == nullptr) return;
  if (thread_is_attached()) {
    Py_DECREF(obj);
    return;
  }
  PendingList& list = pending();
  std::lock_guard guard(list.lock);
  try {
    list.objects.push_back(obj);
  } catch (const std::bad_alloc&) {
    return;  // leaked: see append_locked
  }
  list.count.fetch_add(1, std::memory_order_relaxed);
}

void drop_references(std::vector<PyObject*>& objects) noexcept {
  if (thread_is_attached()) {
    for (PyObject* obj : objects) Py_XDECREF(obj);
  } else {
    std::erase(objects, nullptr);
    PendingList& list = pending();
    std::lock_guard guard(list.lock);
    append_locked(list.objects, objects, list.count);
  }
  objects.clear();
}

void call_when_attached(std::vector<DeferredRef>& wrappers) noexcept {
  std::vector<PyObject*> raw;
  try {
    raw.reserve(wrappers.size());
  } catch (const std::bad_alloc&) {
    for (DeferredRef& wrapper : wrappers) (void)wrapper.take().release();  // leaked: see append_locked
    wrappers.clear();
    return;
  }
  for (DeferredRef& wrapper : wrappers) raw.push_back(wrapper.take().release());
  wrappers.clear();
  PendingList& list = pending();
  std::lock_guard guard(list.lock);
  append_locked(list.calls, raw, list.count);
}

void wake_when_attached(core::Waker waker) noexcept {
  PendingList& list = pending();
  std::lock_guard guard(list.lock);
  try {
    list.wakers.push_back(std::move(waker));
  } catch (const std::bad_alloc&) {
    // No memory even for this: the waker is dropped with its task reference,
    // and a task nobody else holds is released with its coroutine (its
    // references go to the pending list, or leak as above).
    return;
  }
  list.count.fetch_add(1, std::memory_order_relaxed);
}

void drop_pending_references() noexcept {
  PendingList& list = pending();
  if (list.count.load(std::memory_order_relaxed) == 0) return;
  std::vector<PyObject*> objects;
  std::vector<PyObject*> calls;
  std::vector<core::Waker> wakers;
  {
    std::lock_guard guard(list.lock);
    objects.swap(list.objects);
    calls.swap(list.calls);
    wakers.swap(list.wakers);
    list.count.store(0, std::memory_order_relaxed);
  }
  // No lock is held while a drop or a call may run Python code (__del__).
  for (PyObject* obj : objects) Py_DECREF(obj);
  for (PyObject* wrapper : calls) {
    Ref owned = Ref::steal(wrapper);
    Ref result = Ref::steal(PyObject_CallNoArgs(owned.get()));
    if (!result) report_unraisable("in corvalune done callback", owned.get());
  }
  for (core::Waker& waker : wakers) std::move(waker).wake();
}

}  // namespace corvalune::sys
