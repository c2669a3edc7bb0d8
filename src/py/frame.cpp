// The call frame: binding, conversions, errors and the process-wide caches behind them.
#include "frame.hpp"
#include "memory_budget.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace py {

// ---------------------------------------------------------------------------------------------------
// Once-only caches. A thread that finds a cache empty lets go of the interpreter lock while it waits,
// so a thread that is filling the cache (and may itself need the lock, e.g. for an import) can finish.

namespace {

struct OnceCache {
    std::once_flag flag;
    std::atomic<PyObject*> object{nullptr};
    // The thread running the initialisation, while it runs.
    std::atomic<std::thread::id> filler{};
};

// While the interpreter finalizes, a thread that asks for the interpreter lock back is ended by the C
// library's forced unwinding (ThreadExit). Going on unwinding through the callers would release their
// references without the lock, and nothing may catch it for good; so the thread rests here, owning nothing
// and touching nothing, until the process exits. Any other thread waiting for the same cache proceeds:
// leaving call_once by the unwind left the cache unfilled. The unwind is caught only while no other
// exception is being handled: the C++ runtime cannot stack it on another and terminates the process.
[[noreturn]] void rest_until_exit() {
    for (;;) pause();
}

void take_lock_back(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (const ThreadExit&) {
        rest_until_exit();
    }
}

template <class Make>
PyObject* fill_once(OnceCache& cache, Make make) {
    if (PyObject* ready = cache.object.load(std::memory_order_acquire)) return ready;
    // Python code that the initialisation runs (an import hook, say) may call into the module and need
    // the same cache on the same thread: waiting for its own initialisation, the thread would hang.
    if (cache.filler.load(std::memory_order_relaxed) == std::this_thread::get_id())
        throw InternalFailure("a process-wide cache was needed while this thread was filling it");
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
        std::call_once(cache.flag, [&] {
            PyEval_RestoreThread(state);
            cache.filler.store(std::this_thread::get_id(), std::memory_order_relaxed);
            try {
                cache.object.store(make(), std::memory_order_release);
            } catch (const ThreadExit&) {
                // Python code in make() was ended without the lock: give it up no further.
                cache.filler.store(std::thread::id(), std::memory_order_relaxed);
                throw;
            } catch (...) {
                cache.filler.store(std::thread::id(), std::memory_order_relaxed);
                state = PyEval_SaveThread();
                throw;
            }
            cache.filler.store(std::thread::id(), std::memory_order_relaxed);
            state = PyEval_SaveThread();
        });
    } catch (const ThreadExit&) {
        rest_until_exit();
    } catch (...) {
        failure = std::current_exception();
    }
    take_lock_back(state);
    if (failure) std::rethrow_exception(failure);
    return cache.object.load(std::memory_order_acquire);
}

OnceCache panic_cache;
OnceCache sequence_cache;

constexpr const char* panic_doc =
    "The exception raised when fpscope's native code fails an internal invariant.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it is not swallowed\n"
    "by `except Exception` and typically propagates all the way up and ends the interpreter.";

OnceCache name_caches[4];
constexpr const char* name_texts[4] = {"add_note", "__qualname__", "__name__", "__all__"};

std::string utf8_of(PyObject* text) {
    // Text that cannot be encoded strictly (lone surrogates) is still shown, with escapes.
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace");
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    std::string out(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
    Py_DECREF(bytes);
    return out;
}

std::string qualname_of(PyObject* type) {
    PyObject* name = PyObject_GetAttr(type, interned(Name::Qualname));
    if (name == nullptr || !PyUnicode_Check(name)) {
        PyErr_Clear();
        Py_XDECREF(name);
        return "<failed to extract type name>";
    }
    std::string out = utf8_of(name);
    Py_DECREF(name);
    return out;
}

std::string thread_label() {
    std::ostringstream out;
    out << std::this_thread::get_id();
    return out.str();
}

}  // namespace

PyObject* interned(Name name) {
    const auto i = static_cast<std::size_t>(name);
    return fill_once(name_caches[i], [i] { return checked(PyUnicode_InternFromString(name_texts[i])); });
}

std::string pending_error_text() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text;
    if (value != nullptr) {
        if (PyObject* s = PyObject_Str(value)) {
            text = utf8_of(s);
            Py_DECREF(s);
        }
    }
    PyErr_Clear();
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

