#include "isolated/interpreters.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "interp/attach.hpp"
#include "interp/detach.hpp"
#include "interp/pyref.hpp"
#include "isolated/crossing.hpp"
#include "panic.hpp"
#include "worker.hpp"

namespace corvalune::sys::isolated {

struct SubInterpreter {
  PyInterpreterState* interp = nullptr;
  // The owner thread's state, detached between jobs. Owned by `interp`.
  PyThreadState* tstate = nullptr;
  unsigned long owner = 0;  // the owner thread's id, as CPython counts threads
  // The crossing module's functions, owned by `interp`: released inside it,
  // before it ends.
  PyObject* run_call = nullptr;
  PyObject* run_chunk = nullptr;
  // Guarded by the registry's lock.
  int users = 0;
  bool end_requested = false;
  bool waited_for = false;  // counted in the registry's ends_pending
  bool ended = false;
};

namespace {

// Every sub-interpreter of the process. Leaked on purpose: workers may still
// look at it while the process exits, and a forked child replaces it.
struct Registry {
  std::mutex lock;
  // Notified whenever one of the counts or flags below changes.
  std::condition_variable changed;
  std::vector<SubInterpreter*> all;  // guarded by lock; a retiring thread takes its own out
  int ends_pending = 0;              // guarded by lock: ends waited for
  int creating = 0;                  // guarded by lock: creations (and lone endings) under way
  bool closing = false;              // guarded by lock; set once, by shutdown
  bool pausing = false;              // guarded by lock: a fork is ending them
};

std::atomic<Registry*> g_registry{nullptr};

// The calling thread's sub-interpreter and the registry it belongs to: a
// forked child's new registry makes the parent's record stale.
thread_local SubInterpreter* t_sub = nullptr;
thread_local Registry* t_registry = nullptr;

void after_fork_in_child() { g_registry.store(new Registry(), std::memory_order_relaxed); }

Registry& registry() {
  static const bool ready = [] {
    g_registry.store(new Registry(), std::memory_order_release);
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
  }();
  (void)ready;
  // acquire: pairs with the release store above (and the child's store,
  // made before any other thread exists there).
  return *g_registry.load(std::memory_order_acquire);
}

constexpr const char* kShutDown = "isolated work cannot run: Corvalune's pool has been shut down";

bool register_fork_hooks();

// What a new sub-interpreter takes from the main one: its import path, and
// the crossing module's file and source, which it runs as a module of its
// own (never through the corvalune package, whose native module it refuses,
// and without importlib's machinery, which it would import first).
struct Bootstrap {
  std::vector<std::string> paths;
  std::string crossing_file;
  std::string crossing_source;
};

// Read attached to the main interpreter.
Bootstrap read_bootstrap() {
  Attach attach;
  Bootstrap out;
  PyObject* path = PySys_GetObject("path");  // borrowed
  if (path != nullptr && PyList_Check(path)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(path); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(path, i));
      if (!PyUnicode_Check(item.get())) continue;
      const char* utf8 = PyUnicode_AsUTF8(item.get());
      if (utf8 == nullptr) {
        PyErr_Clear();
        continue;
      }
      out.paths.emplace_back(utf8);
    }
  }
  Ref module = Ref::steal(PyImport_ImportModule("corvalune._crossing"));
  Ref file = module ? Ref::steal(PyObject_GetAttrString(module.get(), "__file__")) : Ref();
  const char* utf8 = file && PyUnicode_Check(file.get()) ? PyUnicode_AsUTF8(file.get()) : nullptr;
  if (utf8 == nullptr) throw core::Panic("cannot find corvalune._crossing: " + take_error_text());
  out.crossing_file = utf8;
  std::ifstream in(out.crossing_file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in) throw core::Panic("cannot read " + out.crossing_file);
  out.crossing_source = text.str();
  if (!register_fork_hooks()) throw core::Panic("cannot register the fork hooks: " + take_error_text());
  return out;
}

