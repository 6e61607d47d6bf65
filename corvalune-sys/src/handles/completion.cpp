#include "handles/completion.hpp"

#include <cassert>
#include <new>
#include <string_view>

#include "interp/closure.hpp"
#include "interp/deferred.hpp"
#include "interp/guard.hpp"
#include "interp/report.hpp"
#include "panic.hpp"

namespace corvalune::sys {
namespace {

std::string exception_text(PyObject* exc) {
  std::string text;
  Ref name = Ref::steal(PyType_GetFullyQualifiedName(Py_TYPE(exc)));
  if (name) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) text = utf8;
  }
  PyErr_Clear();
  text += ": ";
  Ref str = Ref::steal(PyObject_Str(exc));
  const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
  if (utf8 != nullptr) {
    text += utf8;
  } else {
    PyErr_Clear();
    text += "<exception str() failed>";
  }
  return text;
}

// A done-callback wrapper: calls cb(), falling back to cb(handle) when the
// no-argument call fails for a missing positional argument. Accepts and
// ignores its own arguments, and never fails to its caller: the callback's
// failure is reported here, naming the callback.
class DoneCallback final : public ClosureBody {
 public:
  DoneCallback(PyObject* handle, PyObject* cb) : cb_(Ref::borrow(cb)), handle_(Ref::borrow(handle)) {}

  PyObject* call(PyObject* const*, Py_ssize_t, PyObject*) override {
    Attach attach;
    Ref cb = cb_.clone();
    Ref handle = handle_.clone();
    if (!cb) Py_RETURN_NONE;  // cleared by the collector
    Ref result = Ref::steal(PyObject_CallNoArgs(cb.get()));
    if (!result && PyErr_ExceptionMatches(PyExc_TypeError)) {
      // Not PyErr_GetRaisedException through take_raised_exception: a
      // TypeError is never a PanicException.
      Ref exc = Ref::steal(PyErr_GetRaisedException());
      const std::string text = exception_text(exc.get());
      // Only a failure to bind the call itself means "takes the handle": it
      // is raised before the callback's frame exists, so its traceback is
      // empty. The same words raised from inside the callback are its own
      // failure, and the callback has run: it is not called again.
      Ref traceback = Ref::steal(PyException_GetTraceback(exc.get()));
      if (!traceback && text.find("missing") != std::string::npos &&
          text.find("required positional argument") != std::string::npos) {
        exc.reset();
        result = Ref::steal(PyObject_CallOneArg(cb.get(), handle ? handle.get() : Py_None));
      } else {
        PyErr_SetRaisedException(exc.release());
      }
    }
    if (!result) report_unraisable("in corvalune done callback", cb.get());
    Py_RETURN_NONE;
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(cb_.get());
    Py_VISIT(handle_.get());
    return 0;
  }
  void clear() override {
    cb_.reset();
    handle_.reset();
  }
  const char* what() const noexcept override { return "corvalune done callback"; }

 private:
  DeferredRef cb_;
  DeferredRef handle_;
};

Ref make_wrapper(PyObject* handle, PyObject* cb) { return make_closure(std::make_unique<DoneCallback>(handle, cb)); }

void call_one(PyObject* wrapper) {
  Ref result = Ref::steal(PyObject_CallNoArgs(wrapper));
  // A PanicException coming back is a failure of the callback, not of the
  // completing job: it is reported like any other.
  if (!result) report_unraisable("in corvalune done callback", wrapper);
}

// run_callbacks without memory to attach: the callbacks are queued for the
// next thread that attaches, in a vector if one can be had (else leaked, as
// call_when_attached leaks them).
void call_callbacks_when_attached(Completion::Callbacks& taken) noexcept {
  std::vector<DeferredRef> all;
  try {
    all.reserve(1 + (taken.more ? taken.more->size() : 0));
  } catch (const std::bad_alloc&) {
    (void)taken.first.take().release();
    if (taken.more)
      for (DeferredRef& wrapper : *taken.more) (void)wrapper.take().release();
    return;
  }
  all.push_back(std::move(taken.first));
  if (taken.more)
    for (DeferredRef& wrapper : *taken.more) all.push_back(std::move(wrapper));
  call_when_attached(all);
}

}  // namespace

