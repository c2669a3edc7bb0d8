// The call frame: binding, one conversion per native type, result building, and the single place where
// native failures become Python exceptions.
#pragma once

#include "python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "exact/internal_failure.hpp"
#include "float_environment.hpp"

namespace py {

using exact::InternalFailure;

// What the C library throws through a thread that it ends (pthread_exit, as the interpreter does to a
// thread that asks for its lock while it finalizes): it must be let through, never turned into an error.
#if defined(__GLIBCXX__)
using ThreadExit = abi::__forced_unwind;
#else
struct ThreadExit {};  // never thrown: the unwind is then caught by catch (...) alone
#endif

// ---------------------------------------------------------------------------------------------------
// CallError: the one error value. Raisable later (class + text, or conversion-error parts) or fetched.

class CallError {
public:
    enum class Kind { TypeError, ValueError, OverflowError, SystemError, MemoryError, Panic };

    static CallError type_error(std::string message) { return CallError(Kind::TypeError, std::move(message)); }
    static CallError value_error(std::string message) { return CallError(Kind::ValueError, std::move(message)); }
    static CallError overflow_error(std::string message) {
        return CallError(Kind::OverflowError, std::move(message));
    }
    static CallError system_error(std::string message) { return CallError(Kind::SystemError, std::move(message)); }
    static CallError memory_error() { return CallError(Kind::MemoryError, std::string()); }
    static CallError panic(std::string message) { return CallError(Kind::Panic, std::move(message)); }
    // TypeError "'<type>' object is not an instance of '<expected>'", built only when raised.
    static CallError conversion(PyObject* object, PyObject* expected_class);
    // The exception the interpreter has pending. A pending PanicException is resumed instead: it is
    // reported and thrown as an InternalFailure. No pending exception gives a SystemError.
    static CallError fetch();

    CallError(CallError&& other) noexcept;
    CallError& operator=(CallError&& other) noexcept;
    CallError(const CallError&) = delete;
    CallError& operator=(const CallError&) = delete;
    ~CallError();

    // Attach "while processing '<name>'" through add_note, where the interpreter has it.
    void add_argument_note(std::string_view parameter);
    // Set the interpreter's error indicator; the error is consumed.
    void raise();

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }

private:
    CallError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    CallError() = default;
    // Turns a raisable-later error into the fetched form (creates the exception object).
    void normalise();
    void release();

    Kind kind_ = Kind::SystemError;
    std::string message_;
    PyObject* object_ = nullptr;    // conversion error: the offending object (owned)
    PyObject* expected_ = nullptr;  // conversion error: the expected class (owned)
    bool fetched_ = false;
    PyObject* type_ = nullptr;  // fetched form: owned normalised triple
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// A native value or a CallError.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CallError error) : state_(std::in_place_index<1>, std::move(error)) {}
    template <class U>
        requires(std::is_convertible_v<U, T> && !std::is_same_v<std::decay_t<U>, T> &&
                 !std::is_same_v<std::decay_t<U>, CallError>)
    Result(U&& value) : state_(std::in_place_index<0>, T(std::forward<U>(value))) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    CallError& error() { return std::get<1>(state_); }

private:
    std::variant<T, CallError> state_;
};

// ---------------------------------------------------------------------------------------------------
// Function descriptions and binding.

inline constexpr std::size_t max_parameters = 8;

struct FunctionDescription {
    std::string_view name;
    std::array<std::string_view, max_parameters> parameters;
    std::size_t parameter_count;
    std::size_t required;
};

// One borrowed reference per parameter, null where the argument was not given.
using Slots = std::array<PyObject*, max_parameters>;

