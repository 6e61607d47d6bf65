#pragma once
// The last step of an isolated call, and which thread takes it.
//
// Settling a call needs the main interpreter: the outcome is unpickled into
// the record, the caller's pickle is dropped and the done callbacks run. The
// worker that ran the call takes the step itself unless a caller already
// waits for the outcome (an executor future's result()); then the worker
// hands the step to that caller and never attaches to the main interpreter,
// and the caller, polling without the interpreter lock, settles the call on
// its own thread. Were the worker to settle while a caller waits, the two
// would compete for the interpreter lock and the caller would sleep until the
// worker's callback woke it: a hand-over of the lock and two kernel wake-ups
// per call, most of the cost of a tiny call.
//
// Protocol, on the record's one atomic word (`phase_`):
//   C1  Open -> Waited    the caller announces that it waits (CAS);
//   C2  Waited -> Open    the caller gives up, its poll over (CAS);
//   W1  Waited -> Handed  the worker hands the step over (CAS, release:
//                         publishes step_; pairs with the caller's acquire
//                         load or its failed C2, acquire);
//   W2  any -> Worker     the worker keeps the step (exchange), when W1 is
//                         not possible or failed.
// Handed and Worker are final and exactly one of them ends the word, so
// exactly one thread settles: a caller whose C2 fails finds Handed (it
// settles) or Worker (the callbacks tell the future); a worker whose W1 fails
// (the caller gave up first) keeps the step. A second waiter finds the word
// not Open and waits the usual way. Only a step that needs nothing more of
// the sub-interpreter is handed over (an outcome small enough to be copied
// out of it, see Crossing::keep_small): the worker has ended its use of the
// sub-interpreter before, so shutdown never waits on a caller.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "handles/completion.hpp"
#include "isolated/crossing.hpp"

namespace corvalune::sys::isolated {

struct SubInterpreter;

// What running a call (or a chunk) in the sub-interpreter left for the last
// step: the outcome's crossing, or why there is none.
struct SubResult {
  SubInterpreter* sub = nullptr;  // in use until the job ends that use
  Crossing back;
  std::string failure;     // set when there is no outcome
  bool shut_down = false;  // no outcome since shutdown ended the interpreters
  bool no_memory = false;  // no outcome for want of memory in the crossing
};

class IsolatedCompletion;

// What the last step of one call needs, and the job's reference to the
// record: whoever takes the step drops it attached, so that the record's
// Python references never go to the pending list for want of an attached
// last owner.
struct Settlement {
  SubResult result;
  Crossing call;  // the caller's pickle, dropped attached to the main interpreter
  std::shared_ptr<IsolatedCompletion> record;
};

// Attached to the main interpreter: the exception of a job that has no
// outcome, PoolShutdownError after shutdown and RuntimeError otherwise.
Ref failure_error(const std::string& failure, bool shut_down = false);
// The same for a call or chunk that left no outcome: MemoryError when the
// crossing ran out of memory.
Ref failure_error(const SubResult& result);

// Attached to the main interpreter: what the take function `which` of the
// crossing module makes of an outcome, or nullptr with an error set.
Ref take_outcome(MainFunction which, const SubResult& result);

// The record of one isolated call: a callable record whose last step a
// waiting caller may take (see above).
class IsolatedCompletion final : public CallableCompletion {
 public:
  // The worker, with the call run; `step.record` is this record. True when
  // a waiting caller took `step` (moved from: the worker may not touch this
  // record again); false when the worker settles it (`settle`). Only a step
  // whose sub-interpreter use has ended may be handed over (`may_hand`).
  bool hand_over(Settlement& step, bool may_hand) noexcept;

  // The caller, attached to the main interpreter: polls for the outcome for
  // a moment (kCallerSpin) without the interpreter lock. True when the call
  // was settled here, its callbacks run on this thread; false when it is
  // not done yet or its worker settles it.
  bool settle_on_caller();

  // Attached to the main interpreter, on whichever thread takes the step;
  // drops the step's reference to the record last.
  void settle(Settlement& step) noexcept;

 private:
  enum Phase : std::uint8_t { kOpen, kWaited, kHanded, kWorker };
  std::atomic<std::uint8_t> phase_{kOpen};
  std::unique_ptr<Settlement> step_;  // written before W1, read after Handed
};

}  // namespace corvalune::sys::isolated