PyObject* panic_exception_class() {
    return fill_once(panic_cache, [] {
        return checked(
            PyErr_NewExceptionWithDoc("fpscope._core.PanicException", panic_doc, PyExc_BaseException, nullptr));
    });
}

PyObject* sequence_class() {
    return fill_once(sequence_cache, [] {
        // No reference of ours is live during the import, which runs Python code: a thread ended there at
        // shutdown unwinds through this function without the interpreter lock (see rest_until_exit).
        Owned module(PyImport_ImportModule("collections.abc"));
        if (module.get() == nullptr) {
            PyErr_Clear();
            throw InternalFailure("could not import collections.abc");
        }
        PyObject* cls = PyObject_GetAttrString(module.get(), "Sequence");
        if (cls == nullptr || !PyType_Check(cls)) {
            PyErr_Clear();
            Py_XDECREF(cls);
            throw InternalFailure("collections.abc.Sequence is missing or not a class");
        }
        return cls;
    });
}

PyObject* checked(PyObject* object) {
    if (object == nullptr) {
        if (PyErr_Occurred()) throw PendingPythonError{};
        throw InternalFailure("PyObject pointer is null");
    }
    return object;
}

// ---------------------------------------------------------------------------------------------------
// CallError

CallError CallError::conversion(PyObject* object, PyObject* expected_class) {
    CallError error(Kind::TypeError, std::string());
    Py_INCREF(object);
    Py_INCREF(expected_class);
    error.object_ = object;
    error.expected_ = expected_class;
    return error;
}

CallError CallError::fetch() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return system_error("attempted to fetch exception but none was set");
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);

    // A PanicException raised inside Python code we called is carried on as the failure it reports.
    PyObject* panic = panic_cache.object.load(std::memory_order_acquire);
    if (panic != nullptr && value != nullptr && reinterpret_cast<PyObject*>(Py_TYPE(value)) == panic) {
        std::fputs("fpscope: an internal failure raised into Python code is being resumed;\n"
                   "fpscope: the Python stack trace follows.\n",
                   stderr);
        std::string message = "Unwrapped panic from Python code";
        if (PyObject* text = PyObject_Str(value)) {
            message = utf8_of(text);
            Py_DECREF(text);
        } else {
            PyErr_Clear();
        }
        PyErr_Restore(type, value, traceback);
        PyErr_PrintEx(0);
        InternalFailure failure(std::move(message));
        failure.reported = true;
        throw failure;
    }

    CallError error;
    error.fetched_ = true;
    error.type_ = type;
    error.value_ = value;
    error.traceback_ = traceback;
    return error;
}

CallError::CallError(CallError&& other) noexcept
    : kind_(other.kind_),
      message_(std::move(other.message_)),
      object_(std::exchange(other.object_, nullptr)),
      expected_(std::exchange(other.expected_, nullptr)),
      fetched_(other.fetched_),
      type_(std::exchange(other.type_, nullptr)),
      value_(std::exchange(other.value_, nullptr)),
      traceback_(std::exchange(other.traceback_, nullptr)) {}

CallError& CallError::operator=(CallError&& other) noexcept {
    if (this != &other) {
        release();
        kind_ = other.kind_;
        message_ = std::move(other.message_);
        object_ = std::exchange(other.object_, nullptr);
        expected_ = std::exchange(other.expected_, nullptr);
        fetched_ = other.fetched_;
        type_ = std::exchange(other.type_, nullptr);
        value_ = std::exchange(other.value_, nullptr);
        traceback_ = std::exchange(other.traceback_, nullptr);
    }
    return *this;
}

CallError::~CallError() { release(); }

void CallError::release() {
    Py_XDECREF(object_);
    Py_XDECREF(expected_);
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
    object_ = expected_ = type_ = value_ = traceback_ = nullptr;
}

void CallError::raise() {
    if (fetched_) {
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
        return;
    }
    if (object_ != nullptr) {
        std::string message;
        if (object_ == Py_None) {
            message = "'None' is not an instance of '" + qualname_of(expected_) + "'";
        } else {
            message = "'" + qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(object_))) +
                      "' object is not an instance of '" + qualname_of(expected_) + "'";
        }
        release();
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
        Owned args(checked(PyTuple_New(1)));
        PyTuple_SetItem(args.get(), 0, value.release());
        PyErr_SetObject(cls, args.get());
    } else {
        PyErr_SetObject(cls, value.get());
    }
}

