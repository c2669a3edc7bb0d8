// The Python-facing functions of the module, as the interpreter calls them.
#pragma once

#include "python.hpp"

namespace py {

// Float model
PyObject* ulp_distance(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ulp_distances(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* ordered(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* next_up(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* next_down(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* spacing(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* special(PyObject* self, PyObject* args, PyObject* kwargs);

// Scans
PyObject* neighbours(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* binade_edges(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* all_floats(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* knife_edges_raw(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* scan_path(PyObject* self, PyObject* args, PyObject* kwargs);  // private: _scan_path

// Oracles
PyObject* midpoint(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* sqrt_cr(PyObject* self, PyObject* args, PyObject* kwargs);

// The package's float environment
PyObject* with_default_float_environment(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace py
