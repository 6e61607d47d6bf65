// Awaiting a handle from asyncio: the future an awaiting coroutine waits on,
// and the resolver that settles it on its loop's thread once the work is
// done (through the loop's mailbox, loop_mailbox.hpp, when the loop has one).
#include "asyncio/awaiting.hpp"

#include "asyncio/loop_mailbox.hpp"
#include "interp/attach.hpp"
#include "interp/cells.hpp"
#include "interp/closure.hpp"
#include "interp/deferred.hpp"
#include "interp/detach.hpp"
#include "interp/guard.hpp"
#include "interp/names.hpp"
#include "sync/spin_wait.hpp"

namespace corvalune::sys {
namespace {

// Registered on the handle by __await__: once the work is done, hands the
// outcome to the awaiting asyncio future on its loop's thread, through the
// loop's mailbox (loop_mailbox.hpp), or by one call_soon_threadsafe of
// settle_future when the loop has none.
class Resolver final : public ClosureBody {
 public:
  // `target` is the loop's mailbox, or the loop itself.
  Resolver(Ref target, bool mailbox, Ref future, Ref handle)
      : target_(std::move(target)), future_(std::move(future)), handle_(std::move(handle)), mailbox_(mailbox) {}

  PyObject* call(PyObject* const*, Py_ssize_t, PyObject*) override {
    Attach attach;
    Ref target = target_.clone();
    Ref future = future_.clone();
    Ref handle = handle_.clone();
    if (!target || !future || !handle) return PyTuple_New(0);  // cleared by the collector

    Ref cancelled = call_method(future.get(), Name::cancelled);
    if (!cancelled) PyErr_Clear();
    else if (cancelled.get() == Py_True) return PyTuple_New(0);

    Ref value = call_method(handle.get(), Name::result);
    const bool is_error = !value;
    if (!value) value = take_raised_exception();
    if (mailbox_) {
      post_outcome(target.get(), std::move(future), is_error, std::move(value));
    } else {
      schedule_settle(target.get(), std::move(future), is_error, std::move(value));
    }
    return PyTuple_New(0);
  }
  int traverse(visitproc visit, void* arg) override {
    Py_VISIT(target_.get());
    Py_VISIT(future_.get());
    Py_VISIT(handle_.get());
    return 0;
  }
  void clear() override {
    target_.reset();
    future_.reset();
    handle_.reset();
  }
  const char* what() const noexcept override { return "corvalune future resolver"; }

 private:
  DeferredRef target_;
  DeferredRef future_;
  DeferredRef handle_;
  bool mailbox_;
};

// asyncio.get_running_loop, looked up once.
ObjectCell g_get_running_loop;

// Whether nothing else waits to run on `loop`: asyncio's ready queue
// (`_ready`) is empty. A loop without one (another implementation) counts
// as busy.
bool nothing_else_ready(PyObject* loop) {
  PyObject* raw = nullptr;
  if (PyObject_GetOptionalAttr(loop, name(Name::ready_private), &raw) <= 0) {
    PyErr_Clear();
    return false;
  }
  Ref ready = Ref::steal(raw);
  Py_ssize_t waiting = PyObject_Length(ready.get());
  if (waiting < 0) PyErr_Clear();
  return waiting == 0;
}

}  // namespace

PyObject* await_handle(PyObject* self, Completion& record) {
  PyObject* get_running_loop = g_get_running_loop.get_or_init([]() -> PyObject* {
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    return asyncio ? PyObject_GetAttr(asyncio.get(), name(Name::get_running_loop)) : nullptr;
  });
  if (get_running_loop == nullptr) {
    PyErr_Clear();
    return Py_NewRef(self);
  }
  Ref loop = Ref::steal(PyObject_CallNoArgs(get_running_loop));
  if (!loop) {
    PyErr_Clear();
    return Py_NewRef(self);
  }
  // The awaiting loop's poll (the wake-up policy in idle.hpp): with nothing
  // else to run, the loop would sleep until the worker's post woke it. It
  // polls the done mark first, without the interpreter lock (a callable task
  // needs it to run), and a short job's outcome is taken at once. With other
  // work ready (a gather's other tasks) it never polls.
  if (!record.is_done() && nothing_else_ready(loop.get())) {
    Detach released;
    core::poll_for(core::kCallerSpin, [&] { return record.is_done(); });
  }
  // Done: the handle is its own iterator, whose first step gives the outcome.
  if (record.is_done()) return Py_NewRef(self);
  Ref future = call_method(loop.get(), Name::create_future);
  if (!future) return nullptr;
  Ref mailbox = loop_mailbox(loop.get());
  if (!mailbox && PyErr_Occurred()) return nullptr;
  const bool has_mailbox = static_cast<bool>(mailbox);
  Ref resolver = make_closure(std::make_unique<Resolver>(has_mailbox ? std::move(mailbox) : std::move(loop),
                                                         has_mailbox, future.clone(), Ref::borrow(self)));
  if (!resolver) return nullptr;
  // The handle classes cannot be subclassed, so handle.add_done_callback
  // is always this module's: register the resolver directly (it takes any
  // arguments, so the wrapper's fallback to cb(handle) has nothing to do).
  record.add_wrapper(std::move(resolver));
  return call_method(future.get(), Name::await_).release();
}

}  // namespace corvalune::sys
