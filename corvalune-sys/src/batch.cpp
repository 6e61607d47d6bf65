// Batch dispatch: many items cut into contiguous chunks, one task per chunk,
// one handle for the whole batch.
//
// Inputs are converted (payloads referenced or copied, tuples referenced)
// before anything is queued, so a conversion error leaves nothing behind.
// The chunk plan is taken from the number of workers registered at dispatch
// time.
#include "batch.hpp"

#include <algorithm>
#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include "args.hpp"
#include "attach.hpp"
#include "batch_record.hpp"
#include "block_pool.hpp"
#include "chunking.hpp"
#include "guard.hpp"
#include "handles.hpp"
#include "panic.hpp"
#include "pipeline.hpp"
#include "runtime.hpp"
#include "spawn.hpp"
#include "transform.hpp"

namespace corvalune::sys {
namespace {

// The payloads of a native batch: one exact bytes object per item, as a
// strong reference. Exact bytes cannot change, so workers read their buffers
// without the interpreter while the reference keeps them alive; any other
// payload (bytearray, a bytes subclass, a sequence of ints) is copied into a
// new bytes object at the call, so later changes to it are not seen.
// Each chunk owns the references of its own range: it drops them (attached)
// when its transforms are done and touches no other element. Whatever is
// left (a failed conversion, a chunk that could not attach) goes with the
// vector.
using Payloads = DeferredRefs;

using Tuples = std::vector<DeferredRef>;

// --- conversion --------------------------------------------------------------

void raise_str_refused(const char* param) {
  PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
  add_parameter_note(param);
}

// Steps shared by `payloads` and `args_list`: refuse str, require a sequence,
// then call `item(obj)` for every element (returning false with an error set
// stops the walk). The error gets the parameter note. The walk of an exact
// list or tuple begins at index `start` (the items before it were taken
// already).
template <class F>
bool for_each_item(PyObject* seq, const char* param, F&& item, Py_ssize_t start = 0) {
  if (PyUnicode_Check(seq)) {
    raise_str_refused(param);
    return false;
  }
  if (!PySequence_Check(seq)) {
    raise_type_mismatch(seq, "Sequence", param);
    return false;
  }
  if (PyTuple_CheckExact(seq)) {
    // A tuple cannot change: index by index, without an iterator object.
    for (Py_ssize_t i = start; i < PyTuple_GET_SIZE(seq); ++i) {
      if (!item(PyTuple_GET_ITEM(seq, i))) {
        add_parameter_note(param);
        return false;
      }
    }
    return true;
  }
  if (PyList_CheckExact(seq)) {
    // What the list iterator does, without an iterator object: index by
    // index, the length read again at every step (an item's __index__, or
    // another thread, may change the list). Each item is taken as a strong
    // reference by PyList_GetItemRef, which is safe against concurrent
    // changes without the GIL; a list that shrank under us ends the walk.
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(seq); ++i) {
      Ref obj = Ref::steal(PyList_GetItemRef(seq, i));
      if (!obj) {
        if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
        PyErr_Clear();
        break;
      }
      if (!item(obj.get())) {
        add_parameter_note(param);
        return false;
      }
    }
    return true;
  }
  Ref iter = Ref::steal(PyObject_GetIter(seq));
  if (!iter) {
    add_parameter_note(param);
    return false;
  }
  for (;;) {
    PyObject* raw = nullptr;
    const int rc = PyIter_NextItem(iter.get(), &raw);
    Ref obj = Ref::steal(raw);
    if (rc == 0) return true;
    if (rc < 0 || !item(obj.get())) {
      add_parameter_note(param);
      return false;
    }
  }
}

// At most this many items are reserved before the walk: a length is only a
// hint (a __len__ may lie, a lazy sequence may be huge), and the vectors
// grow as items arrive.
constexpr Py_ssize_t kReserveCap = Py_ssize_t{1} << 16;

// The reservation for a sequence's items, or -1 with the error set when its
// __len__ raised something that is not an Exception (KeyboardInterrupt,
// SystemExit): those propagate. An ordinary error of __len__ is ignored; the
// walk reports whatever is wrong with the items.
Py_ssize_t length_hint(PyObject* seq) {
  const Py_ssize_t n = PyObject_Length(seq);
  // An exact list or tuple tells its true length (no __len__ of its own):
  // reserved in full, sparing the copies of a growing vector.
  if (n >= 0 && (PyList_CheckExact(seq) || PyTuple_CheckExact(seq))) return n;
  if (n >= 0) return n < kReserveCap ? n : kReserveCap;
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
  PyErr_Clear();
  return 0;
}

// Takes the leading exact bytes items of an exact list or tuple in one tight
// pass, within the room `out` has reserved, and returns the index of the
// first item not taken (the walk goes on from there). It is what the walk
// would do for them: an exact bytes item runs no Python code, so nothing can
// change the list in between. The list's own lock (a no-op with the GIL)
// keeps its items in place while they are read; nothing under it can throw.
Py_ssize_t take_leading_bytes(PyObject* seq, Payloads& out) {
  if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) return 0;
  Py_ssize_t i = 0;
  Py_BEGIN_CRITICAL_SECTION(seq);
  PyObject** items = PySequence_Fast_ITEMS(seq);
  const auto room = static_cast<Py_ssize_t>(out.capacity() - out.size());
  const Py_ssize_t n = std::min(PySequence_Fast_GET_SIZE(seq), room);
  // The items are usually cold: ask for one a few steps ahead, so that
  // several reference counts are fetched at once.
  constexpr Py_ssize_t kAhead = 32;
  for (; i < n; ++i) {
    if (i + kAhead < n) __builtin_prefetch(items[i + kAhead], 1);
    PyObject* obj = items[i];
    if (!PyBytes_CheckExact(obj)) break;
    out.push_back(Ref::borrow(obj));
  }
  Py_END_CRITICAL_SECTION();
  return i;
}

