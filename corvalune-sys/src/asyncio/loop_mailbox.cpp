// The per-loop mailbox for awaited handles' outcomes; the protocol is in
// loop_mailbox.hpp.
#include "asyncio/loop_mailbox.hpp"

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "interp/attach.hpp"
#include "interp/closure.hpp"
#include "interp/deferred.hpp"
#include "interp/names.hpp"
#include "interp/report.hpp"

namespace corvalune::sys {
namespace {

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

  // Returns whether the caller must schedule a drain.
  bool post(Outcome outcome) {
    std::lock_guard guard(lock_);
    posted_.push_back(std::move(outcome));  // may throw: nothing changed then
    return !std::exchange(scheduled_, true);
  }

  // After a failed scheduling: drops what is posted (outside the lock) and
  // lets the next post try again.
  void abandon() noexcept {
    std::vector<Outcome> dropped;
    {
      std::lock_guard guard(lock_);
      dropped.swap(posted_);
      scheduled_ = false;
    }
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
};

}  // namespace

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
  if (!mailbox->post(Outcome{DeferredRef(std::move(future)), is_error, DeferredRef(std::move(value))})) return;
  Ref loop = mailbox->loop();
  Ref scheduled;
  if (PyObject* method = name(Name::call_soon_threadsafe); method != nullptr && loop) {
    scheduled = Ref::steal(PyObject_CallMethodOneArg(loop.get(), method, mailbox_object));
  }
  if (!scheduled) {
    // A closed loop: its awaiting coroutines never resume.
    PyErr_Clear();
    mailbox->abandon();
  }
}

bool settle_awaiting_future(PyObject* future, bool is_error, PyObject* value) {
  Ref done = call_method(future, Name::done);
  if (!done) return false;
  if (done.get() == Py_True) return true;
  Ref result = call_method(future, is_error ? Name::set_exception : Name::set_result, value);
  if (!result && is_error) {
    // set_exception refuses some exceptions (StopIteration): deliver the
    // refusal instead of leaving the awaiting task hanging.
    Ref refusal = Ref::steal(PyErr_GetRaisedException());
    result = call_method(future, Name::set_exception, refusal.get());
  }
  return static_cast<bool>(result);
}

}  // namespace corvalune::sys
