// The per-loop mailbox for awaited handles' outcomes; the protocol is in
// loop_mailbox.hpp.
#include "asyncio/loop_mailbox.hpp"

#include <chrono>
#include <memory>
#include <new>
#include <mutex>
#include <utility>
#include <vector>

#include "interp/attach.hpp"
#include "interp/cells.hpp"
#include "interp/closure.hpp"
#include "interp/deferred.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "interp/report.hpp"

namespace corvalune::sys {
namespace {

// Attempts at scheduling before a failure is reported: a failed allocation
// is often alone (another thread frees memory meanwhile).
constexpr int kScheduleAttempts = 3;

enum class Scheduling { Done, LoopClosed, Failed };

// A drain scheduled this long ago and not yet run is asked for again by the
// next post (loop_mailbox.hpp).
constexpr auto kOverdue = std::chrono::milliseconds(100);

// Whether `loop` is closed. A pending exception is kept aside while it asks;
// a loop that cannot tell counts as open.
bool loop_is_closed(PyObject* loop) {
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  Ref closed = call_method(loop, Name::is_closed);
  const bool is_closed = closed && closed.get() == Py_True;
  PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
  return is_closed;
}

// loop.call_soon_threadsafe(*args[1:]) (args[0] is the loop). A closed loop
// is not asked again; any other failure is tried again, kScheduleAttempts
// times in all, and then reported. No error is left set.
Scheduling schedule(PyObject* const* args, std::size_t nargs) {
  for (int attempt = 1;; ++attempt) {
    Ref scheduled = Ref::steal(PyObject_VectorcallMethod(name(Name::call_soon_threadsafe), args, nargs, nullptr));
    if (scheduled) return Scheduling::Done;
    if (loop_is_closed(args[0])) {
      PyErr_Clear();  // its awaiting coroutines never resume
      return Scheduling::LoopClosed;
    }
    if (attempt == kScheduleAttempts) {
      report_unraisable("while scheduling an awaited Corvalune handle's outcome on its loop", args[0]);
      return Scheduling::Failed;
    }
    PyErr_Clear();
  }
}

// Runs on the loop's own thread: settle_awaiting_future for one outcome
// scheduled by itself.
PyObject* settle_future(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (nargs != 3) {
      PyErr_SetString(PyExc_TypeError, "settle_future() takes 3 arguments");
      return nullptr;
    }
    if (!settle_awaiting_future(args[0], PyObject_IsTrue(args[1]) == 1, args[2])) return nullptr;
    Py_RETURN_NONE;
  });
}

PyMethodDef kSettleDef = {"settle_future", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settle_future)),
                          METH_FASTCALL, nullptr};
ObjectCell g_settle;

PyObject* settle_function() {
  return g_settle.get_or_init([] { return PyCFunction_New(&kSettleDef, nullptr); });
}

struct Outcome {
  DeferredRef future;
  bool is_error;
  DeferredRef value;
};

// The mailbox is a closure: calling it (what the loop does with the
// scheduled callback) drains it.
class Mailbox final : public ClosureBody {
 public:
  explicit Mailbox(Ref loop) : loop_(std::move(loop)) {}

  // Appends the outcome, taking the references; returns whether the caller
  // must schedule a drain. Throws std::bad_alloc, with the references left
  // to the caller, when there is no room for it.
  bool post(Ref& future, bool is_error, Ref& value) {
    std::lock_guard guard(lock_);
    if (posted_.size() == posted_.capacity()) posted_.reserve(posted_.empty() ? 16 : 2 * posted_.size());
    posted_.push_back(Outcome{DeferredRef(std::move(future)), is_error, DeferredRef(std::move(value))});
    const auto now = std::chrono::steady_clock::now();
    if (scheduled_ && now - scheduled_at_ < kOverdue) return false;
    scheduled_ = true;
    scheduled_at_ = now;
    return true;
  }

  // After a scheduling the loop refused because it is closed: drops what is
  // posted (outside the lock) and lets the next post try again.
  void abandon() noexcept {
    std::vector<Outcome> dropped;
    std::lock_guard guard(lock_);
    dropped.swap(posted_);
    scheduled_ = false;
  }

  // After a scheduling that failed otherwise: what is posted stays, for the
  // drain the next post schedules.
  void unschedule() noexcept {
    std::lock_guard guard(lock_);
    scheduled_ = false;
  }

  Ref loop() const noexcept { return loop_.clone(); }