// One payload item: bytes, bytearray, or a sequence of integers in 0..255.
bool append_payload(PyObject* item, Payloads& out) {
  if (PyBytes_CheckExact(item)) {
    out.push_back(Ref::borrow(item));
    return true;
  }
  Ref copy;
  if (PyBytes_Check(item)) {
    // A subclass is copied, not held: its release could run Python code
    // (__del__) on a worker.
    copy = Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(item), PyBytes_GET_SIZE(item)));
  } else if (PyByteArray_Check(item)) {
    // A bytearray can be resized by another thread: copied under its own
    // lock (a no-op with the GIL). Nothing here runs Python code.
    Py_BEGIN_CRITICAL_SECTION(item);
    copy = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(item), PyByteArray_GET_SIZE(item)));
    Py_END_CRITICAL_SECTION();
  } else if (PyUnicode_Check(item)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  } else if (!PySequence_Check(item)) {
    raise_type_mismatch(item, "Sequence", nullptr);
    return false;
  } else {
    std::vector<char> values;
    Ref iter = Ref::steal(PyObject_GetIter(item));
    if (!iter) return false;
    for (;;) {
      PyObject* raw = nullptr;
      const int rc = PyIter_NextItem(iter.get(), &raw);
      Ref element = Ref::steal(raw);
      if (rc == 0) break;
      if (rc < 0) return false;
      const long value = PyLong_AsLong(element.get());
      if (value == -1 && PyErr_Occurred()) return false;
      if (value < 0 || value > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
      }
      values.push_back(static_cast<char>(value));
    }
    copy = Ref::steal(PyBytes_FromStringAndSize(values.data(), static_cast<Py_ssize_t>(values.size())));
  }
  if (!copy) return false;
  out.push_back(std::move(copy));
  return true;
}

// --- chunk jobs --------------------------------------------------------------

class NativeChunk final : public core::Future, public core::PoolAllocated {
 public:
  NativeChunk(std::shared_ptr<Payloads> payloads, std::shared_ptr<BatchNativeCompletion> record,
              std::size_t index, core::ChunkRange range, std::uint64_t rounds)
      : payloads_(std::move(payloads)), record_(std::move(record)), index_(index), range_(range), rounds_(rounds) {}

