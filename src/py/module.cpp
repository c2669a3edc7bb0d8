// The module definition of fpscope._core and its execution step.
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "exact/catalogue.hpp"
#include "float/format.hpp"
#include "frame.hpp"
#include "registry.hpp"

namespace py {

namespace {

// The registered bindings in the order of function_names. Every function's file registers it while the
// library loads; a listed function that none registers, or one registered twice, is a fault of the build.
const std::array<const Binding*, function_count>& bindings() {
    for (std::size_t i = 0; i < function_count; ++i)
        if (registry::slots[i] == nullptr)
            throw InternalFailure("function " + std::string(function_names[i]) + " is listed but not registered");
    if (registry::registrations != function_count) throw InternalFailure("a function is registered twice");
    return registry::slots;
}

// The interpreter stores every entry as a PyCFunction and calls it with keywords because of the flags.
PyCFunction entry(PyCFunctionWithKeywords function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The method definitions, made once for the process from the bindings; the interpreter keeps pointers
// to them (and to their names and docstrings) for as long as the functions live.
struct MethodTable {
    std::array<std::string, function_count> names;
    std::array<std::string, function_count> docs;
    std::array<PyMethodDef, function_count> methods;

    MethodTable() {
        const auto& functions = bindings();
        for (std::size_t i = 0; i < function_count; ++i) {
            names[i] = std::string(functions[i]->name);
            docs[i] = functions[i]->docstring();
            methods[i] = PyMethodDef{names[i].c_str(), entry(functions[i]->entry),
                                     METH_VARARGS | METH_KEYWORDS | METH_STATIC, docs[i].c_str()};
        }
    }
};

std::array<PyMethodDef, function_count>& methods() {
    static MethodTable table;
    return table.methods;
}

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
    for (PyMethodDef& method : methods()) {
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

// A dict with str keys, filled entry by entry.
class Dict {
public:
    Dict() : dict_(checked(PyDict_New())) {}
    // Takes the reference `value` holds.
    Dict& set(std::string_view key, PyObject* value) {
        const Owned held(value);
        const Owned name(to_python(key));
        if (PyDict_SetItem(dict_.get(), name.get(), held.get()) < 0) throw PendingPythonError{};
        return *this;
    }
    PyObject* release() { return dict_.release(); }

private:
    Owned dict_;
};

template <class F>
PyObject* format_properties() {
    using T = fp::Format<F>;
    return Dict()
        .set("precision", to_python(std::int64_t{T::precision}))
        .set("emin", to_python(std::int64_t{T::min_exponent}))
        .set("emax", to_python(std::int64_t{T::max_exponent}))
        .set("bits", to_python(std::int64_t{T::width}))
        .release();
}

// What the package reads instead of repeating it, private and unlisted: the operations by canonical
// name (with whether the public functions take them), every alias (whichever callers take it), the
// formats' constants, the oracles' version, and every function's text signature (against which the
// tests check the stubs and the documentation).
Status add_private_data(PyObject* module) {
    Dict operations;
    for (const exact::Operation& op : exact::operations)
        operations.set(op.name, Dict()
                                    .set("arity", to_python(std::int64_t{op.arity}))
                                    .set("exact", to_python(op.exact))
                                    .set("public", to_python(op.scope == exact::Scope::Public))
                                    .release());
    Dict aliases;
    for (const exact::Alias& alias : exact::aliases) aliases.set(alias.name, to_python(alias.canonical));
    Dict formats;
    formats.set("f32", format_properties<float>()).set("f64", format_properties<double>());
    Dict signatures;
    for (const Binding* binding : bindings())
        signatures.set(binding->name, to_python(binding->text_signature().substr(binding->name.size())));

    const std::pair<const char*, Owned> data[] = {
        {"_OPERATIONS", Owned(operations.release())},
        {"_ALIASES", Owned(aliases.release())},
        {"_FORMATS", Owned(formats.release())},
        {"_ORACLE_VERSION", Owned(to_python(std::int64_t{exact::oracle_version}))},
        {"_SIGNATURES", Owned(signatures.release())},
    };
    for (const auto& [name, value] : data) {
        const Owned key(checked(PyUnicode_FromString(name)));
        auto added = add_unlisted_attribute(module, key.get(), value.get());
        if (!added.ok()) return std::move(added.error());
    }
    return true;
}

int execute(PyObject* module) {
    return guarded(-1, [&]() -> int {
        if (!PyObject_TypeCheck(module, &PyModule_Type)) {
            CallError::conversion(module, reinterpret_cast<PyObject*>(&PyModule_Type)).raise();
            return -1;
        }
        for (auto step : {add_functions, add_data, add_private_data}) {
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
