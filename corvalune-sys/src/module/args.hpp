#pragma once
// The argument parser shared by every function and method with parameters.
//
// Arguments arrive in vectorcall form. Every parameter is positional-or-
// keyword; values bind by position first, then by keyword. Errors are
// TypeErrors worded like CPython's own messages for functions written in
// Python. A value of the wrong type raises the conversion's own error (or the
// type check's "'<type>' object is not an instance of '<expected>'") with the
// note "while processing '<parameter>'".
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>

namespace corvalune::sys {

struct Param {
  const char* name;
  bool required;
  // For parameters whose default is None: an explicit None binds as absent.
  bool none_is_absent = false;
  // The default as the text signature shows it; nullptr for a required one.
  const char* shown_default = nullptr;
};

struct Signature {
  const char* display;  // "spawn_callable()" or "CallableTask.add_done_callback()"
  const Param* params;
  std::size_t count;
};

// Binds the arguments to `out[0 .. sig.count)`: borrowed references, nullptr
// for an absent argument. Returns false with a TypeError set on failure.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out);

// The same for arguments in call form (a tuple and a dict or nullptr), as a
// type's tp_new receives them.
bool bind_call_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Adds the note "while processing '<param>'" to the pending exception.
void add_parameter_note(const char* param);

// Raises "'<type>' object is not an instance of '<expected>'" (or "'None' is
// not an instance of '<expected>'") with the parameter note. `param` may be
// nullptr for a check outside argument parsing.
void raise_type_mismatch(PyObject* value, const char* expected, const char* param);

// The `args` and `kwargs` of a call (either may be nullptr): a tuple and a
// dict. False with the type mismatch raised.
bool check_call_arguments(PyObject* args, PyObject* kwargs);

// CPython's unsigned 64-bit conversion (an int directly, anything else via
// __index__); on failure the conversion's own error, with the parameter note.
std::optional<std::uint64_t> convert_u64(PyObject* value, const char* param);

}  // namespace corvalune::sys