// Loads the crossing module into the current (new) sub-interpreter. False
// with an error set.
bool bootstrap(SubInterpreter& sub, const Bootstrap& from) {
  Ref paths = Ref::steal(PyList_New(0));
  if (!paths) return false;
  for (const std::string& p : from.paths) {
    Ref item = Ref::steal(PyUnicode_FromStringAndSize(p.data(), static_cast<Py_ssize_t>(p.size())));
    if (!item || PyList_Append(paths.get(), item.get()) < 0) return false;
  }
  if (PySys_SetObject("path", paths.get()) < 0) return false;
  Ref module = Ref::steal(PyModule_New("_corvalune_crossing"));
  Ref file = Ref::steal(PyUnicode_FromStringAndSize(from.crossing_file.data(),
                                                    static_cast<Py_ssize_t>(from.crossing_file.size())));
  if (!module || !file) return false;
  PyObject* globals = PyModule_GetDict(module.get());  // borrowed
  if (PyDict_SetItemString(globals, "__file__", file.get()) < 0 ||
      PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0)
    return false;
  Ref code = Ref::steal(Py_CompileString(from.crossing_source.c_str(), from.crossing_file.c_str(), Py_file_input));
  if (!code || !Ref::steal(PyEval_EvalCode(code.get(), globals, globals))) return false;
  Ref run_call = Ref::steal(PyObject_GetAttrString(module.get(), "run_call"));
  Ref run_chunk = Ref::steal(PyObject_GetAttrString(module.get(), "run_chunk"));
  if (!run_call || !run_chunk) return false;
  sub.run_call = run_call.release();
  sub.run_chunk = run_chunk.release();
  return true;
}

// Ends `sub` from the calling thread, which is attached to nothing or to
// the main interpreter (and is so again on return). Nobody uses `sub`.
void end(SubInterpreter& sub) noexcept {
  PyThreadState* outer = PyThreadState_GetUnchecked();
  if (outer != nullptr) PyEval_SaveThread();
  // A state of this thread's own: the owner's may belong to another thread,
  // or to none any more. Py_EndInterpreter wants the ending state current
  // and the only one left.
  PyThreadState* ending = PyThreadState_New(sub.interp);
  if (ending == nullptr) Py_FatalError("cannot make a thread state to end a Corvalune sub-interpreter");
  PyEval_RestoreThread(ending);
  Py_CLEAR(sub.run_call);
  Py_CLEAR(sub.run_chunk);
  PyThreadState_Clear(sub.tstate);
  PyThreadState_Delete(sub.tstate);
  sub.tstate = nullptr;
  Py_EndInterpreter(ending);  // returns with no thread state current
  sub.interp = nullptr;
  if (outer != nullptr) PyEval_RestoreThread(outer);
}

// Lets go of a pool thread's lingering attachment. Not detach_lingering on
// other threads: a registered thread helping the pool stays attached to the
// main interpreter here, and the isolated steps swap its state out and back
// themselves (InSub), so that the helping scope's own bookkeeping is never
// crossed by the sub-interpreter's.
void let_go_of_lingering() noexcept {
  if (core::is_pool_thread()) detach_lingering();
}

// Makes the calling thread's sub-interpreter. The thread is in the state it
// was in on return.
SubInterpreter* create() {
  // Makes this thread's main-interpreter state first (a pool thread's
  // first attach), so that PyGILState stays bound to it and never to the
  // sub-interpreter's state.
  const Bootstrap from = read_bootstrap();
  let_go_of_lingering();
  PyThreadState* outer = PyThreadState_GetUnchecked();
  PyInterpreterConfig config = {};
  config.use_main_obmalloc = 0;
  config.allow_fork = 0;
  config.allow_exec = 0;
  config.allow_threads = 1;
  config.allow_daemon_threads = 0;
  config.check_multi_interp_extensions = 1;
  config.gil = PyInterpreterConfig_OWN_GIL;
  // Made first: nothing may throw while the new interpreter's state is
  // current, or `outer` would never be attached again.
  auto sub = std::make_unique<SubInterpreter>();
  PyThreadState* state = nullptr;
  // Detaches `outer` (if any) and leaves the new state current.
  PyStatus status = Py_NewInterpreterFromConfig(&state, &config);
  if (PyStatus_Exception(status) || state == nullptr) {
    // CPython's own words for an allocation that failed: the caller's
    // MemoryError, not a fault of the pool.
    if (status.err_msg != nullptr && std::strcmp(status.err_msg, "memory allocation failed") == 0)
      throw std::bad_alloc();
    std::string message = "cannot create a sub-interpreter";
    if (status.err_msg != nullptr) message += std::string(": ") + status.err_msg;
    throw core::Panic(message);  // `outer` is attached again
  }
  sub->interp = PyThreadState_GetInterpreter(state);
  sub->tstate = state;
  sub->owner = PyThread_get_thread_ident();
  if (!bootstrap(*sub, from)) {
    bool no_memory = PyErr_ExceptionMatches(PyExc_MemoryError) != 0;
    std::string message;
    try {
      message = "cannot prepare a sub-interpreter: " + take_error_text();
    } catch (const std::bad_alloc&) {
      PyErr_Clear();
      no_memory = true;
    }
    PyEval_SaveThread();
    end(*sub);
    if (outer != nullptr) PyEval_RestoreThread(outer);
    if (no_memory) throw std::bad_alloc();
    throw core::Panic(message);
  }
  PyEval_SaveThread();
  if (outer != nullptr) PyEval_RestoreThread(outer);
  return sub.release();
}

