#include "module/pool.hpp"

#include <algorithm>
#include <chrono>
#include <string>

#include "interp/detach.hpp"
#include "isolated/interpreters.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "panic.hpp"
#include "runtime.hpp"
#include "sizing.hpp"
#include "stats.hpp"
#include "watchdog.hpp"

namespace corvalune::sys {
namespace {

constexpr auto kShutdownWait = std::chrono::milliseconds(500);

struct Configure {
  static constexpr const char* name = "configure";
  static constexpr Param params[] = {{"workers", false, false, "0"}};
  static constexpr const char* doc =
      "Set the size of Corvalune's shared worker pool.\n\n"
      "`workers = 0` selects the automatic count (one worker per logical CPU plus a small\n"
      "blocking headroom). The pool is process-wide and its size is fixed once it starts,\n"
      "so this must run before any Corvalune operation; otherwise a `RuntimeError` reports\n"
      "the size that is actually running, and `CORVALUNE_WORKERS` is the way to configure a\n"
      "pool that something else started first.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    std::uint64_t workers = 0;
    if (bound[0] != nullptr) {
      auto converted = convert_u64(bound[0], "workers");
      if (!converted) return nullptr;
      workers = *converted;
    }
    if (workers > core::kMaxWorkers) {
      const std::string message = "cannot start a Corvalune worker pool of " + std::to_string(workers) +
                                  " workers: the most a pool can have is " + std::to_string(core::kMaxWorkers);
      PyErr_SetString(PyExc_ValueError, message.c_str());
      return nullptr;
    }
    // Thread creation does not need the interpreter, and nothing in the start
    // calls back into Python, so the start runs attached. A start that fails
    // (the system refuses a thread) has stopped the threads it made; the
    // failure guard reports it as the RuntimeError it is, as it does for
    // every entry point that starts the pool.
    const core::StartOutcome outcome = core::try_start_runtime(workers);
    if (outcome.kind == core::StartOutcome::Kind::Started)
      return PyLong_FromUnsignedLongLong(outcome.runtime->thread_count());
    const std::string message =
        "the Corvalune worker pool has already started with " + std::to_string(outcome.running_size) +
        " workers, and its size is fixed once it has been used. Set " + core::kWorkersEnvVar +
        " before the first Corvalune call (or before importing) to change it";
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return nullptr;
  }
};

struct WorkerCount {
  static constexpr const char* name = "worker_count";
  static constexpr const char* doc =
      "Number of workers in the shared pool, or `None` if the pool has not started.";

  // The pool's own threads; registered Python threads are not counted.
  static PyObject* call(PyObject*) {
    const std::optional<std::uint64_t> size = core::pool_size();
    if (!size) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*size);
  }
};

// The figures of the running pool, for corvalune.stats() to dress.
struct PoolStats {
  static constexpr const char* name = "_pool_stats";
  static constexpr const char* doc =
      "The pool's figures as plain tuples, or None before it starts; corvalune.stats() dresses them:\n"
      "(global_queue_depth, (extra_started, for_blocked, for_stall), (departed jobs_run, steals, parks),\n"
      " [(id, kind, index, jobs_run, steals, parks, local_queue_depth, blocked), ...], jobs_helped,\n"
      " sub_interpreters).";

  static const char* kind_name(core::WorkerKind kind) {
    switch (kind) {
      case core::WorkerKind::Pool: return "pool";
      case core::WorkerKind::Extra: return "extra";
      case core::WorkerKind::Registered: return "registered";
    }
    return "registered";
  }

