#pragma once
// Entry points declared once.
//
// An entry point with parameters is a struct that names it, lists its
// parameters (with the default its text signature shows) and its docstring,
// and says what it does with the bound arguments:
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
// `$self` and its errors name "RegisteredWorker.__exit__()".
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
  for (const Param& p : E::params) {
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

}  // namespace entry_detail

// The method table entry of the entry point `E` (see the top of this file).
template <class E>
PyMethodDef entry_def() {
  return {E::name,
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry_detail::vectorcall<E>)),
          METH_FASTCALL | METH_KEYWORDS, entry_detail::kDoc<E>.data()};
}

}  // namespace corvalune::sys
