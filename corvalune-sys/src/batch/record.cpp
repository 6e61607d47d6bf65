#include "batch/record.hpp"

#include <cassert>
#include <utility>

#include "interp/guard.hpp"

namespace corvalune::sys {

void BatchCompletion::set_error(std::string message) noexcept {
  set_error(PendingException{ExceptionKind::PanicInTask, std::move(message)});
}

void BatchCompletion::set_error(PendingException error) noexcept {
  // Moved, not copied, and the replaced text is only freed: nothing is
  // allocated under the lock.
  std::lock_guard lock(error_lock_);
  error_ = std::move(error);
}

void BatchCompletion::set_no_memory() noexcept {
  std::lock_guard lock(error_lock_);
  error_ = PendingException{ExceptionKind::NoMemory, {}};
}

void BatchCompletion::set_current_failure(const char* fallback) noexcept {
  if (auto message = task_failure_message(fallback)) {
    set_error(std::move(*message));
  } else {
    set_no_memory();
  }
}

bool BatchCompletion::check_result(const char* not_done) {
  if (!is_done()) {
    raise_not_completed(not_done);
    return false;
  }
  mark_retrieved();
  std::optional<PendingException> error;
  {
    std::lock_guard lock(error_lock_);
    error = error_;
  }
  if (error) {
    error->raise();
    return false;
  }
  return true;
}

bool BatchCompletion::failed() {
  std::lock_guard lock(error_lock_);
  return error_.has_value();
}

void BatchNativeCompletion::publish(std::size_t chunk, std::vector<core::PipelineResult> results, bool placed) {
  std::lock_guard lock(results_lock_);
  results_[chunk] = std::move(results);  // into an empty slot: nothing released under the lock
  placed_[chunk] = placed ? 1 : 0;
}

PyObject* BatchNativeCompletion::result() {
  if (!check_result("batch task not completed")) return nullptr;
  // Done: every chunk's publish came before the finish_items release that
  // is_done acquired, and nothing writes the native results or the placed
  // marks any more, so they are read in place, without a copy. Only the
  // list still moves (the first call takes it): under the lock.
  Ref list;
  {
    std::lock_guard lock(results_lock_);
    list = list_.take();
  }
  const std::uint64_t items = chunks_.empty() ? 0 : chunks_.back().end;
  const bool handed_over = static_cast<bool>(list);
  if (!list) {
    list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items)));
    if (!list) return nullptr;
  }
  for (std::size_t c = 0; c < chunks_.size(); ++c) {
    if (handed_over && placed_[c]) continue;
    const std::vector<core::PipelineResult>& results = results_[c];
    const auto start = static_cast<Py_ssize_t>(chunks_[c].start);
    const auto count = static_cast<std::size_t>(chunks_[c].end - chunks_[c].start);
    for (std::size_t k = 0; k < count; ++k) {
      const Py_ssize_t index = start + static_cast<Py_ssize_t>(k);
      // A chunk that ran out of memory midway placed some of its objects.
      if (PyList_GET_ITEM(list.get(), index) != nullptr) continue;
      PyObject* item = k < results.size()
                           ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(results[k].data()), 32)
                           : Py_NewRef(Py_None);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), index, item);
    }
  }
  // Every slot is filled: the collector may see it now.
  if (handed_over) PyObject_GC_Track(list.get());
  return list.release();
}

void BatchCallableCompletion::publish(std::uint64_t start, std::vector<ItemOutcome> outcomes) {
  // Each chunk publishes its own range once: the slots are still empty, so
  // nothing is dropped under the lock.
  std::lock_guard lock(results_lock_);
  for (std::size_t k = 0; k < outcomes.size(); ++k) {
    assert(!slots_[start + k].object);
    slots_[start + k] = std::move(outcomes[k]);
  }
}

int BatchCallableCompletion::traverse(visitproc visit, void* arg) {
  if (!is_done()) return 0;
  std::lock_guard lock(results_lock_);
  for (const ItemOutcome& slot : slots_) Py_VISIT(slot.object.get());
  return 0;
}

void BatchCallableCompletion::clear() {
  if (!is_done()) return;
  std::vector<ItemOutcome> released;  // dropped after the lock
  std::lock_guard lock(results_lock_);
  released.swap(slots_);
  slots_.resize(released.size());
}

bool BatchCallableCompletion::failed() {
  if (BatchCompletion::failed()) return true;
  std::lock_guard lock(results_lock_);
  for (const ItemOutcome& slot : slots_)
    if (slot.is_error) return true;
  return false;
}

PyObject* BatchCallableCompletion::result() {
  if (!check_result("batch callable task not completed")) return nullptr;
  // New references taken under the lock; the list is built outside it.
  std::vector<Ref> objects;
  std::size_t first_error = SIZE_MAX;
  {
    std::lock_guard lock(results_lock_);
    objects.reserve(slots_.size());
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].is_error && slots_[i].object) {
        first_error = i;
        objects.push_back(slots_[i].object.clone());
        break;
      }
      objects.push_back(slots_[i].object ? slots_[i].object.clone() : Ref::borrow(Py_None));
    }
  }
  if (first_error != SIZE_MAX) {
    PyErr_SetRaisedException(objects.back().release());
    return nullptr;
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(objects.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < objects.size(); ++i)
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), objects[i].release());
  return list.release();
}

}  // namespace corvalune::sys