  PyObject* call(PyObject* const*, Py_ssize_t, PyObject*) override {
    std::vector<Outcome> taken;
    {
      std::lock_guard guard(lock_);
      taken.swap(posted_);
      scheduled_ = false;
    }
    for (Outcome& outcome : taken) {
      Ref future = outcome.future.take();
      Ref value = outcome.value.take();
      // One failure must not keep the other futures from their outcomes.
      if (!settle_awaiting_future(future.get(), outcome.is_error, value.get())) {
        report_unraisable("while settling an awaited Corvalune handle's future", future.get());
      }
    }
    Py_RETURN_NONE;
  }

  // Runs with every thread stopped at a point where it holds no native
  // lock of this module (the collector runs attached, and a post holds the
  // lock only between two attached points with no Python call between):
  // reading the list without the lock is safe.
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(loop_.get());
    for (const Outcome& outcome : posted_) {
      Py_VISIT(outcome.future.get());
      Py_VISIT(outcome.value.get());
    }
    return 0;
  }

  void clear() override {
    std::vector<Outcome> dropped;
    {
      std::lock_guard guard(lock_);
      dropped.swap(posted_);
    }
    loop_.reset();
  }

  const char* what() const noexcept override { return "corvalune loop mailbox"; }

 private:
  DeferredRef loop_;
  std::mutex lock_;
  std::vector<Outcome> posted_;  // guarded by lock_
  bool scheduled_ = false;       // guarded by lock_
  std::chrono::steady_clock::time_point scheduled_at_;  // guarded by lock_
};

// After a failed step of settling: the failure (pending) becomes the
// future's exception, so that its awaiting coroutine resumes. A
// StopIteration that set_exception refuses is delivered as that refusal.
bool deliver_failure(PyObject* future) {
  Ref failure = take_call_failure();
  return static_cast<bool>(call_method(future, Name::set_exception, failure.get()));
}

}  // namespace

bool make_settle_function() { return settle_function() != nullptr; }

Ref loop_mailbox(PyObject* loop) {
  PyObject* attr = name(Name::corvalune_mailbox);
  if (attr == nullptr) return {};
  // A loop whose attributes cannot be read or set (a C implementation
  // without a __dict__, or one that refuses) simply gets no mailbox.
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(loop, attr, &found) < 0) {
    PyErr_Clear();
    return {};
  }
  Ref existing = Ref::steal(found);
  if (existing && dynamic_cast<Mailbox*>(closure_body(existing.get())) != nullptr) return existing;
  Ref mailbox = make_closure(std::make_unique<Mailbox>(Ref::borrow(loop)));
  if (!mailbox) return {};
  if (PyObject_SetAttr(loop, attr, mailbox.get()) < 0) {
    PyErr_Clear();
    return {};
  }
  return mailbox;
}

void post_outcome(PyObject* mailbox_object, Ref future, bool is_error, Ref value) {
  auto* mailbox = dynamic_cast<Mailbox*>(closure_body(mailbox_object));
  if (mailbox == nullptr) return;
  bool must_schedule = false;
  try {
    must_schedule = mailbox->post(future, is_error, value);
  } catch (const std::bad_alloc&) {
    // No room in the mailbox: the outcome goes by itself.
    if (Ref loop = mailbox->loop()) schedule_settle(loop.get(), std::move(future), is_error, std::move(value));
    return;
  }
  if (!must_schedule) return;
  Ref loop = mailbox->loop();
  if (!loop) return;  // cleared by the collector: the loop is gone
  PyObject* args[] = {loop.get(), mailbox_object};
  switch (schedule(args, 2)) {
    case Scheduling::Done:
      break;
    case Scheduling::LoopClosed:
      mailbox->abandon();
      break;
    case Scheduling::Failed:
      mailbox->unschedule();
      break;
  }
}

void schedule_settle(PyObject* loop, Ref future, bool is_error, Ref value) {
  PyObject* settle = settle_function();
  if (settle == nullptr) {
    report_unraisable("while scheduling an awaited Corvalune handle's outcome on its loop", loop);
    return;
  }
  PyObject* args[] = {loop, settle, future.get(), is_error ? Py_True : Py_False, value.get()};
  schedule(args, 5);
}

bool settle_awaiting_future(PyObject* future, bool is_error, PyObject* value) {
  Ref done = call_method(future, Name::done);
  if (!done) return deliver_failure(future);
  if (done.get() == Py_True) return true;
  Ref result = call_method(future, is_error ? Name::set_exception : Name::set_result, value);
  return result || deliver_failure(future);
}

}  // namespace corvalune::sys