void raise_not_completed(const char* message) {
  PyErr_SetString(PyExc_RuntimeError, message);
  add_note("wait for it first: `await handle`, or `corvalune.wait([handle])` from a thread");
}

void call_wrappers(Completion::Callbacks wrappers) {
  if (!wrappers.first) return;
  call_one(wrappers.first.get());
  wrappers.first.reset();
  if (!wrappers.more) return;
  for (auto& wrapper : *wrappers.more) {
    call_one(wrapper.get());
    wrapper.reset();
  }
}

int Completion::add_done_callback(PyObject* handle, PyObject* cb) {
  Ref wrapper = make_wrapper(handle, cb);
  if (!wrapper) return -1;
  mark_retrieved();  // the callback is given the handle to look at
  add_wrapper(std::move(wrapper));
  return 0;
}

void Completion::add_wrapper(Ref wrapper) {
  Callbacks ready;
  {
    std::unique_lock lock(callback_lock_);
    if (is_done()) {
      lock.unlock();
      call_one(wrapper.get());
      return;
    }
    if (!callbacks_.first) {
      callbacks_.first = DeferredRef(std::move(wrapper));
    } else {
      // A second callback or more: rare, so out of line.
      if (!callbacks_.more) callbacks_.more = std::make_unique<std::vector<DeferredRef>>();
      callbacks_.more->emplace_back(std::move(wrapper));
    }
    if (is_done()) ready = take_callbacks_locked();
  }
  call_wrappers(std::move(ready));
}

void Completion::run_callbacks() {
  Callbacks taken;
  {
    std::lock_guard lock(callback_lock_);
    taken = take_callbacks_locked();
  }
  if (!taken.empty()) {
    std::optional<Attach> attach;
    try {
      attach.emplace(Attach::Linger::Yes);
    } catch (...) {
      if (!failure_is_no_memory()) throw;
      // Called later, by the next thread that attaches: never dropped.
      call_callbacks_when_attached(taken);
    }
    if (attach) call_wrappers(std::move(taken));
  }
  report_if_collected();
}

void Completion::run_callbacks_for_dropped_work() noexcept {
  mark_retrieved();
  if (Py_IsFinalizing()) return;
  try {
    run_callbacks();
  } catch (...) {
    // Attach refused: finalization began since the check.
  }
}

PyObject* CallableCompletion::result() {
  std::unique_lock lock(result_lock_);
  if (outcome_ == Outcome::Empty) {
    lock.unlock();
    raise_not_completed("task not completed");
    return nullptr;
  }
  mark_retrieved();
  if (outcome_ == Outcome::Value) return object_ ? object_.clone().release() : Py_NewRef(Py_None);
  if (!object_ && !pending_) {
    // Released by the cycle collector: only reachable from other garbage.
    lock.unlock();
    PyErr_SetString(PyExc_RuntimeError, "task outcome was released");
    return nullptr;
  }
  if (!object_) {
    // A PanicInTask not yet created: create it outside the lock, then keep
    // the first one stored so that every call raises the same object.
    PendingException pending = *pending_;
    lock.unlock();
    Ref created = pending.to_object();
    if (!created) return nullptr;
    lock.lock();
    if (!object_) {
      object_ = DeferredRef(created.clone());
      pending_.reset();
      track_handle_locked();
    }
  }
  Ref exc = object_.clone();
  lock.unlock();
  PyErr_SetRaisedException(exc.release());
  return nullptr;
}

int CallableCompletion::traverse(visitproc visit, void* arg) {
  if (!is_done()) return 0;
  std::lock_guard lock(result_lock_);
  Py_VISIT(object_.get());
  return 0;
}

void CallableCompletion::clear() {
  if (!is_done()) return;
  DeferredRef released;  // dropped after the lock
  std::lock_guard lock(result_lock_);
  released = std::move(object_);
}

