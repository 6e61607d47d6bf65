#include "interp/exit_gate.hpp"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "interp/detach.hpp"
#include "interp/pyref.hpp"
#include "module/entry.hpp"

namespace corvalune::sys {
namespace {

// Both seq_cst (see the protocol in exit_gate.hpp). Trivially destructible:
// pool threads read them after static destruction has begun.
std::atomic<bool> g_closed{false};
std::atomic<std::uint32_t> g_in_flight{0};

// An attach in flight needs only the interpreter lock, which the closer lets
// go of while it waits: it ends within a few switch intervals. The bound is
// for a lock that another thread never lets go of; the exit goes on then, as
// it did before the gate existed.
constexpr auto kInFlightWait = std::chrono::seconds(2);

struct CloseExitGate {
  static constexpr const char* name = "_close_exit_gate";
  static constexpr const char* doc =
      "Keeps Corvalune's threads from attaching to the interpreter from now on. Registered with\n"
      "`atexit` when the module is imported.";

  static PyObject* call(PyObject*) {
    g_closed.store(true, std::memory_order_seq_cst);
    if (g_in_flight.load(std::memory_order_seq_cst) != 0) {
      Detach released;  // the attaches in flight wait for the interpreter lock
      const auto deadline = std::chrono::steady_clock::now() + kInFlightWait;
      while (g_in_flight.load(std::memory_order_seq_cst) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    }
    Py_RETURN_NONE;
  }
};

PyMethodDef kCloseExitGateDef = entry_def<CloseExitGate>();

// A forked child has only the forking thread, which is attached: the
// attaches the parent had in flight (threads waiting for the interpreter
// lock the forking thread held) are not the child's, and its exit must not
// wait for them.
void after_fork_in_child() { g_in_flight.store(0, std::memory_order_seq_cst); }

}  // namespace

ExitGatePass::ExitGatePass() noexcept {
  g_in_flight.fetch_add(1, std::memory_order_seq_cst);
  counted_ = true;
  admitted_ = !g_closed.load(std::memory_order_seq_cst);
  if (!admitted_) leave();
}

void ExitGatePass::leave() noexcept {
  if (!counted_) return;
  counted_ = false;
  g_in_flight.fetch_sub(1, std::memory_order_seq_cst);
}

bool register_exit_gate(PyObject* module) {
  static const bool fork_hook = [] {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    return true;
  }();
  (void)fork_hook;
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref close = Ref::steal(PyCFunction_NewEx(&kCloseExitGateDef, module, module_name.get()));
  if (!close) return false;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref name = Ref::steal(PyUnicode_FromString("register"));
  if (!name) return false;
  return static_cast<bool>(Ref::steal(PyObject_CallMethodOneArg(atexit.get(), name.get(), close.get())));
}

}  // namespace corvalune::sys
