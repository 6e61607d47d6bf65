#include "attach.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "panic.hpp"
#include "waker.hpp"
#include "worker.hpp"

namespace corvalune::sys {
namespace {

thread_local int t_attach_depth = 0;
// A pool thread's attachment kept after its last Attach ended.
thread_local bool t_lingering = false;
thread_local PyGILState_STATE t_linger_state;

// The pending-release list. Leaked on purpose: workers may queue references
// while the process exits.
struct PendingList {
  std::mutex lock;
  std::vector<PyObject*> objects;  // guarded by lock
  // Lets the attach path skip the lock when nothing is queued. relaxed is
  // enough: a reference queued concurrently is released by a later attach.
  std::atomic<Py_ssize_t> count{0};
};

std::atomic<PendingList*> g_pending{nullptr};

// In a forked child the list's lock may have been held by a thread that no
// longer exists: the child starts with a fresh list and abandons the old one
// (its references belong to objects the child never releases anyway).
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

bool thread_is_attached() noexcept { return t_attach_depth > 0 || t_lingering || PyGILState_Check() == 1; }

Attach::Attach(Linger linger) : linger_(linger == Linger::Yes) {
  outermost_ = t_attach_depth == 0;
  if (outermost_ && t_lingering) {
    // Still attached from the previous job. A finalization that began since
    // is waiting for this thread to let go: do so, and refuse.
    if (Py_IsFinalizing()) {
      release_lingering();
      throw core::Panic("Cannot attach to the Python interpreter while it is finalizing.");
    }
    state_ = t_linger_state;
    t_lingering = false;
  } else if (outermost_) {
    if (Py_IsFinalizing()) throw core::Panic("Cannot attach to the Python interpreter while it is finalizing.");
    state_ = PyGILState_Ensure();
  }
  ++t_attach_depth;
  if (outermost_) drain_pending_releases();
}

Attach::~Attach() {
  --t_attach_depth;
  if (!outermost_) return;
  // Kept only while more work is queued right here: a burst of jobs shares
  // one attachment, while the last job of a burst lets go at once, so a
  // thread waiting for what it just completed (a resolved future, a
  // finished coroutine) gets the interpreter without waiting for this one.
  if (linger_ && core::is_pool_thread() && !Py_IsFinalizing() && core::work_at_hand()) {
    t_linger_state = state_;
    t_lingering = true;
  } else {
    PyGILState_Release(state_);
  }
}

void release_lingering() noexcept {
  if (!t_lingering) return;
  t_lingering = false;
  PyGILState_Release(t_linger_state);
}

void install_idle_hook() noexcept { core::set_worker_idle_hook(&release_lingering); }

void release_reference(PyObject* obj) noexcept {
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

void drain_pending_releases() noexcept {
  PendingList& list = pending();
  if (list.count.load(std::memory_order_relaxed) == 0) return;
  std::vector<PyObject*> objects;
  {
    std::lock_guard guard(list.lock);
    objects.swap(list.objects);
    list.count.store(0, std::memory_order_relaxed);
  }
  // No lock is held while a release may run Python code (__del__).
  for (PyObject* obj : objects) Py_DECREF(obj);
}

Py_ssize_t pending_release_count() noexcept { return pending().count.load(std::memory_order_relaxed); }

}  // namespace corvalune::sys
