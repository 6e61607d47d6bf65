#include "interp/deferred.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "interp/attach.hpp"

namespace corvalune::sys {
namespace {

// The pending list. Leaked on purpose: workers may queue references
// while the process exits.
struct PendingList {
  std::mutex lock;
  std::vector<PyObject*> objects;  // guarded by lock
  // Lets the attach path skip the lock when nothing is queued. relaxed is
  // enough: a reference queued concurrently is dropped by a later attach.
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

}  // namespace

void drop_reference(PyObject* obj) noexcept {
  if (obj == nullptr) return;
  if (thread_is_attached()) {
    Py_DECREF(obj);
    return;
  }
  PendingList& list = pending();
  std::lock_guard guard(list.lock);
  list.objects.push_back(obj);
  list.count.fetch_add(1, std::memory_order_relaxed);
}

void drop_references(std::vector<PyObject*>& objects) noexcept {
  if (thread_is_attached()) {
    for (PyObject* obj : objects) Py_XDECREF(obj);
  } else {
    PendingList& list = pending();
    std::lock_guard guard(list.lock);
    for (PyObject* obj : objects) {
      if (obj == nullptr) continue;
      list.objects.push_back(obj);
      list.count.fetch_add(1, std::memory_order_relaxed);
    }
  }
  objects.clear();
}

void drop_pending_references() noexcept {
  PendingList& list = pending();
  if (list.count.load(std::memory_order_relaxed) == 0) return;
  std::vector<PyObject*> objects;
  {
    std::lock_guard guard(list.lock);
    objects.swap(list.objects);
    list.count.store(0, std::memory_order_relaxed);
  }
  // No lock is held while a drop may run Python code (__del__).
  for (PyObject* obj : objects) Py_DECREF(obj);
}

}  // namespace corvalune::sys
