// CallError: building, fetching, annotating and raising the frame's errors.
#include "error.hpp"

#include <cstdio>

#include "caches.hpp"
#include "guard.hpp"

namespace py {

namespace {

// The calls into the interpreter below that can run Python code (a metaclass's attribute, an exception's
// __init__ or add_note, sys.excepthook, finalizers of what is released) go through exit_safe.
std::string qualname_of(PyObject* type) {
    PyObject* const qualname = interned(Name::Qualname);
    const Owned name(exit_safe([type, qualname] { return PyObject_GetAttr(type, qualname); }));
    if (!name || !PyUnicode_Check(name.get())) {
        exit_safe([] { PyErr_Clear(); });
        return "<failed to extract type name>";
    }
    return utf8_of(name.get());
}

}  // namespace

FetchedError fetch_normalised() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != nullptr) {
        exit_safe([&] { PyErr_NormalizeException(&type, &value, &traceback); });
        if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
    }
    return FetchedError{Owned(type), Owned(value), Owned(traceback)};
}

PyObject* checked(PyObject* object) {
    if (object == nullptr) {
        if (PyErr_Occurred()) throw PendingPythonError{};
        throw InternalFailure("PyObject pointer is null");
    }
    return object;
}

CallError CallError::conversion(PyObject* object, PyObject* expected_class) {
    CallError error(Kind::TypeError, std::string());
    Py_INCREF(object);
    Py_INCREF(expected_class);
    error.object_ = Owned(object);
    error.expected_ = Owned(expected_class);
    return error;
}

CallError CallError::fetch() {
    FetchedError error = fetch_normalised();
    if (!error.type) return system_error("attempted to fetch exception but none was set");

    // A PanicException raised inside Python code we called is carried on as the failure it reports.
    PyObject* panic = panic_exception_class_if_made();
    PyObject* value = error.value.get();
    if (panic != nullptr && value != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(value)) == panic) {
        std::fputs("fpscope: an internal failure raised into Python code is being resumed;\n"
                   "fpscope: the Python stack trace follows.\n",
                   stderr);
        std::string message = "Unwrapped panic from Python code";
        if (const Owned text{exit_safe([value] { return PyObject_Str(value); })}) {
            message = utf8_of(text.get());
        } else {
            exit_safe([] { PyErr_Clear(); });
        }
        PyErr_Restore(error.type.release(), error.value.release(), error.traceback.release());
        exit_safe([] { PyErr_PrintEx(0); });
        InternalFailure failure(std::move(message));
        failure.reported = true;
        throw failure;
    }
    return CallError(std::move(error));
}

void CallError::raise() {
    if (fetched_) {
        PyErr_Restore(error_.type.release(), error_.value.release(), error_.traceback.release());
        return;
    }
    if (object_) {
        std::string message = "'";
        if (object_.get() == Py_None) {
            message += "None' is not";
        } else {
            message += qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object_.get())));
            message += "' object is not";
        }
        message += " an instance of '";
        message += qualname_of(expected_.get());
        message += "'";
        object_ = Owned();
        expected_ = Owned();
        kind_ = Kind::TypeError;
        message_ = std::move(message);
    }
    PyObject* cls = nullptr;
    switch (kind_) {
        case Kind::TypeError: cls = PyExc_TypeError; break;
        case Kind::ValueError: cls = PyExc_ValueError; break;
        case Kind::OverflowError: cls = PyExc_OverflowError; break;
        case Kind::SystemError: cls = PyExc_SystemError; break;
        case Kind::MemoryError: PyErr_NoMemory(); return;
        case Kind::Panic: cls = panic_exception_class(); break;
    }
    Owned value(checked(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size()))));
    if (kind_ == Kind::Panic) {
        Owned args(checked(exit_safe([] { return PyTuple_New(1); })));
        PyTuple_SetItem(args.get(), 0, value.release());
        PyErr_SetObject(cls, args.get());
    } else {
        PyErr_SetObject(cls, value.get());
    }
}

void CallError::normalise() {
    if (fetched_) return;
    raise();
    // Fetched as it was raised: a PanicException set by raise() is not resumed here.
    FetchedError error = fetch_normalised();
    object_ = Owned();
    expected_ = Owned();
    fetched_ = true;
    error_ = std::move(error);
}

void CallError::add_argument_note(std::string_view parameter) {
    std::string text = "while processing '";
    text.append(parameter);
    text += "'";
    Owned note(checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    normalise();
    if (!error_.value) return;
    // Interpreters before 3.11 have no add_note; the error then goes on without a note.
    PyObject* const add_note = interned(Name::AddNote);
    Owned method(exit_safe([this, add_note] { return PyObject_GetAttr(error_.value.get(), add_note); }));
    if (method.get() == nullptr) {
        exit_safe([] { PyErr_Clear(); });
        return;
    }
    Owned outcome(
        exit_safe([&method, &note] { return PyObject_CallFunctionObjArgs(method.get(), note.get(), nullptr); }));
    if (outcome.get() == nullptr) exit_safe([] { PyErr_Clear(); });
}

}  // namespace py
