#pragma once
// Entry points declared once.
//
// Every function, method and constructor the module offers is a struct
// that names it, lists its parameters (with the default its text signature
// shows) and its docstring, and says what it does with the bound arguments:
//
//   struct SpawnCallable {
//     static constexpr const char* name = "spawn_callable";
//     static constexpr Param params[] = {{"func", true}, {"args", false, true, "None"}};
//     static constexpr const char* doc = "Spawn ...";
//     static PyObject* call(PyObject* self, PyObject* const* bound);
//   };
//   PyMethodDef kSpawnCallableDef = entry_def<SpawnCallable>();
//
// From that one declaration come the text signature at the head of the
// docstring ("spawn_callable(func, args=None)\n--\n\n"), the name errors use
// ("spawn_callable()"), the parser's table, and the vectorcall function that
// runs the failure guard, binds the arguments and calls `call` with them
// (borrowed references, nullptr for an absent argument). A method of a type
// also declares `owner` ("RegisteredWorker"): its signature then takes
// `$self` and its errors name "RegisteredWorker.__exit__()". An entry point
// without parameters declares no `params` and has `call(self)`: it becomes
// a METH_NOARGS function. A constructor names its type and declares
// `construct(type, bound)` instead of `call`: `entry_new<E>` is its tp_new
// and `entry_doc<E>()` its type's docstring.
#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

#include "interp/guard.hpp"
#include "module/args.hpp"

namespace corvalune::sys {
namespace entry_detail {

template <class E>
concept HasOwner = requires { E::owner; };
template <class E>
concept HasParams = requires { E::params; };

template <class E>
constexpr std::size_t param_count() {
  if constexpr (HasParams<E>) {
    return std::size(E::params);
  } else {
    return 0;
  }
}

template <class E>
constexpr const Param* params_of() {
  if constexpr (HasParams<E>) {
    return E::params;
  } else {
    return nullptr;
  }
}

// Appends `text` at `at` (when `out` is given) and returns the new length.
constexpr std::size_t put(char* out, std::size_t at, std::string_view text) {
  if (out != nullptr) {
    for (char c : text) out[at++] = c;
    return at;
  }
  return at + text.size();
}

// "name(a, b=default)\n--\n\n" followed by the docstring.
template <class E>
constexpr std::size_t write_doc(char* out) {
  std::size_t n = put(out, 0, E::name);
  n = put(out, n, "(");
  bool first = true;
  if constexpr (HasOwner<E>) {
    n = put(out, n, "$self");
    first = false;
  }
  for (std::size_t i = 0; i < param_count<E>(); ++i) {
    const Param& p = params_of<E>()[i];
    if (!first) n = put(out, n, ", ");
    first = false;
    n = put(out, n, p.name);
    if (p.shown_default != nullptr) {
      n = put(out, n, "=");
      n = put(out, n, p.shown_default);
    }
  }
  n = put(out, n, ")\n--\n\n");
  return put(out, n, E::doc);
}

// "Owner.name()" or "name()".
template <class E>
constexpr std::size_t write_display(char* out) {
  std::size_t n = 0;
  if constexpr (HasOwner<E>) {
    n = put(out, n, E::owner);
    n = put(out, n, ".");
  }
  n = put(out, n, E::name);
  return put(out, n, "()");
}

template <class E, std::size_t (*Write)(char*)>
constexpr auto build() {
  std::array<char, Write(nullptr) + 1> text{};
  Write(text.data());
  return text;
}

template <class E>
inline constexpr auto kDoc = build<E, write_doc<E>>();
template <class E>
inline constexpr auto kDisplay = build<E, write_display<E>>();

template <class E>
PyObject* vectorcall(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    constexpr std::size_t n = std::size(E::params);
    static constexpr Signature sig{kDisplay<E>.data(), E::params, n};
    PyObject* bound[n];
    if (!bind_arguments(sig, args, nargsf, kwnames, bound)) return nullptr;
    return E::call(self, bound);
  });
}

template <class E>
PyObject* noargs(PyObject* self, PyObject*) {
  return guard([self]() -> PyObject* { return E::call(self); });
}

}  // namespace entry_detail

// The method table entry of the entry point `E` (see the top of this file).
template <class E>
PyMethodDef entry_def() {
  if constexpr (entry_detail::HasParams<E>) {
    return {E::name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_detail::vectorcall<E>)),
            METH_FASTCALL | METH_KEYWORDS, entry_detail::kDoc<E>.data()};
  } else {
    return {E::name, &entry_detail::noargs<E>, METH_NOARGS, entry_detail::kDoc<E>.data()};
  }
}

// The tp_new of the constructor `E`.
template <class E>
PyObject* entry_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&]() -> PyObject* {
    constexpr std::size_t n = entry_detail::param_count<E>();
    static constexpr Signature sig{entry_detail::kDisplay<E>.data(), entry_detail::params_of<E>(), n};
    std::array<PyObject*, n> bound{};
    if (!bind_call_arguments(sig, args, kwargs, bound.data())) return nullptr;
    return E::construct(type, bound.data());
  });
}

// The docstring of the type whose constructor is `E`.
template <class E>
const char* entry_doc() {
  return entry_detail::kDoc<E>.data();
}

}  // namespace corvalune::sys