void CallError::normalise() {
    if (fetched_) return;
    raise();
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    release();
    fetched_ = true;
    type_ = type;
    value_ = value;
    traceback_ = traceback;
}

void CallError::add_argument_note(std::string_view parameter) {
    std::string text = "while processing '";
    text.append(parameter);
    text += "'";
    Owned note(checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    normalise();
    if (value_ == nullptr) return;
    // Interpreters before 3.11 have no add_note; the error then goes on without a note.
    Owned method(PyObject_GetAttr(value_, interned(Name::AddNote)));
    if (method.get() == nullptr) {
        PyErr_Clear();
        return;
    }
    Owned outcome(PyObject_CallFunctionObjArgs(method.get(), note.get(), nullptr));
    if (outcome.get() == nullptr) PyErr_Clear();
}

// ---------------------------------------------------------------------------------------------------
// Internal failures

namespace {

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace

void raise_internal_failure(const InternalFailure& failure) noexcept {
    // Raising the PanicException may itself fail (no memory for its message); a failure while
    // another is being raised cannot be reported any other way.
    thread_local int depth = 0;
    if (depth > 0) abort_at_boundary();
    ++depth;
    try {
        if (!failure.reported) {
            std::fprintf(stderr, "fpscope: internal failure in thread %s at %s:%u:%u: %s\n",
                         thread_label().c_str(), failure.location.file_name(),
                         static_cast<unsigned>(failure.location.line()),
                         static_cast<unsigned>(failure.location.column()), failure.message.c_str());
            std::fflush(stderr);
        }
        std::string message = failure.message.empty() ? "fpscope internal failure (no message)" : failure.message;
        CallError::panic(std::move(message)).raise();
    } catch (const PendingPythonError&) {
        // No memory left for the PanicException: the MemoryError that says so is raised instead.
    } catch (...) {
        abort_at_boundary();
    }
    --depth;
}

void raise_pending_error() noexcept {
    if (!PyErr_Occurred()) raise_internal_failure(InternalFailure("an interpreter call failed without an exception"));
}

void raise_memory_error() noexcept { PyErr_NoMemory(); }

void raise_unknown_exception(const char* what) noexcept {
    raise_internal_failure(InternalFailure(what ? what : "native code failed without a message"));
}

// ---------------------------------------------------------------------------------------------------
// Binding

namespace {

std::string function_label(const FunctionDescription& f) { return std::string(f.name) + "()"; }

std::string missing_message(const FunctionDescription& f, const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) list += " and ";
            else if (i + 1 == names.size()) list += ", and ";
            else list += ", ";
        }
        list += "'";
        list.append(names[i]);
        list += "'";
    }
    return function_label(f) + " missing " + std::to_string(names.size()) + " required positional " +
           (names.size() == 1 ? "argument" : "arguments") + ": " + list;
}

}  // namespace

Result<Slots> bind(const FunctionDescription& function, PyObject* args, PyObject* kwargs) {
    Slots slots{};
    const std::size_t total = function.parameter_count;
    const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
    const std::size_t n = static_cast<std::size_t>(given < 0 ? 0 : given);
    for (std::size_t i = 0; i < n && i < total; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
    if (n > total) {
        const char* verb = n == 1 ? "was" : "were";
        std::string message = function_label(function) + " takes ";
        if (function.required < total)
            message += "from " + std::to_string(function.required) + " to " + std::to_string(total);
        else
            message += std::to_string(total);
        message += " positional arguments but " + std::to_string(n) + " " + verb + " given";
        return CallError::type_error(std::move(message));
    }
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key = nullptr, *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            std::size_t match = total;
            if (PyUnicode_Check(key)) {
                if (PyObject* bytes = PyUnicode_AsUTF8String(key)) {
                    const std::string_view encoded(PyBytes_AsString(bytes),
                                                   static_cast<std::size_t>(PyBytes_Size(bytes)));
                    for (std::size_t i = 0; i < total; ++i) {
                        if (function.parameters[i] == encoded) {
                            match = i;
                            break;
                        }
                    }
                    Py_DECREF(bytes);
                } else {
                    PyErr_Clear();
                }
            }
            if (match == total) {
                std::string shown;
                if (PyObject* text = PyObject_Str(key)) {
                    shown = utf8_of(text);
                    Py_DECREF(text);
                } else {
                    return CallError::fetch();
                }
                return CallError::type_error(function_label(function) + " got an unexpected keyword argument '" +
                                             shown + "'");
            }
            if (slots[match] != nullptr) {
                return CallError::type_error(function_label(function) + " got multiple values for argument '" +
                                             std::string(function.parameters[match]) + "'");
            }
            slots[match] = value;
        }
    }
    std::vector<std::string_view> missing;
    for (std::size_t i = n; i < function.required; ++i)
        if (slots[i] == nullptr) missing.push_back(function.parameters[i]);
    if (!missing.empty()) return CallError::type_error(missing_message(function, missing));
    return slots;
}

