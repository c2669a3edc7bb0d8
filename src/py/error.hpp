// The one error value of the frame (CallError), the Result that carries a native value or it, and Owned,
// the holder of a new reference. Errors become Python exceptions only when raised, at the frame's entry.
#pragma once

#include "python.hpp"

#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>

#include "thread_exit.hpp"

namespace py {

// Owns a new reference until released; keeps partially built results from leaking. Releasing it can run
// Python code (a __del__), in which the interpreter may end the thread (see exit_safe).
class Owned {
public:
    explicit Owned(PyObject* o = nullptr) noexcept : o_(o) {}
    Owned(Owned&& other) noexcept : o_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        Owned old(std::exchange(o_, other.release()));
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() {
        if (o_ != nullptr) exit_safe([this] { Py_DECREF(o_); });
    }
    PyObject* get() const { return o_; }
    PyObject* release() noexcept { return std::exchange(o_, nullptr); }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject* o_;
};

// The pending exception, normalised, with its traceback attached to the value; all three null when none
// is pending.
struct FetchedError {
    Owned type;
    Owned value;
    Owned traceback;
};
FetchedError fetch_normalised();

// An interpreter call that failed and set its exception (a failed allocation sets MemoryError): the
// exception stays pending, and the frame's entry returns with it.
struct PendingPythonError {};

// The null-result rule: a null with an exception pending throws PendingPythonError; a null without one is
// an InternalFailure.
PyObject* checked(PyObject* object);

// CallError: raisable later (class + text, or conversion-error parts) or fetched.
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

    // Attach "while processing '<name>'" through add_note, where the interpreter has it.
    void add_argument_note(std::string_view parameter);
    // Set the interpreter's error indicator; the error is consumed.
    void raise();

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }

private:
    CallError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    explicit CallError(FetchedError fetched) : fetched_(true), error_(std::move(fetched)) {}
    // Turns a raisable-later error into the fetched form (creates the exception object).
    void normalise();

    Kind kind_ = Kind::SystemError;
    std::string message_;
    Owned object_;    // conversion error: the offending object
    Owned expected_;  // conversion error: the expected class
    bool fetched_ = false;
    FetchedError error_;  // fetched form
};

template <class T>
class Result;

template <class T>
inline constexpr bool is_result = false;
template <class T>
inline constexpr bool is_result<Result<T>> = true;

// A native value or a CallError.
template <class T>
class [[nodiscard]] Result {
public:
    using Value = T;

    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(CallError error) : state_(std::in_place_index<1>, std::move(error)) {}
    template <class U>
        requires(std::is_convertible_v<U, T> && !std::is_same_v<std::decay_t<U>, T> &&
                 !std::is_same_v<std::decay_t<U>, CallError> && !is_result<std::decay_t<U>>)
    Result(U&& value) : state_(std::in_place_index<0>, T(std::forward<U>(value))) {}
    // A Result of a convertible value: its value or its error.
    template <class U>
        requires(std::is_convertible_v<U, T> && !std::is_same_v<U, T>)
    Result(Result<U>&& other)
        : state_(other.ok() ? state_type(std::in_place_index<0>, T(std::move(other.value())))
                            : state_type(std::in_place_index<1>, std::move(other.error()))) {}

    bool ok() const { return state_.index() == 0; }
    T& value() { return std::get<0>(state_); }
    CallError& error() { return std::get<1>(state_); }

private:
    using state_type = std::variant<T, CallError>;
    state_type state_;
};

}  // namespace py