Result<Slots> bind(const FunctionDescription& function, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------------------------------
// Conversions, one per native type.

struct Int32 { std::int32_t value; };
struct UInt32 { std::uint32_t value; };
struct Size { std::uint64_t value; };

Result<double> convert_float(PyObject* object);
Result<std::string> convert_string(PyObject* object);
Result<std::int32_t> convert_int32(PyObject* object);
Result<std::uint32_t> convert_uint32(PyObject* object);
Result<std::uint64_t> convert_size(PyObject* object);
Result<std::optional<double>> convert_optional_float(PyObject* object);
Result<std::vector<double>> convert_float_sequence(PyObject* object);

// Tags naming the native type of each parameter, with its default when it has one.
template <class T, Result<T> (*Convert)(PyObject*)>
struct Param {
    using Native = T;
    std::optional<T> fallback;
    static Result<T> convert(PyObject* object) { return Convert(object); }
};

using FloatParam = Param<double, convert_float>;
using StringParam = Param<std::string, convert_string>;
using Int32Param = Param<std::int32_t, convert_int32>;
using UInt32Param = Param<std::uint32_t, convert_uint32>;
using SizeParam = Param<std::uint64_t, convert_size>;
using OptionalFloatParam = Param<std::optional<double>, convert_optional_float>;
using FloatSequenceParam = Param<std::vector<double>, convert_float_sequence>;

// ---------------------------------------------------------------------------------------------------
// Results: native values to new references.

// An interpreter call that failed and set its exception (a failed allocation sets MemoryError): the
// exception stays pending, and the frame's entry returns with it.
struct PendingPythonError {};

// The null-result rule: a null with an exception pending throws PendingPythonError; a null without one is
// an InternalFailure.
PyObject* checked(PyObject* object);

inline PyObject* to_python(double v) { return checked(PyFloat_FromDouble(v)); }
inline PyObject* to_python(bool v) {
    PyObject* o = v ? Py_True : Py_False;
    Py_INCREF(o);
    return o;
}
inline PyObject* to_python(std::int64_t v) { return checked(PyLong_FromLongLong(v)); }
inline PyObject* to_python(std::uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }
inline PyObject* to_python(std::nullopt_t) {
    Py_INCREF(Py_None);
    return Py_None;
}
inline PyObject* to_python(std::string_view v) {
    return checked(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}
inline PyObject* to_python(const std::string& v) { return to_python(std::string_view(v)); }
inline PyObject* to_python(const char* v) { return to_python(std::string_view(v)); }

template <class T>
PyObject* to_python(const std::optional<T>& v);
template <class... T>
PyObject* to_python(const std::tuple<T...>& v);
template <class T>
PyObject* to_python(const std::vector<T>& v);

// Owns a new reference until released; keeps partially built results from leaking.
class Owned {
public:
    explicit Owned(PyObject* o = nullptr) : o_(o) {}
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(o_); }
    PyObject* get() const { return o_; }
    PyObject* release() { return std::exchange(o_, nullptr); }

private:
    PyObject* o_;
};

template <class T>
PyObject* to_python(const std::optional<T>& v) {
    return v ? to_python(*v) : to_python(std::nullopt);
}

template <class... T>
PyObject* to_python(const std::tuple<T...>& v) {
    Owned tuple(checked(PyTuple_New(sizeof...(T))));
    std::apply(
        [&](const auto&... item) {
            Py_ssize_t i = 0;
            (PyTuple_SetItem(tuple.get(), i++, to_python(item)), ...);
        },
        v);
    return tuple.release();
}

template <class T>
PyObject* to_python(const std::vector<T>& v) {
    Owned list(checked(PyList_New(static_cast<Py_ssize_t>(v.size()))));
    for (std::size_t i = 0; i < v.size(); ++i) PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(v[i]));
    return list.release();
}

// ---------------------------------------------------------------------------------------------------
// The entry: guard, bind, convert in parameter order, run the logic, build the result.

// Runs body in the default float environment (restoring the caller's afterwards) and under the last-resort
// guard; an InternalFailure becomes a PanicException. Returns body's result, or `failed` with an exception set.
template <class R, class Body>
R guarded(R failed, Body&& body);