// ---------------------------------------------------------------------------------------------------
// Conversions

namespace {

constexpr const char* out_of_range = "out of range integral type conversion attempted";

// An int (or subclass) as a C long; anything else goes through __index__ first.
Result<long> as_long(PyObject* object) {
    Owned index(PyLong_Check(object) ? (Py_INCREF(object), object) : PyNumber_Index(object));
    if (index.get() == nullptr) return CallError::fetch();
    const long v = PyLong_AsLong(index.get());
    if (v == -1 && PyErr_Occurred()) return CallError::fetch();
    return v;
}

}  // namespace

Result<double> convert_float(PyObject* object) {
    const double v = PyFloat_AsDouble(object);
    if (v == -1.0 && PyErr_Occurred()) return CallError::fetch();
    return v;
}

Result<std::string> convert_string(PyObject* object) {
    if (!(PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS))
        return CallError::conversion(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    Owned bytes(PyUnicode_AsUTF8String(object));
    if (bytes.get() == nullptr) return CallError::fetch();
    return std::string(PyBytes_AsString(bytes.get()), static_cast<std::size_t>(PyBytes_Size(bytes.get())));
}

Result<std::int32_t> convert_int32(PyObject* object) {
    auto v = as_long(object);
    if (!v.ok()) return std::move(v.error());
    if (v.value() < INT32_MIN || v.value() > INT32_MAX) return CallError::overflow_error(out_of_range);
    return static_cast<std::int32_t>(v.value());
}

Result<std::uint32_t> convert_uint32(PyObject* object) {
    auto v = as_long(object);
    if (!v.ok()) return std::move(v.error());
    if (v.value() < 0 || v.value() > static_cast<long>(UINT32_MAX)) return CallError::overflow_error(out_of_range);
    return static_cast<std::uint32_t>(v.value());
}

Result<std::uint64_t> convert_size(PyObject* object) {
    Owned index(PyLong_Check(object) ? (Py_INCREF(object), object) : PyNumber_Index(object));
    if (index.get() == nullptr) return CallError::fetch();
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return CallError::fetch();
    return static_cast<std::uint64_t>(v);
}

Result<std::optional<double>> convert_optional_float(PyObject* object) {
    if (object == Py_None) return std::optional<double>();
    auto v = convert_float(object);
    if (!v.ok()) return std::move(v.error());
    return std::optional<double>(v.value());
}

Result<std::vector<double>> convert_float_sequence(PyObject* object) {
    if (PyType_GetFlags(Py_TYPE(object)) & Py_TPFLAGS_UNICODE_SUBCLASS)
        return CallError::type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(object)) return CallError::conversion(object, sequence_class());
    Py_ssize_t hint = PyObject_Size(object);
    if (hint < 0) {
        PyErr_Clear();
        hint = 0;
    }
    // A sequence whose values alone would not fit in memory is refused before anything is read,
    // rather than growing the array until the machine swaps.
    ElementBudget budget(sizeof(double));
    if (!budget.admits(static_cast<std::uint64_t>(hint))) return CallError::memory_error();
    std::vector<double> values;
    // The length is only a hint; reserving is capped so a sequence that overstates it costs little.
    constexpr Py_ssize_t reserve_cap = Py_ssize_t{1} << 24;
    values.reserve(static_cast<std::size_t>(hint < reserve_cap ? hint : reserve_cap));
    Owned iterator(PyObject_GetIter(object));
    if (iterator.get() == nullptr) return CallError::fetch();
    while (true) {
        Owned item(PyIter_Next(iterator.get()));
        if (item.get() == nullptr) {
            if (PyErr_Occurred()) return CallError::fetch();
            break;
        }
        auto v = convert_float(item.get());
        if (!v.ok()) return std::move(v.error());
        if (!budget.admits(values.size() + 1)) return CallError::memory_error();
        values.push_back(v.value());
    }
    return values;
}

}  // namespace py
