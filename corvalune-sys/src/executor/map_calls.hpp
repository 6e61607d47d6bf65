#pragma once
// corvalune.Executor.map()'s calls on the pool: `_corvalune_sys._run_map_calls`
// runs one run of a batch, `_corvalune_sys._map_report` records one call's
// outcome (for the batch's rare paths in Python).
#include <Python.h>

namespace corvalune::sys {

extern PyMethodDef kRunMapCallsDef;
extern PyMethodDef kMapReportDef;

}  // namespace corvalune::sys