// Writes the InternalFailure report and raises the PanicException for it.
void raise_internal_failure(const InternalFailure& failure) noexcept;
// Leaves the exception of a failed interpreter call pending (an internal failure if, against the rule,
// none is).
void raise_pending_error() noexcept;
// Raises MemoryError for a native allocation that could not be satisfied.
void raise_memory_error() noexcept;
// Any other C++ exception is a broken invariant as well.
void raise_unknown_exception(const char* what) noexcept;

template <class R, class Body>
R guarded(R failed, Body&& body) {
    const DefaultFloatEnvironment environment;
    try {
        return body();
    } catch (const ThreadExit&) {
        throw;
    } catch (const PendingPythonError&) {
        raise_pending_error();
    } catch (const InternalFailure& failure) {
        raise_internal_failure(failure);
    } catch (const std::bad_alloc&) {
        raise_memory_error();
    } catch (const std::exception& e) {
        raise_unknown_exception(e.what());
    } catch (...) {
        raise_unknown_exception(nullptr);
    }
    return failed;
}

namespace detail {

// Holds a reference to every bound argument until the call returns. The slots borrow from the argument
// tuple and keyword dict, but conversions run Python code (__float__, __index__, __iter__) that can reach
// the keyword dict (gc.get_referrers) and drop the only reference to an argument not yet converted.
class HeldArguments {
public:
    explicit HeldArguments(const Slots& slots) : slots_(slots) {
        for (PyObject* o : slots_) Py_XINCREF(o);
    }
    HeldArguments(const HeldArguments&) = delete;
    HeldArguments& operator=(const HeldArguments&) = delete;
    ~HeldArguments() {
        for (PyObject* o : slots_) Py_XDECREF(o);
    }

private:
    Slots slots_;
};

template <class Logic, class Params, std::size_t... I>
PyObject* convert_and_run(const FunctionDescription& function, const Slots& slots, Logic&& logic,
                          const Params& params, std::index_sequence<I...>) {
    std::tuple<std::optional<typename std::tuple_element_t<I, Params>::Native>...> natives;
    std::optional<CallError> failure;
    auto convert_one = [&](auto index) {
        constexpr std::size_t i = decltype(index)::value;
        if (failure) return;
        const auto& param = std::get<i>(params);
        PyObject* object = slots[i];
        if (object == nullptr) {
            std::get<i>(natives).emplace(*param.fallback);
            return;
        }
        auto converted = param.convert(object);
        if (converted.ok()) {
            std::get<i>(natives).emplace(std::move(converted.value()));
        } else {
            converted.error().add_argument_note(function.parameters[i]);
            failure.emplace(std::move(converted.error()));
        }
    };
    (convert_one(std::integral_constant<std::size_t, I>{}), ...);
    if (failure) {
        failure->raise();
        return nullptr;
    }
    auto result = logic(std::move(*std::get<I>(natives))...);
    if (!result.ok()) {
        result.error().raise();
        return nullptr;
    }
    return to_python(result.value());
}

}  // namespace detail

// The one binding routine, driven by the function's description and its parameters' native types.
template <class Logic, class... Params>
PyObject* invoke(const FunctionDescription& function, PyObject* args, PyObject* kwargs, Logic&& logic,
                 Params... params) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        auto slots = bind(function, args, kwargs);
        if (!slots.ok()) {
            slots.error().raise();
            return nullptr;
        }
        const detail::HeldArguments held(slots.value());
        return detail::convert_and_run(function, slots.value(), logic, std::tuple<Params...>(params...),
                                       std::index_sequence_for<Params...>{});
    });
}

// ---------------------------------------------------------------------------------------------------
// Process-wide caches.

// Attribute names interned once for the process.
enum class Name { AddNote, Qualname, Name, All };
PyObject* interned(Name name);

// Clears the pending exception and returns str() of it, for messages of internal failures.
std::string pending_error_text();

// The PanicException class (a BaseException subclass), created once.
PyObject* panic_exception_class();
// collections.abc.Sequence, imported once.
PyObject* sequence_class();

}  // namespace py