// Raises SystemExit in the call `sub`'s owner is running, at its next
// bytecode boundary, from the calling thread (attached to nothing). The
// caller keeps `sub` in use meanwhile, so it cannot end under this.
void interrupt(SubInterpreter& sub) noexcept {
  PyThreadState* state = PyThreadState_New(sub.interp);
  if (state == nullptr) return;
  // Waits for the running call to hand over the sub-interpreter's lock, as
  // it does at every switch interval.
  PyEval_RestoreThread(state);
  PyThreadState_SetAsyncExc(sub.owner, PyExc_SystemExit);
  PyThreadState_Clear(state);
  PyThreadState_DeleteCurrent();
}

// Waits, attached to nothing, until a fork has ended the sub-interpreters.
void wait_while_pausing(Registry& r) {
  let_go_of_lingering();
  PyThreadState* outer = PyThreadState_GetUnchecked();
  if (outer != nullptr) PyEval_SaveThread();
  {
    std::unique_lock lock(r.lock);
    r.changed.wait(lock, [&r] { return !r.pausing; });
  }
  if (outer != nullptr) PyEval_RestoreThread(outer);
}

enum class Ending { ForGood, ForFork };

// Ends every sub-interpreter (see interpreters.hpp). The caller is attached
// to nothing.
void end_all(Ending why) noexcept {
  Registry& r = registry();
  std::vector<SubInterpreter*> idle;
  std::vector<SubInterpreter*> busy;
  std::unique_lock lock(r.lock);
  (why == Ending::ForGood ? r.closing : r.pausing) = true;
  r.changed.wait(lock, [&r] { return r.creating == 0; });
  for (SubInterpreter* sub : r.all) {
    if (sub->ended || sub->end_requested) continue;
    if (sub->users == 0) {
      sub->ended = true;
      idle.push_back(sub);
      continue;
    }
    sub->end_requested = true;
    // This thread's own, in use further up its stack, is ended when that
    // use is over, not waited for here.
    if (sub == t_sub) continue;
    sub->waited_for = true;
    ++r.ends_pending;
    if (why == Ending::ForGood) {
      ++sub->users;  // held while it is interrupted
      busy.push_back(sub);
    }
  }
  lock.unlock();
  for (SubInterpreter* sub : idle) end(*sub);
  // At shutdown, work still running is abandoned as the pool's other work
  // is: the call gets SystemExit (one blocked in native code ends only when
  // that returns). A fork waits for it instead. The last use ends the
  // interpreter.
  for (SubInterpreter* sub : busy) {
    interrupt(*sub);
    leave_sub_interpreter(*sub);
  }
  lock.lock();
  r.changed.wait(lock, [&r] { return r.ends_pending == 0; });
}

// os.register_at_fork hooks. A sub-interpreter alive at a fork crashes the
// child (CPython clears it there without a thread state of its own), so a
// fork ends them all first, waiting for running calls; the parent makes new
// ones as it needs them, and so does the child.
PyObject* before_fork(PyObject*, PyObject*) {
  Detach detached;
  end_all(Ending::ForFork);
  Py_RETURN_NONE;
}

PyObject* after_fork_in_parent(PyObject*, PyObject*) {
  Registry& r = registry();
  std::lock_guard lock(r.lock);
  r.pausing = false;
  r.changed.notify_all();
  Py_RETURN_NONE;
}

