// run_level1: runs a root coroutine on the pool and blocks the caller until
// it finishes, helping with queued work meanwhile when the caller is a
// worker itself.
#include <chrono>
#include <optional>
#include <utility>

#include "coroutines/coroutine.hpp"
#include "coroutines/coroutine_task.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/detach.hpp"
#include "interp/guard.hpp"
#include "help_wait.hpp"
#include "interp/helping.hpp"
#include "interp/names.hpp"
#include "interp/report.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "queues/local_queue.hpp"
#include "runtime.hpp"
#include "sync/spin_wait.hpp"
#include "tasks/spawn.hpp"
#include "watchdog.hpp"
#include "worker.hpp"

namespace corvalune::sys {
namespace {

constexpr const char* kShutDownBeforeCompletion =
    "the Corvalune worker pool was shut down before the coroutine finished";

enum class Received { Pair, Disconnected, Timeout };

// Waits (detached by the caller) until a pair arrives, every sender is gone,
// or `timeout` passes.
Received receive(Channel& channel, std::chrono::nanoseconds timeout, std::pair<DeferredRef, DeferredRef>& out,
                 std::chrono::nanoseconds spin = std::chrono::nanoseconds(0)) {
  if (spin.count() > 0) {
    // A short coroutine often finishes within microseconds: poll for that
    // long before paying for a sleep and a wake-up (idle.hpp, the blocked
    // caller). acquire: pairs with the sender's release store.
    core::poll_for(spin, [&] { return channel.sent.load(std::memory_order_acquire); });
  }
  std::unique_lock lock(channel.lock);
  const bool woke = channel.ready.wait_for(lock, timeout, [&] { return !channel.pairs.empty() || channel.senders == 0; });
  if (!channel.pairs.empty()) {
    out = std::move(channel.pairs.front());
    channel.pairs.pop_front();
    return Received::Pair;
  }
  return woke ? Received::Disconnected : Received::Timeout;
}

PyObject* deliver(std::pair<DeferredRef, DeferredRef> pair) {
  Ref value = pair.first.take();
  Ref exception = pair.second.take();
  if (exception && exception.get() != Py_None) {
    PyErr_SetRaisedException(exception.release());
    return nullptr;
  }
  return value.release();
}

// Hides the calling thread's running asyncio loop for a scope. A thread that
// blocks in run_level1 inside a running loop cannot run that loop: coroutine
// steps it runs while it helps must not take the loop for theirs (awaiting
// a handle would hand its completion to the blocked loop).
class HiddenLoop {
 public:
  HiddenLoop() {
    // Without asyncio imported, no loop runs anywhere.
    Ref events = Ref::steal(PyImport_GetModule(name(Name::asyncio_events)));
    if (!events) {
      PyErr_Clear();
      return;
    }
    Ref loop = Ref::steal(PyObject_CallMethodNoArgs(events.get(), name(Name::get_running_loop_private)));
    if (!loop || loop.get() == Py_None) {
      PyErr_Clear();
      return;
    }
    Ref hidden = Ref::steal(PyObject_CallMethodOneArg(events.get(), name(Name::set_running_loop_private), Py_None));
    if (!hidden) {
      PyErr_Clear();
      return;
    }
    events_ = std::move(events);
    loop_ = std::move(loop);
  }
  ~HiddenLoop() {
    if (!loop_) return;
    // Restored whatever run_level1 returns with: its own error is kept.
    Ref pending = Ref::steal(PyErr_GetRaisedException());
    Ref restored =
        Ref::steal(PyObject_CallMethodOneArg(events_.get(), name(Name::set_running_loop_private), loop_.get()));
    if (!restored) report_unraisable("while restoring the running event loop after run_level1()");
    PyErr_SetRaisedException(pending.release());
  }
  HiddenLoop(const HiddenLoop&) = delete;
  HiddenLoop& operator=(const HiddenLoop&) = delete;