bool CallableCompletion::failed() {
  std::lock_guard lock(result_lock_);
  return outcome_ == Outcome::Error;
}

void CallableCompletion::bind_handle(PyObject* handle) {
  std::lock_guard lock(result_lock_);
  handle_ = handle;
  // A job that completed already (a free-threaded build runs it at once)
  // has stored its outcome: looked at as a completion would.
  PyObject_GC_UnTrack(handle);
  track_handle_locked();
}

void CallableCompletion::unbind_handle() noexcept {
  std::lock_guard lock(result_lock_);
  handle_ = nullptr;
}

void CallableCompletion::track_handle_locked() noexcept {
  if (handle_ == nullptr || !object_ || !PyObject_IS_GC(object_.get())) return;
  if (!PyObject_GC_IsTracked(handle_)) PyObject_GC_Track(handle_);
}

void CallableCompletion::store(Outcome outcome, Ref object, std::optional<PendingException> pending) {
  {
    // Stored once, by the job's only run: nothing is replaced (and so no
    // reference is dropped under the lock).
    std::lock_guard lock(result_lock_);
    assert(!object_);
    object_ = DeferredRef(std::move(object));
    pending_ = std::move(pending);
    outcome_ = outcome;
    track_handle_locked();
  }
  mark_done();
}

void CallableCompletion::complete_value(Ref value) { store(Outcome::Value, std::move(value), std::nullopt); }

void CallableCompletion::complete_error(Ref exception) { store(Outcome::Error, std::move(exception), std::nullopt); }

void CallableCompletion::complete_error(PendingException exception) {
  store(Outcome::Error, {}, std::move(exception));
}

void CallableCompletion::complete_panic(std::string message) {
  complete_error(PendingException{ExceptionKind::PanicInTask, std::move(message)});
}

void CallableCompletion::complete_no_memory() noexcept {
  store(Outcome::Error, {}, PendingException{ExceptionKind::NoMemory, {}});
}

void CallableCompletion::complete_current_failure(const char* fallback) {
  if (auto message = task_failure_message(fallback)) {
    complete_panic(std::move(*message));
  } else {
    complete_no_memory();
  }
}

// With the shared_ptr's 16-byte control block, one 80-byte pooled block.
static_assert(sizeof(NativeCompletion) <= 64);

NativeCompletion::~NativeCompletion() {
  if (outcome_ == Outcome::Failure) delete failure_;
}

PyObject* NativeCompletion::result() {
  if (!is_done()) {
    raise_not_completed("task not completed");
    return nullptr;
  }
  // Immutable once done (acquire above).
  switch (outcome_) {
    case Outcome::Bytes:
      mark_retrieved();
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes_.data()), 32);
    case Outcome::Failure:
      mark_retrieved();
      failure_->raise();
      return nullptr;
    default:
      return PyErr_NoMemory();
  }
}

bool NativeCompletion::failed() { return is_done() && outcome_ == Outcome::Failure; }

void NativeCompletion::complete_bytes(const core::PipelineResult& bytes) {
  bytes_ = bytes;
  outcome_ = Outcome::Bytes;
  done_.store(1, std::memory_order_release);  // pairs with the acquire in is_done()
}

void NativeCompletion::complete_failure(std::string message) noexcept {
  complete_failure(PendingException{ExceptionKind::PanicInTask, std::move(message)});
}

void NativeCompletion::complete_failure(PendingException failure) noexcept {
  auto* stored = new (std::nothrow) PendingException(std::move(failure));
  if (stored == nullptr) return complete_no_memory();
  failure_ = stored;
  outcome_ = Outcome::Failure;
  done_.store(1, std::memory_order_release);  // pairs with the acquire in is_done()
}

void NativeCompletion::complete_no_memory() noexcept {
  outcome_ = Outcome::NoMemory;
  done_.store(1, std::memory_order_release);  // pairs with the acquire in is_done()
}

}  // namespace corvalune::sys
