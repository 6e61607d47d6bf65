#pragma once
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>

namespace corvalune::sys {

extern PyMethodDef kNativePipelineTransformDef;
extern PyMethodDef kSpawnNativePipelineDef;

// Converts `rounds` (absent: 100); nullopt with the error (and its note) set.
std::optional<std::uint64_t> convert_rounds(PyObject* rounds);

}  // namespace corvalune::sys
