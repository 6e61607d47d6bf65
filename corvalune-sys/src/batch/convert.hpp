#pragma once
// Converting a batch's items before anything is queued: a conversion error
// leaves nothing behind.
#include <Python.h>

#include <vector>

#include "interp/attach.hpp"
#include "interp/deferred.hpp"

namespace corvalune::sys {

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

// The items of `payloads` (a sequence of bytes, bytearray or sequences of
// ints in 0..255) into `out`. False with the error set, with the parameter
// note.
bool convert_payloads(PyObject* seq, Payloads& out);

// The items of `args_list` (a sequence of tuples) into `out`. False with
// the error set, with the parameter note.
bool convert_args_list(PyObject* seq, Tuples& out);

}  // namespace corvalune::sys
