// The module definition of fpscope._core and its execution step.
#include <string>
#include <string_view>

#include "exact/catalogue.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace py {

namespace {

// Docstrings follow the interpreter's text-signature layout: signature line, "--", an empty line, body.
constexpr int method_flags = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

// The interpreter stores every entry as a PyCFunction and calls it with keywords because of the flags.
PyCFunction entry(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef methods[] = {
    {"ulp_distance", entry(ulp_distance), method_flags,
     "ulp_distance(a, b, dtype=\"f64\")\n--\n\n"
     "Number of representable floats between a and b, None if either is NaN."},
    {"ulp_distances", entry(ulp_distances), method_flags,
     "ulp_distances(a, b, dtype=\"f64\")\n--\n\n"
     "Elementwise ulp_distance over two equally long sequences."},
    {"ordered", entry(ordered), method_flags,
     "ordered(x, dtype=\"f64\")\n--\n\n"
     "Monotone integer view of x (-0.0 and +0.0 both map to 0)."},
    {"next_up", entry(next_up), method_flags, "next_up(x, dtype=\"f64\")\n--\n\n"},
    {"next_down", entry(next_down), method_flags, "next_down(x, dtype=\"f64\")\n--\n\n"},
    {"spacing", entry(spacing), method_flags,
     "spacing(x, dtype=\"f64\")\n--\n\n"
     "Spacing between |x| and the next larger float of the dtype."},
    {"special", entry(special), method_flags,
     "special(dtype=\"f32\")\n--\n\n"
     "Named edge values of the dtype as (name, value) pairs."},
    {"neighbours", entry(neighbours), method_flags,
     "neighbours(x, k=1, dtype=\"f64\")\n--\n\n"
     "The k floats below x, x, and the k floats above it (finite only, ascending)."},
    {"binade_edges", entry(binade_edges), method_flags,
     "binade_edges(min_exp, max_exp, dtype=\"f64\")\n--\n\n"
     "For each exponent e in [min_exp, max_exp]: the float just below 2**e and 2**e."},
    {"all_floats", entry(all_floats), method_flags,
     "all_floats(lo, hi, dtype=\"f32\", limit=1000000)\n--\n\n"
     "Every float of the dtype in [lo, hi], ascending. Errors if there are more than `limit`."},
    {"midpoint", entry(midpoint), method_flags,
     "midpoint(op, x, dtype=\"f32\", y=None)\n--\n\n"
     "Where the exact result of `op(x)` (or `x / y` for op=\"div\") sits relative to the rounding\n"
     "midpoint: (rounded, distance_ulp, exact_above, exact). None when the result is not finite."},
    {"knife_edges_raw", entry(knife_edges_raw), method_flags,
     "knife_edges_raw(op, lo, hi, tol_ulp=1e-3, dtype=\"f32\", limit=100, stride=1, max_evals=100000000)\n--\n\n"
     "Up to `limit` inputs in [lo, hi] whose exact `op` result is within `tol_ulp` of a rounding\n"
     "midpoint, as (x, rounded, distance_ulp, exact_above), plus the number of inputs evaluated and\n"
     "whether the whole range was covered. Scans every `stride`-th float, at most `max_evals`."},
    {"sqrt_cr", entry(sqrt_cr), method_flags,
     "sqrt_cr(x, dtype=\"f64\")\n--\n\n"
     "Correctly rounded square root of the dtype, independent of the platform sqrt."},
    // Private, for the package: its own float computations run in the environment the core's do.
    {"_with_default_float_environment", entry(with_default_float_environment), method_flags,
     "_with_default_float_environment(fn, /, *args, **kwargs)\n--\n\n"
     "Call fn(*args, **kwargs) rounding to nearest with subnormals kept, then restore the caller's\n"
     "floating-point environment (also when fn raises)."},
};

// Private functions: module attributes outside __all__, for the tests.
PyMethodDef private_methods[] = {
    {"_scan_path", entry(scan_path), method_flags,
     "_scan_path(name=\"\")\n--\n\n"
     "Forces the path of new scans (\"scalar\", \"sse2\", \"avx2\", \"avx512\") and returns the previous one;\n"
     "without a name, returns the current one."},
};

using Status = Result<bool>;

// Sets module.<name> = value and appends name to module.__all__ (created on first use).
Status add_attribute(PyObject* module, PyObject* name, PyObject* value);

// Sets module.<name> = value, leaving __all__ alone: private names and names outside the public listing.
Status add_unlisted_attribute(PyObject* module, PyObject* name, PyObject* value) {
    if (PyObject_SetAttr(module, name, value) < 0) return CallError::fetch();
    return true;
}

Status add_attribute(PyObject* module, PyObject* name, PyObject* value) {
    PyObject* all_name = interned(Name::All);
    Owned all(PyObject_GetAttr(module, all_name));
    if (all.get() == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return CallError::fetch();
        PyErr_Clear();
        Owned fresh(checked(PyList_New(0)));
        if (PyObject_SetAttr(module, all_name, fresh.get()) < 0) return CallError::fetch();
        return add_attribute(module, name, value);
    }
    if (!PyList_Check(all.get())) return CallError::conversion(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    if (PyList_Append(all.get(), name) < 0)
        throw InternalFailure("could not append __name__ to __all__: " + pending_error_text());
    if (PyObject_SetAttr(module, name, value) < 0) return CallError::fetch();
    return true;
}

Status add_functions(PyObject* module) {
    for (PyMethodDef& method : private_methods) {
        Owned module_name(PyModule_GetNameObject(module));
        if (module_name.get() == nullptr) return CallError::fetch();
        Owned function(PyCMethod_New(&method, module, module_name.get(), nullptr));
        if (function.get() == nullptr) return CallError::fetch();
        if (PyObject_SetAttrString(module, method.ml_name, function.get()) < 0) return CallError::fetch();
    }
    for (PyMethodDef& method : methods) {
        Owned module_name(PyModule_GetNameObject(module));
        if (module_name.get() == nullptr) return CallError::fetch();
        Owned function(PyCMethod_New(&method, module, module_name.get(), nullptr));
        if (function.get() == nullptr) return CallError::fetch();
        Owned name(PyObject_GetAttr(function.get(), interned(Name::Name)));
        if (name.get() == nullptr) return CallError::fetch();
        if (!PyUnicode_Check(name.get()))
            return CallError::conversion(name.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type));
        const bool listed = std::string_view(method.ml_name).substr(0, 1) != "_";
        auto added = listed ? add_attribute(module, name.get(), function.get())
                            : add_unlisted_attribute(module, name.get(), function.get());
        if (!added.ok()) return std::move(added.error());
    }
    return true;
}

Status add_data(PyObject* module) {
    Owned ops(checked(PyList_New(static_cast<Py_ssize_t>(exact::unary_op_names.size()))));
    for (std::size_t i = 0; i < exact::unary_op_names.size(); ++i)
        PyList_SetItem(ops.get(), static_cast<Py_ssize_t>(i), to_python(exact::unary_op_names[i]));
    Owned ops_name(checked(PyUnicode_FromString("UNARY_OPS")));
    auto added = add_attribute(module, ops_name.get(), ops.get());
    if (!added.ok()) return std::move(added.error());

    Owned version(checked(PyUnicode_FromString(FPSCOPE_VERSION)));
    Owned version_name(checked(PyUnicode_FromString("__version__")));
    added = add_attribute(module, version_name.get(), version.get());
    if (!added.ok()) return std::move(added.error());

    // Reachable under its qualified name, so that it pickles and a failure in a worker process reaches the
    // caller; not listed in __all__, which names the module's functions and data.
    Owned panic_name(checked(PyUnicode_FromString("PanicException")));
    return add_unlisted_attribute(module, panic_name.get(), panic_exception_class());
}

int execute(PyObject* module) {
    return guarded(-1, [&]() -> int {
        if (!PyObject_TypeCheck(module, &PyModule_Type)) {
            CallError::conversion(module, reinterpret_cast<PyObject*>(&PyModule_Type)).raise();
            return -1;
        }
        for (auto step : {add_functions, add_data}) {
            auto done = step(module);
            if (!done.ok()) {
                done.error().raise();
                return -1;
            }
        }
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&execute)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace py

extern "C" PyMODINIT_FUNC PyInit__core(void) { return PyModuleDef_Init(&py::definition); }
