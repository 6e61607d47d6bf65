#pragma once
// One crossing between two interpreters: a pickle and its out-of-band
// buffers, as the crossing module's functions return them (bytes, or
// (bytes, [buffer, ...])).
//
// The sending interpreter's objects stay where they are, owned by the
// crossing, until the sender drops them: the receiver reads the pickle
// through a memoryview over their memory and makes its own bytes or
// bytearray object from each buffer (one copy), never touching the
// sender's objects or reference counts. Only the sending interpreter may
// drop them, attached to it; a crossing never dropped (its interpreter
// finalized first) leaks them, as it must.
#include <Python.h>

#include <cstddef>
#include <string>
#include <vector>

#include "interp/pyref.hpp"

namespace corvalune::sys::isolated {

class Crossing {
 public:
  Crossing() = default;
  Crossing(Crossing&& other) noexcept;
  // Only into a crossing that holds no sender objects (new, dropped or
  // moved from): they would be lost, not dropped.
  Crossing& operator=(Crossing&& other) noexcept;
  Crossing(const Crossing&) = delete;
  Crossing& operator=(const Crossing&) = delete;
  ~Crossing() = default;  // see drop()

  // Takes what a crossing function returned (a new reference). False with
  // an error set. Attached to the sending interpreter.
  bool take(Ref sent);
  // The receiver's arguments: a memoryview of the pickle, and a list of the
  // buffers (None when there are none). Attached to the receiving
  // interpreter.
  Ref pickle_view() const;
  Ref buffer_list() const;
  // Releases the sending interpreter's objects. Attached to it.
  void drop() noexcept;
  // When the crossing is a small pickle alone: copies it into the crossing
  // and drops the sender's object now, so that the sender need not be
  // entered again to drop it. Attached to the sender.
  void keep_small() noexcept;
  // True while the sender still has objects to drop here.
  bool holds_sender_objects() const noexcept { return owner_ != nullptr || !views_.empty(); }

 private:
  const char* data() const noexcept { return owner_ != nullptr ? data_ : copy_.data(); }

  PyObject* owner_ = nullptr;  // the bytes object of the pickle (strong)
  const char* data_ = nullptr;  // its buffer, while owner_ is held
  std::string copy_;             // the pickle once owner_ is dropped
  Py_ssize_t size_ = 0;
  std::vector<Py_buffer> views_;  // each holds its exporter (strong)
};

// Attached to the main interpreter: a function of corvalune._crossing
// (borrowed, kept for the process), or nullptr with an error set.
enum class MainFunction { SendCall, SendChunk, TakeOutcome, TakeOutcomes };
PyObject* main_function(MainFunction which);

// The text "Type: message" of the raised exception, which is cleared.
std::string take_error_text();

}  // namespace corvalune::sys::isolated
