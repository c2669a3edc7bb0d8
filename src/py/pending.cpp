// Temporary entries for functions not yet built; each raises NotImplementedError.
#include "functions.hpp"

namespace py {

namespace {
PyObject* pending(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s() is not built yet", name);
    return nullptr;
}
}  // namespace

PyObject* knife_edges_raw(PyObject*, PyObject*, PyObject*) { return pending("knife_edges_raw"); }

}  // namespace py
