#include "interp/closure.hpp"

#include "interp/cells.hpp"
#include "interp/guard.hpp"

namespace corvalune::sys {
namespace {

struct ClosureObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  ClosureBody* body;  // owned; null once cleared for good (dealloc)
};

ClosureObject* as_closure(PyObject* self) { return reinterpret_cast<ClosureObject*>(self); }

PyObject* closure_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    // A strong reference for the call: the body may run code that drops the
    // last other reference to this closure.
    Ref keep = Ref::borrow(self);
    return as_closure(self)->body->call(args, PyVectorcall_NARGS(nargsf), kwnames);
  });
}

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));  // instances of heap types own their type
  ClosureBody* body = as_closure(self)->body;
  return body != nullptr ? body->traverse(visit, arg) : 0;
}

int closure_clear(PyObject* self) {
  if (ClosureBody* body = as_closure(self)->body) body->clear();
  return 0;
}

void closure_dealloc(PyObject* self) {
  guard_void([self] {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete std::exchange(as_closure(self)->body, nullptr);
    type->tp_free(self);
    Py_DECREF(type);
  });
}

PyObject* closure_repr(PyObject* self) {
  ClosureBody* body = as_closure(self)->body;
  return PyUnicode_FromFormat("<%s at %p>", body != nullptr ? body->what() : "corvalune closure", self);
}

PyMemberDef kClosureMembers[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(ClosureObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

ObjectCell g_closure_type;

PyObject* closure_type() {
  return g_closure_type.get_or_init([]() -> PyObject* {
    PyType_Slot slots[] = {
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_members, kClosureMembers},
        {Py_tp_traverse, reinterpret_cast<void*>(closure_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(closure_clear)},
        {Py_tp_dealloc, reinterpret_cast<void*>(closure_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(closure_repr)},
        {0, nullptr},
    };
    PyType_Spec spec = {"_corvalune_sys.closure", sizeof(ClosureObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return PyType_FromSpec(&spec);
  });
}

}  // namespace

bool make_closure_type() { return closure_type() != nullptr; }

ClosureBody* closure_body(PyObject* obj) noexcept {
  PyObject* type = g_closure_type.peek();  // no closure exists before the type does
  if (type == nullptr || Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(type)) return nullptr;
  return as_closure(obj)->body;
}

Ref make_closure(std::unique_ptr<ClosureBody> body) {
  PyObject* type = closure_type();
  if (type == nullptr) return {};
  auto* self = PyObject_GC_New(ClosureObject, reinterpret_cast<PyTypeObject*>(type));
  if (self == nullptr) return {};
  self->vectorcall = closure_vectorcall;
  self->body = body.release();
  PyObject_GC_Track(self);
  return Ref::steal(reinterpret_cast<PyObject*>(self));
}

}  // namespace corvalune::sys