PyMethodDef kBeforeFork = {"_end_sub_interpreters_before_fork", before_fork, METH_NOARGS, nullptr};
PyMethodDef kAfterFork = {"_resume_sub_interpreters_after_fork", after_fork_in_parent, METH_NOARGS, nullptr};

// Once per process, attached to the main interpreter. False with an error set.
bool register_fork_hooks() {
  static bool registered = false;  // the main interpreter's lock guards it
  if (registered) return true;
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  Ref hook = os ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : Ref();
  Ref before = Ref::steal(PyCFunction_New(&kBeforeFork, nullptr));
  Ref after = Ref::steal(PyCFunction_New(&kAfterFork, nullptr));
  Ref kwargs = Ref::steal(PyDict_New());
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!hook || !before || !after || !kwargs || !empty || PyDict_SetItemString(kwargs.get(), "before", before.get()) < 0 ||
      PyDict_SetItemString(kwargs.get(), "after_in_parent", after.get()) < 0)
    return false;
  if (!Ref::steal(PyObject_Call(hook.get(), empty.get(), kwargs.get()))) return false;
  registered = true;
  return true;
}

}  // namespace

SubInterpreter& enter_sub_interpreter() {
  Registry& r = registry();
  for (;;) {
    {
      std::lock_guard lock(r.lock);
      if (r.closing) throw SubInterpretersEnded(kShutDown);
      if (!r.pausing) {
        if (t_sub != nullptr && t_registry == &r && !t_sub->ended) {
          ++t_sub->users;
          return *t_sub;
        }
        // Counted, so that an ending of all of them waits for this one.
        ++r.creating;
        break;
      }
    }
    wait_while_pausing(r);
  }
  // Made outside the lock: it takes milliseconds, and other threads enter
  // their own meanwhile.
  SubInterpreter* sub = nullptr;
  try {
    sub = create();
  } catch (...) {
    std::lock_guard lock(r.lock);
    --r.creating;
    r.changed.notify_all();
    throw;
  }
  std::lock_guard lock(r.lock);
  --r.creating;
  r.all.push_back(sub);
  sub->users = 1;
  t_sub = sub;
  t_registry = &r;
  r.changed.notify_all();
  return *sub;
}

void leave_sub_interpreter(SubInterpreter& sub) noexcept {
  Registry& r = registry();
  bool end_now = false;
  {
    std::lock_guard lock(r.lock);
    end_now = --sub.users == 0 && sub.end_requested && !sub.ended;
    if (end_now) sub.ended = true;
  }
  if (!end_now) return;
  end(sub);
  std::lock_guard lock(r.lock);
  if (sub.waited_for) {
    --r.ends_pending;
    r.changed.notify_all();
  }
}

PyObject* sub_function(SubInterpreter& sub, SubFunction which) noexcept {
  return which == SubFunction::RunCall ? sub.run_call : sub.run_chunk;
}

InSub::InSub(SubInterpreter& sub) noexcept {
  let_go_of_lingering();
  outer_ = PyThreadState_GetUnchecked();
  if (outer_ != nullptr) PyEval_SaveThread();
  PyEval_RestoreThread(sub.tstate);
}

InSub::~InSub() {
  PyEval_SaveThread();
  if (outer_ != nullptr) PyEval_RestoreThread(outer_);
}

void end_sub_interpreters() noexcept { end_all(Ending::ForGood); }

void end_own_sub_interpreter() noexcept {
  Registry& r = registry();
  SubInterpreter* sub = t_sub;
  if (sub == nullptr || t_registry != &r) return;
  {
    std::lock_guard lock(r.lock);
    // A shutdown or a fork under way ends it (or has ended it) itself.
    if (r.closing || r.pausing || sub->ended || sub->end_requested || sub->users != 0) return;
    sub->ended = true;
    // Counted as a change under way, as a creation is: an ending of all of
    // them (a fork's above all) waits until this one is gone.
    ++r.creating;
  }
  end(*sub);
  t_sub = nullptr;
  std::lock_guard lock(r.lock);
  std::erase(r.all, sub);
  delete sub;
  --r.creating;
  r.changed.notify_all();
}

Py_ssize_t sub_interpreter_count() noexcept {
  Registry& r = registry();
  std::lock_guard lock(r.lock);
  Py_ssize_t n = 0;
  for (const SubInterpreter* sub : r.all) n += sub->ended ? 0 : 1;
  return n;
}

}  // namespace corvalune::sys::isolated
