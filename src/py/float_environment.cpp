// Any callable run in the float environment of the core's own functions, for the package's Python code:
// struct packing of binary32 values, numpy conversions and frexp/ldexp read subnormals as zero under
// denormals-are-zero and round the wrong way under a directed rounding mode, like native code does.
#include "frame.hpp"
#include "registry.hpp"

namespace py {

namespace {

PyObject* with_default_float_environment(PyObject*, PyObject* args, PyObject* kwargs) {
    // guarded installs the environment and restores the caller's, whatever fn does.
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const Py_ssize_t given = PyTuple_Size(args);
        if (given < 1) {
            CallError::type_error(
                "_with_default_float_environment() missing 1 required positional argument: 'fn'")
                .raise();
            return nullptr;
        }
        PyObject* fn = PyTuple_GetItem(args, 0);
        Py_INCREF(fn);
        const Owned held(fn);
        // fn runs Python code, where the interpreter may end this thread at shutdown: the thread rests in
        // the call rather than release `held` and `rest` without the lock. Making the tuple can collect
        // garbage, which runs Python code too.
        const Owned rest(exit_safe([args, given] { return PyTuple_GetSlice(args, 1, given); }));
        if (rest.get() == nullptr) return nullptr;
        return exit_safe([fn, &rest, kwargs] { return PyObject_Call(fn, rest.get(), kwargs); });
    });
}

// Its variadic signature is beyond the declarations: it binds its arguments itself.
constexpr Binding binding{
    "_with_default_float_environment", with_default_float_environment, {}, {}, 0,
    "Call fn(*args, **kwargs) rounding to nearest with subnormals kept, then restore the caller's\n"
    "floating-point environment (also when fn raises).",
    "(fn, /, *args, **kwargs)"};

}  // namespace

const Registration with_default_float_environment_binding = registered<binding>();

}  // namespace py
