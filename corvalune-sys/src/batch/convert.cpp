#include "batch/convert.hpp"

#include <algorithm>
#include <string>

#include "interp/exceptions.hpp"
#include "module/args.hpp"

namespace corvalune::sys {
namespace {

// A str is a sequence, but not one of items: refused as a whole, for the
// parameter and for an item alike.
void raise_str_refused() { PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`"); }

// Notes on the error of an item that cannot be converted: its index, then
// the parameter.
void add_item_notes(Py_ssize_t index, const char* param) {
  add_note("while processing item " + std::to_string(index));
  add_parameter_note(param);
}

// Steps shared by `payloads` and `args_list`: refuse str, require a sequence,
// then call `item(obj)` for every element (returning false with an error set
// stops the walk). The error gets the parameter note, and an item's error
// also its index. The walk of an exact list or tuple begins at index `start`
// (the items before it were taken already).
template <class F>
bool for_each_item(PyObject* seq, const char* param, F&& item, Py_ssize_t start = 0) {
  if (PyUnicode_Check(seq)) {
    raise_str_refused();
    add_parameter_note(param);
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
        add_item_notes(i, param);
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
        add_item_notes(i, param);
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
  for (Py_ssize_t i = 0;; ++i) {
    PyObject* raw = nullptr;
    const int rc = PyIter_NextItem(iter.get(), &raw);
    Ref obj = Ref::steal(raw);
    if (rc == 0) return true;
    if (rc < 0) {
      add_parameter_note(param);
      return false;
    }
    if (!item(obj.get())) {
      add_item_notes(i, param);
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
    raise_str_refused();
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

}  // namespace

bool convert_payloads(PyObject* seq, Payloads& out) {
  if (!PyUnicode_Check(seq) && PySequence_Check(seq)) {
    const Py_ssize_t hint = length_hint(seq);
    if (hint < 0) return false;
    out.reserve(static_cast<std::size_t>(hint));
  }
  const Py_ssize_t taken = take_leading_bytes(seq, out);
  return for_each_item(seq, "payloads", [&](PyObject* item) { return append_payload(item, out); }, taken);
}

bool convert_args_list(PyObject* seq, Tuples& out) {
  if (!PyUnicode_Check(seq) && PySequence_Check(seq)) {
    const Py_ssize_t hint = length_hint(seq);
    if (hint < 0) return false;
    out.reserve(static_cast<std::size_t>(hint));
  }
  return for_each_item(seq, "args_list", [&](PyObject* item) {
    if (!PyTuple_Check(item)) {
      raise_type_mismatch(item, "tuple", nullptr);
      return false;
    }
    out.emplace_back(Ref::borrow(item));
    return true;
  });
}

}  // namespace corvalune::sys
