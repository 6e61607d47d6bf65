#include "module/args.hpp"

#include <string>
#include <vector>

#include "interp/exceptions.hpp"
#include "interp/names.hpp"
#include "interp/pyref.hpp"

namespace corvalune::sys {
namespace {

void set_type_error(const std::string& message) { PyErr_SetString(PyExc_TypeError, message.c_str()); }

std::string quoted_list(const char* const* names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) {
      if (n == 2) out += " and ";
      else if (i == n - 1) out += ", and ";
      else out += ", ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

std::string qualified_type_name(PyTypeObject* type) {
  Ref name = Ref::steal(PyType_GetFullyQualifiedName(type));
  if (name) {
    if (const char* utf8 = PyUnicode_AsUTF8(name.get())) return utf8;
  }
  PyErr_Clear();
  return type->tp_name;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const auto count = static_cast<Py_ssize_t>(sig.count);
  std::size_t required = 0;
  for (std::size_t i = 0; i < sig.count; ++i) {
    out[i] = nullptr;
    if (sig.params[i].required) ++required;
  }

  // CPython's order: positional values first (as many as there are
  // parameters), then keywords (an unknown or repeated one is reported
  // before a surplus of positional values), then the surplus, then what is
  // missing.
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nargs && i < count; ++i) out[i] = args[i];

  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    PyObject* value = args[nargs + k];
    Py_ssize_t index = -1;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyUnicode_EqualToUTF8(key, sig.params[i].name)) {
        index = i;
        break;
      }
    }
    if (index < 0) {
      // Formatted from the key object itself: a key that cannot be encoded
      // (a lone surrogate) is still quoted as it is.
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
      return false;
    }
    if (out[index] != nullptr) {
      set_type_error(std::string(sig.display) + " got multiple values for argument '" +
                     sig.params[index].name + "'");
      return false;
    }
    out[index] = value;
  }

  if (nargs > count) {
    const std::string given = std::to_string(nargs) + (nargs == 1 ? " was given" : " were given");
    if (required == sig.count) {
      set_type_error(std::string(sig.display) + " takes " + std::to_string(count) +
                     " positional arguments but " + given);
    } else {
      set_type_error(std::string(sig.display) + " takes from " + std::to_string(required) + " to " +
                     std::to_string(count) + " positional arguments but " + given);
    }
    return false;
  }

  // Names only: this runs on every call, and strings are for the error.
  const char* missing[16];
  std::size_t nmissing = 0;
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (sig.params[i].required && out[i] == nullptr && nmissing < 16) missing[nmissing++] = sig.params[i].name;
  }
  if (nmissing > 0) {
    set_type_error(std::string(sig.display) + " missing " + std::to_string(nmissing) +
                   (nmissing == 1 ? " required positional argument: " : " required positional arguments: ") +
                   quoted_list(missing, nmissing));
    return false;
  }

  for (std::size_t i = 0; i < sig.count; ++i) {
    if (sig.params[i].none_is_absent && out[i] == Py_None) out[i] = nullptr;
  }
  return true;
}

bool bind_call_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  // Into vectorcall form: the positional values, then the keyword values in
  // the order of their names.
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Ref kwnames;
  std::vector<PyObject*> values(static_cast<std::size_t>(nargs));
  for (Py_ssize_t i = 0; i < nargs; ++i) values[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
    kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
    if (!kwnames) return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    // The dict's own lock (a no-op with the GIL) keeps the borrowed items
    // in place while they are read; kwnames owns the keys. The dict is the
    // call's own, so its values outlive the binding.
    Py_BEGIN_CRITICAL_SECTION(kwargs);
    while (PyDict_Next(kwargs, &pos, &key, &value) && i < PyTuple_GET_SIZE(kwnames.get())) {
      PyTuple_SET_ITEM(kwnames.get(), i++, Py_NewRef(key));
      values.push_back(value);
    }
    Py_END_CRITICAL_SECTION();
  }
  return bind_arguments(sig, values.data(), nargs, kwnames.get(), out);
}

bool check_call_arguments(PyObject* args, PyObject* kwargs) {
  if (args != nullptr && !PyTuple_Check(args)) {
    raise_type_mismatch(args, "tuple", "args");
    return false;
  }
  if (kwargs != nullptr && !PyDict_Check(kwargs)) {
    raise_type_mismatch(kwargs, "dict", "kwargs");
    return false;
  }
  return true;
}

void add_parameter_note(const char* param) { add_note(std::string("while processing '") + param + "'"); }

void raise_type_mismatch(PyObject* value, const char* expected, const char* param) {
  std::string message;
  if (value == Py_None) {
    message = std::string("'None' is not an instance of '") + expected + "'";
  } else {
    message = "'" + qualified_type_name(Py_TYPE(value)) + "' object is not an instance of '" + expected + "'";
  }
  set_type_error(message);
  if (param != nullptr) add_parameter_note(param);
}

std::optional<std::uint64_t> convert_u64(PyObject* value, const char* param) {
  // An int directly, anything else through __index__; a negative value or
  // one past 64 bits is the interpreter's OverflowError.
  Ref index = Ref::steal(PyNumber_Index(value));
  if (index) {
    const unsigned long long result = PyLong_AsUnsignedLongLong(index.get());
    if (!(result == static_cast<unsigned long long>(-1) && PyErr_Occurred())) return result;
  }
  add_parameter_note(param);
  return std::nullopt;
}

}  // namespace corvalune::sys