  core::Poll poll(core::Context&) override {
    release_lingering();  // the chunk's transforms need no interpreter
    BatchNativeCompletion& record = *record_;
    try {
      std::vector<NativeResult> results;
      results.reserve(static_cast<std::size_t>(range_.end - range_.start));
      const Payloads& p = *payloads_;
      for (std::uint64_t i = range_.start; i < range_.end; ++i) {
        PyObject* payload = p.get(static_cast<std::size_t>(i));
        results.push_back(core::pipeline_transform(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload)),
                                                   static_cast<std::size_t>(PyBytes_GET_SIZE(payload)), rounds_));
      }
      const bool placed = place(results);
      record.publish(index_, std::move(results), placed);
    } catch (...) {
      record.set_error(current_failure_message("batch chunk panicked"));
    }
    if (record.finish_items(range_.end - range_.start)) record.run_callbacks();
    payloads_.reset();
    record_.reset();
    return core::Poll::Ready;
  }

 private:
  // One attachment for the whole chunk: drops the chunk's payload
  // references and places its results, as bytes objects, in the record's
  // list. False when they are not all placed (the record makes the rest
  // when the result is taken): the batch has no list, memory ran out, or
  // the interpreter is finalizing (the references are then left to the
  // payload vector).
  bool place(const std::vector<NativeResult>& results) {
    // Attaching would be refused: not attempted.
    if (Py_IsFinalizing()) return false;
    std::optional<Attach> attach;
    try {
      attach.emplace();
    } catch (const core::Panic&) {
      return false;  // finalization began since the check above
    }
    payloads_->release_range(static_cast<std::size_t>(range_.start), static_cast<std::size_t>(range_.end));
    PyObject* list = record_->target();
    if (list == nullptr) return false;
    for (std::size_t k = 0; k < results.size(); ++k) {
      PyObject* item = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(results[k].data()), 32);
      if (item == nullptr) {
        PyErr_Clear();
        return false;
      }
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(range_.start + k), item);
    }
    return true;
  }

  std::shared_ptr<Payloads> payloads_;
  std::shared_ptr<BatchNativeCompletion> record_;
  std::size_t index_;
  core::ChunkRange range_;
  std::uint64_t rounds_;
};

class CallableChunk final : public core::Future, public core::PoolAllocated {
 public:
  CallableChunk(Ref func, std::shared_ptr<const Tuples> tuples, std::shared_ptr<BatchCallableCompletion> record,
                core::ChunkRange range)
      : func_(std::move(func)), tuples_(std::move(tuples)), record_(std::move(record)), range_(range) {}

  core::Poll poll(core::Context&) override {
    Attach attach(Attach::Linger::Yes);  // once for the whole chunk
    BatchCallableCompletion& record = *record_;
    try {
      std::vector<ItemOutcome> outcomes;
      outcomes.reserve(static_cast<std::size_t>(range_.end - range_.start));
      for (std::uint64_t i = range_.start; i < range_.end; ++i) {
        Ref result = Ref::steal(PyObject_Call(func_.get(), (*tuples_)[i].get(), nullptr));
        if (result) {
          outcomes.push_back({DeferredRef(std::move(result)), false});
          continue;
        }
        Ref exc = take_raised_exception();  // a PanicException fails the chunk
        if (!exc) {
          PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
          exc = Ref::steal(PyErr_GetRaisedException());
        }
        outcomes.push_back({DeferredRef(std::move(exc)), true});
      }
      record.publish(range_.start, std::move(outcomes));
    } catch (...) {
      record.set_error(current_failure_message("batch callable chunk panicked"));
    }
    if (record.finish_items(range_.end - range_.start)) record.run_callbacks();
    func_.reset();
    tuples_.reset();
    record_.reset();
    return core::Poll::Ready;
  }

 private:
  DeferredRef func_;
  std::shared_ptr<const Tuples> tuples_;
  std::shared_ptr<BatchCallableCompletion> record_;
  core::ChunkRange range_;
};

// Starts the pool if needed and returns the chunk plan for n items.
std::pair<core::Runtime*, std::vector<core::ChunkRange>> plan(std::uint64_t n) {
  core::Runtime& runtime = core::global_runtime();
  return {&runtime, core::plan_chunks(n, core::registered_count(*runtime.scheduler()))};
}