  static PyObject* call(PyObject*) {
    core::Runtime* runtime = core::started_runtime();
    if (runtime == nullptr) Py_RETURN_NONE;
    // Attached: nobody holds the registry's lock while waiting for the
    // interpreter.
    const core::PoolSnapshot seen = core::snapshot(*runtime->scheduler());
    Ref workers = Ref::steal(PyList_New(0));
    if (!workers) return nullptr;
    for (const core::WorkerSnapshot& w : seen.workers) {
      Ref row = Ref::steal(Py_BuildValue("(KsKKKKKO)", static_cast<unsigned long long>(w.id), kind_name(w.kind),
                                         static_cast<unsigned long long>(w.index),
                                         static_cast<unsigned long long>(w.jobs_run),
                                         static_cast<unsigned long long>(w.steals),
                                         static_cast<unsigned long long>(w.parks),
                                         static_cast<unsigned long long>(w.local_queue_depth),
                                         w.blocked ? Py_True : Py_False));
      if (!row || PyList_Append(workers.get(), row.get()) < 0) return nullptr;
    }
    return Py_BuildValue("(K(KKK)(KKK)OKn)", static_cast<unsigned long long>(seen.global_queue_depth),
                         static_cast<unsigned long long>(seen.extra_started),
                         static_cast<unsigned long long>(seen.extra_for_blocked),
                         static_cast<unsigned long long>(seen.extra_for_stall),
                         static_cast<unsigned long long>(seen.departed_jobs_run),
                         static_cast<unsigned long long>(seen.departed_steals),
                         static_cast<unsigned long long>(seen.departed_parks), workers.get(),
                         static_cast<unsigned long long>(seen.jobs_helped), isolated::sub_interpreter_count());
  }
};

// The bound on extra workers (watchdog.hpp), for test suites.
struct SetExtraWorkerLimit {
  static constexpr const char* name = "_set_extra_worker_limit";
  static constexpr Param params[] = {{"limit", true}};
  static constexpr const char* doc =
      "Bounds the extra workers the pool may add (at most 256); returns the previous bound. For test\n"
      "suites that hold every worker and need queued work to stay queued.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    auto limit = convert_u64(bound[0], "limit");
    if (!limit) return nullptr;
    const auto bounded = static_cast<std::uint32_t>(std::min<std::uint64_t>(*limit, core::kMaxExtraWorkers));
    return PyLong_FromUnsignedLong(core::set_extra_worker_limit(bounded));
  }
};

struct DefaultWorkerCount {
  static constexpr const char* name = "default_worker_count";
  static constexpr const char* doc = "The worker count that `configure(0)` would choose on this machine.";

  static PyObject* call(PyObject*) { return PyLong_FromUnsignedLongLong(core::automatic_pool_size()); }
};

struct Shutdown {
  static constexpr const char* name = "shutdown";
  static constexpr const char* doc =
      "Stop Corvalune's background workers before the interpreter shuts down.\n\n"
      "Registered as an `atexit` hook by the `corvalune` package. Deliberately does not\n"
      "join worker threads, because a worker blocked on the interpreter lock cannot exit\n"
      "while the caller holds it; instead it flips the stop flag and waits briefly for\n"
      "workers to observe it, so they cannot touch the interpreter mid-finalization.";

  static PyObject* call(PyObject*) {
    // Detached for the whole wait: a worker running a Python callable needs
    // the interpreter to finish its job and observe the stop.
    {
      Detach released;
      // First, so that isolated jobs still queued are refused rather than
      // make sub-interpreters now; and before the interpreter finalizes,
      // which would otherwise find them.
      isolated::end_sub_interpreters();
      core::stop_and_wait(kShutdownWait);
    }
    // What the injector still holds is dropped now, attached again: telling
    // its waiters runs their callbacks and closes its coroutines here (a
    // detached thread inside a job cannot attach for them).
    if (core::Runtime* runtime = core::started_runtime()) core::discard_queued(*runtime->scheduler());
    Py_RETURN_NONE;
  }
};

}  // namespace

PyMethodDef kConfigureDef = entry_def<Configure>();

PyMethodDef kWorkerCountDef = entry_def<WorkerCount>();
PyMethodDef kDefaultWorkerCountDef = entry_def<DefaultWorkerCount>();
PyMethodDef kShutdownDef = entry_def<Shutdown>();
PyMethodDef kPoolStatsDef = entry_def<PoolStats>();
PyMethodDef kSetExtraWorkerLimitDef = entry_def<SetExtraWorkerLimit>();

}  // namespace corvalune::sys
