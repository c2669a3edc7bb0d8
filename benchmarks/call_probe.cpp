// Functions that do nothing, built like the core (limited API 3.9, METH_VARARGS | METH_KEYWORDS): the
// floor of the calling convention that the core's per-call cost is measured against.
#define Py_LIMITED_API 0x03090000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* none(PyObject*, PyObject*, PyObject*) { Py_RETURN_NONE; }

PyObject* one_float(PyObject*, PyObject*, PyObject*) { return PyFloat_FromDouble(1.0); }

// A 4-tuple of two floats and two bools, the shape of a midpoint report.
PyObject* report(PyObject*, PyObject*, PyObject*) {
    PyObject* tuple = PyTuple_New(4);
    if (tuple == nullptr) return nullptr;
    PyTuple_SetItem(tuple, 0, PyFloat_FromDouble(1.0));
    PyTuple_SetItem(tuple, 1, PyFloat_FromDouble(0.25));
    Py_INCREF(Py_True);
    PyTuple_SetItem(tuple, 2, Py_True);
    Py_INCREF(Py_False);
    PyTuple_SetItem(tuple, 3, Py_False);
    return tuple;
}

PyCFunction entry(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"none", entry(none), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"one_float", entry(one_float), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"report", entry(report), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {PyModuleDef_HEAD_INIT, "call_probe", nullptr, -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyMODINIT_FUNC PyInit_call_probe(void) { return PyModule_Create(&definition); }