 private:
  Ref events_;
  Ref loop_;
};

PyObject* run_root(PyObject* coro) {
  if (!ensure_pool_accepts_work()) return nullptr;

  auto channel = core::make_pooled_shared<Channel>();
  // A thread with its own queue (a pool worker running a task, a
  // registered thread) would be the only one to look there while it
  // blocks: the root task goes to the global queue instead, and this
  // thread keeps running queued work while it waits, as long as its stack
  // has room for more (helping.hpp); past that, it blocks in a blocking
  // scope, and another worker takes its place. When the pool can add no
  // more workers, such a wait raises RecursionError rather than wait for
  // ever.
  const bool worker = core::has_local_queue();
  const bool helping = worker && stack_has_room();
  if (helping) channel->waiter = core::current_helper_unparker();
  if (!submit_task(Ref::borrow(coro), {}, std::make_unique<ChannelSender>(channel), nullptr, /*inject=*/worker))
    return nullptr;
  core::Scheduler& scheduler = *core::global_runtime().scheduler();
  // Work run while this thread helps is not part of any step that
  // called run_level1, and sees no running loop.
  StepScope not_in_step(false);
  std::optional<HelpDepth> depth;
  if (helping) depth.emplace();
  std::optional<HiddenLoop> hidden_loop;
  if (helping) hidden_loop.emplace();
  std::optional<core::BlockingScope> blocking;
  if (worker && !helping) blocking.emplace();

  using namespace std::chrono;
  constexpr nanoseconds kSignalCheck = milliseconds(50);
  auto next_signal_check = steady_clock::now() + kSignalCheck;
  nanoseconds spin = core::kCallerSpin;  // first wait only
  for (;;) {
    std::pair<DeferredRef, DeferredRef> pair;
    Received got;
    if (helping) {
      core::JobRef job = core::take_local_or_injected(scheduler);
      if (!job) {
        // Sleeps detached until there is work it can take or its result
        // arrives; a thread that is not the pool's (it may be the main
        // thread, where signals are handled) also wakes for the signal
        // check. Attaching once per look would make hundreds of waiting
        // workers (a deep chain) fight over the interpreter lock.
        Detach released;
        const nanoseconds timeout =
            core::is_pool_thread()
                ? nanoseconds(0)
                : std::max<nanoseconds>(microseconds(100), next_signal_check - steady_clock::now());
        job = core::wait_as_helper(scheduler, timeout, [&] { return channel->settled(); });
      }
      if (job) {
        // Run attached: the job's own attach nests in this thread's.
        core::run_job(std::move(job));
        if (raise_noted_interrupt()) return nullptr;  // see helping.hpp
      }
      // Received once, after the job taken (if any) has run: the wait can
      // return a job and find the pair in the same look, and a second
      // receive after the first took the pair would find only the sender
      // gone (Disconnected) and lose the result.
      got = receive(*channel, nanoseconds(0), pair);
    } else {
      {
        Detach released;
        got = receive(*channel, kSignalCheck, pair, std::exchange(spin, nanoseconds(0)));
      }
      // References dropped by detached threads are released here, as at
      // any attach.
      drop_pending_references();
    }
    if (got == Received::Pair) return deliver(std::move(pair));
    if (got == Received::Disconnected) {
      bool lost_to_memory;
      {
        std::lock_guard lock(channel->lock);
        lost_to_memory = channel->lost_to_memory;
      }
      if (lost_to_memory) return PyErr_NoMemory();
      PyErr_SetString(PyExc_RuntimeError, "coroutine channel disconnected before completion");
      return nullptr;
    }
    if (!helping || steady_clock::now() >= next_signal_check) {
      if (PyErr_CheckSignals() < 0) return nullptr;
      next_signal_check = steady_clock::now() + kSignalCheck;
      // Once the pool has stopped and every worker has left, nothing will
      // ever step the coroutine again: say so instead of waiting for ever.
      if (!worker && !scheduler.is_running() && core::registered_count(scheduler) == 0) {
        PyErr_SetString(PyExc_RuntimeError, kShutDownBeforeCompletion);
        return nullptr;
      }
      if (worker && !helping && !core::can_add_extra_worker(scheduler)) {
        PyErr_SetString(PyExc_RecursionError,
                        "run_level1 calls nest too deeply on the pool's threads: each waits in one, and the pool "
                        "can add no more workers");
        return nullptr;
      }
    }
  }
}

struct RunLevel1 {
  static constexpr const char* name = "run_level1";
  static constexpr Param params[] = {{"main_coro", true}};
  static constexpr const char* doc =
      "Corvalune Level 1 native executor entry point: runs a root coroutine to completion.";

  static PyObject* call(PyObject*, PyObject* const* bound) { return run_root(bound[0]); }
};

}  // namespace

PyMethodDef kRunLevel1Def = entry_def<RunLevel1>();

}  // namespace corvalune::sys