PyObject* batch_spawn_native_pipeline(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Param params[] = {{"payloads", true}, {"rounds", false}};
    static constexpr Signature sig{"batch_spawn_native_pipeline()", params, 2};
    PyObject* bound[2];
    if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;
    auto payloads = std::make_shared<Payloads>();
    if (!PyUnicode_Check(bound[0]) && PySequence_Check(bound[0])) {
      const Py_ssize_t hint = length_hint(bound[0]);
      if (hint < 0) return nullptr;
      payloads->reserve(static_cast<std::size_t>(hint));
    }
    const Py_ssize_t taken = take_leading_bytes(bound[0], *payloads);
    if (!for_each_item(
            bound[0], "payloads", [&](PyObject* item) { return append_payload(item, *payloads); }, taken))
      return nullptr;
    auto rounds = convert_rounds(bound[1]);
    if (!rounds) return nullptr;

    const std::uint64_t n = payloads->size();
    // An empty batch queues nothing: it is done at once, even on a stopped pool.
    if (n > 0 && !ensure_pool_accepts_work()) return nullptr;
    drain_pending_releases();
    core::Runtime* runtime = nullptr;
    std::vector<core::ChunkRange> chunks;
    if (n > 0) std::tie(runtime, chunks) = plan(n);
    // The list the chunks fill. Without one (no memory for it now), result()
    // makes the list itself.
    Ref list;
    if (n > 0) {
      list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
      if (list) {
        PyObject_GC_UnTrack(list.get());
      } else {
        PyErr_Clear();
      }
    }
    auto record = core::make_pooled_shared<BatchNativeCompletion>(n, chunks, std::move(list));
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      core::Task::spawn(runtime->scheduler(), std::make_unique<NativeChunk>(payloads, record, k, chunks[k], *rounds))
          .reset();
    }
    return make_handle(HandleKind::BatchNative, std::move(record));
  });
}

PyObject* batch_spawn_callable(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static constexpr Param params[] = {{"func", true}, {"args_list", true}};
    static constexpr Signature sig{"batch_spawn_callable()", params, 2};
    PyObject* bound[2];
    if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;
    auto tuples = std::make_shared<Tuples>();
    if (!PyUnicode_Check(bound[1]) && PySequence_Check(bound[1])) {
      const Py_ssize_t hint = length_hint(bound[1]);
      if (hint < 0) return nullptr;
      tuples->reserve(static_cast<std::size_t>(hint));
    }
    const bool converted = for_each_item(bound[1], "args_list", [&](PyObject* item) {
      if (!PyTuple_Check(item)) {
        raise_type_mismatch(item, "tuple", nullptr);
        return false;
      }
      tuples->emplace_back(Ref::borrow(item));
      return true;
    });
    if (!converted) return nullptr;

    const std::uint64_t n = tuples->size();
    // An empty batch queues nothing: it is done at once, even on a stopped pool.
    if (n > 0 && !ensure_pool_accepts_work()) return nullptr;
    drain_pending_releases();
    auto record = core::make_pooled_shared<BatchCallableCompletion>(n);
    if (n > 0) {
      auto [runtime, chunks] = plan(n);
      std::shared_ptr<const Tuples> shared = std::move(tuples);
      for (const auto& range : chunks) {
        core::Task::spawn(runtime->scheduler(),
                          std::make_unique<CallableChunk>(Ref::borrow(bound[0]), shared, record, range))
            .reset();
      }
    }
    return make_handle(HandleKind::BatchCallable, std::move(record));
  });
}

}  // namespace

PyMethodDef kBatchSpawnNativePipelineDef = {
    "batch_spawn_native_pipeline",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_spawn_native_pipeline)),
    METH_FASTCALL | METH_KEYWORDS,
    "batch_spawn_native_pipeline(payloads, rounds=100)\n--\n\n"
    "Vectorized batch dispatch of multiple native compute tasks across Corvalune workers."};

PyMethodDef kBatchSpawnCallableDef = {
    "batch_spawn_callable", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(batch_spawn_callable)),
    METH_FASTCALL | METH_KEYWORDS,
    "batch_spawn_callable(func, args_list)\n--\n\n"
    "Vectorized batch dispatch of multiple Python callables across Corvalune workers."};

}  // namespace corvalune::sys
