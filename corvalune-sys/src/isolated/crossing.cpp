#include "isolated/crossing.hpp"

#include <cstring>
#include <iterator>
#include <new>
#include <utility>

#include "interp/cells.hpp"

namespace corvalune::sys::isolated {

Crossing::Crossing(Crossing&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)),
      data_(std::exchange(other.data_, nullptr)),
      copy_(std::move(other.copy_)),
      size_(std::exchange(other.size_, 0)),
      views_(std::move(other.views_)) {
  other.views_.clear();
}

Crossing& Crossing::operator=(Crossing&& other) noexcept {
  owner_ = std::exchange(other.owner_, nullptr);
  data_ = std::exchange(other.data_, nullptr);
  copy_ = std::move(other.copy_);
  size_ = std::exchange(other.size_, 0);
  views_ = std::move(other.views_);
  other.views_.clear();
  return *this;
}

bool Crossing::take(Ref sent) {
  Ref data;
  Ref buffers;
  if (PyTuple_Check(sent.get()) && PyTuple_GET_SIZE(sent.get()) == 2) {
    data = Ref::borrow(PyTuple_GET_ITEM(sent.get(), 0));
    buffers = Ref::borrow(PyTuple_GET_ITEM(sent.get(), 1));
  } else {
    data = std::move(sent);
  }
  if (!PyBytes_CheckExact(data.get()) || (buffers && !PyList_Check(buffers.get()))) {
    PyErr_SetString(PyExc_SystemError, "a crossing is bytes or (bytes, list)");
    return false;
  }
  if (buffers) {
    const Py_ssize_t n = PyList_GET_SIZE(buffers.get());
    views_.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      Py_buffer view;
      if (PyObject_GetBuffer(PyList_GET_ITEM(buffers.get(), i), &view, PyBUF_RECORDS_RO) < 0) return false;
      if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_TypeError, "an out-of-band buffer must be contiguous to cross interpreters");
        return false;
      }
      views_.push_back(view);
    }
  }
  data_ = PyBytes_AS_STRING(data.get());
  size_ = PyBytes_GET_SIZE(data.get());
  owner_ = data.release();
  return true;
}

Ref Crossing::pickle_view() const {
  // Read only: the sender's bytes object cannot change.
  return Ref::steal(PyMemoryView_FromMemory(const_cast<char*>(data()), size_, PyBUF_READ));
}

Ref Crossing::buffer_list() const {
  if (views_.empty()) return Ref::borrow(Py_None);
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(views_.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < views_.size(); ++i) {
    const Py_buffer& view = views_[i];
    const char* bytes = static_cast<const char*>(view.buf);
    // A read-only buffer arrives as bytes, a writable one as bytearray: what
    // pickle gives the receiver for each.
    PyObject* copy = view.readonly ? PyBytes_FromStringAndSize(bytes, view.len)
                                   : PyByteArray_FromStringAndSize(bytes, view.len);
    if (copy == nullptr) return {};
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), copy);
  }
  return list;
}

void Crossing::keep_small() noexcept {
  // A pickle this small costs less to copy than a second swap of thread
  // states costs to drop.
  constexpr Py_ssize_t kSmall = 64 * 1024;
  if (owner_ == nullptr || !views_.empty() || size_ > kSmall) return;
  try {
    copy_.assign(data_, static_cast<std::size_t>(size_));
  } catch (const std::bad_alloc&) {
    return;  // kept as it is
  }
  data_ = nullptr;
  Py_CLEAR(owner_);
}

void Crossing::drop() noexcept {
  for (Py_buffer& view : views_) PyBuffer_Release(&view);
  views_.clear();
  Py_CLEAR(owner_);
  data_ = nullptr;
  copy_.clear();
  size_ = 0;
}

PyObject* main_function(MainFunction which) {
  static constexpr const char* kNames[] = {"send_call", "send_chunk", "take_outcome", "take_outcomes"};
  static ObjectCell module;
  static ObjectCell functions[std::size(kNames)];
  PyObject* crossing = module.get_or_init([] { return PyImport_ImportModule("corvalune._crossing"); });
  if (crossing == nullptr) return nullptr;
  const auto index = static_cast<std::size_t>(which);
  return functions[index].get_or_init([&] { return PyObject_GetAttrString(crossing, kNames[index]); });
}

std::string take_error_text() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "unknown error";
  std::string text = Py_TYPE(exc.get())->tp_name;
  Ref str = Ref::steal(PyObject_Str(exc.get()));
  const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
  if (utf8 != nullptr) text += std::string(": ") + utf8;
  PyErr_Clear();
  return text;
}

}  // namespace corvalune::sys::isolated
