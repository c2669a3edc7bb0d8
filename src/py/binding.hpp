// Declaring a function of the module once: its name, its parameters with their native types and defaults,
// and its docstring. The binding of arguments to parameters, the conversions, the text signature and the
// method entry are derived from that declaration.
//
//     constexpr Function next_up_declaration{"next_up", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}}, ""};
//     const Binding next_up_binding = bind<next_up_declaration>([](double x, Text dtype) { ... });
//
// A default is written as the Python literal the text signature shows, and read from it at compile time.
#pragma once

#include "python.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>

#include "caches.hpp"
#include "conversions.hpp"
#include "error.hpp"
#include "guard.hpp"

namespace py {

inline constexpr std::size_t max_parameters = 9;

// A parameter: its name (an ASCII string literal), its declared type T (see Native), and its default as the
// Python literal shown in the text signature; no literal: required.
template <class T>
struct Arg {
    std::string_view name;
    std::string_view literal = {};

    using Type = T;
    constexpr bool required() const { return literal.empty(); }
};

template <class... T>
struct Params {
    std::tuple<Arg<T>...> args;
    constexpr explicit Params(Arg<T>... a) : args(a...) {}
};

template <class... T>
struct Function {
    static constexpr std::size_t count = sizeof...(T);
    static_assert(count <= max_parameters, "more parameters than the frame binds");

    std::string_view name;
    Params<T...> params;
    std::string_view doc;

    constexpr Function(std::string_view n, Params<T...> p, std::string_view d) : name(n), params(p), doc(d) {}

    constexpr std::array<std::string_view, count> names() const {
        return std::apply([](const auto&... a) { return std::array<std::string_view, count>{a.name...}; },
                          params.args);
    }
    constexpr std::array<std::string_view, count> literals() const {
        return std::apply([](const auto&... a) { return std::array<std::string_view, count>{a.literal...}; },
                          params.args);
    }
    constexpr std::size_t required() const {
        std::size_t n = 0;
        for (auto literal : literals()) n += literal.empty();
        return n;
    }
    // Every name ends in a NUL, as the character comparison of keyword names needs (a literal does).
    constexpr bool names_terminated() const {
        for (auto name : names())
            if (name.data()[name.size()] != '\0') return false;
        return true;
    }
    // Every required parameter comes before every defaulted one.
    constexpr bool required_first() const {
        const auto l = literals();
        for (std::size_t i = 0; i < required(); ++i)
            if (!l[i].empty()) return false;
        return true;
    }
};

// One borrowed reference per parameter, null where the argument was not given.
using Slots = std::array<PyObject*, max_parameters>;

// What binding needs of a declaration, without its types.
struct Signature {
    std::string_view function;
    const std::string_view* names;
    std::size_t count;
    std::size_t required;
    PyObject* const* interned;  // the names as interned str, or null
};

// Positional arguments into slots, then keyword arguments by name; the interpreter's messages for too many
// positional arguments, unexpected or repeated keywords, and missing required arguments.
CallError too_many_positional(const Signature& signature, std::size_t given);
Result<bool> bind_keywords(const Signature& signature, PyObject* kwargs, Slots& slots);
CallError missing_arguments(const Signature& signature, const Slots& slots, std::size_t given);

// The module's view of a bound function: what its PyMethodDef and docstring are made from.
struct Binding {
    std::string_view name;
    PyCFunctionWithKeywords entry;
    std::array<std::string_view, max_parameters> names;
    std::array<std::string_view, max_parameters> literals;
    std::size_t count;
    std::string_view doc;
    // A signature written out (for a function the declarations cannot describe); empty: derived.
    std::string_view raw_signature = {};

    // "name(a, b=1)"
    std::string text_signature() const;
    // The docstring in the interpreter's text-signature layout: signature line, "--", an empty line, body.
    std::string docstring() const;
};

namespace detail {

// Holds a reference to every bound argument until the call returns. With a keyword dict, slots borrow from
// it, and conversions run Python code (__float__, __index__, __iter__) that can reach the dict (the caller's
// own, through f(**d), or gc.get_referrers) and drop the only reference to an argument not yet converted.
// Positional arguments are held by the argument tuple, which the interpreter holds for the call.
class HeldArguments {
public:
    HeldArguments(const Slots& slots, std::size_t count) : slots_(slots), count_(count) {
        for (std::size_t i = 0; i < count_; ++i) Py_XINCREF(slots_[i]);
    }
    HeldArguments(const HeldArguments&) = delete;
    HeldArguments& operator=(const HeldArguments&) = delete;
    ~HeldArguments() {
        exit_safe([this] {
            for (std::size_t i = 0; i < count_; ++i) Py_XDECREF(slots_[i]);
        });
    }

private:
    const Slots& slots_;
    std::size_t count_;
};

template <class T>
using ValueOf = typename Native<T>::Value;

template <class R>
[[gnu::always_inline]] inline PyObject* result_to_python(R&& result) {
    if constexpr (is_result<std::decay_t<R>>) {
        if (!result.ok()) {
            result.error().raise();
            return nullptr;
        }
        return to_python(result.value());
    } else {
        return to_python(result);
    }
}

// Converts the arguments from I on in parameter order (a missing one takes its default), then runs the
// logic on the native values. The first failing conversion is raised with the parameter's note. Inlined
// into the entry, so that a default reaches the logic as the constant it is.
template <const auto& D, class Logic, std::size_t I, class... Done>
[[gnu::always_inline]] inline PyObject* convert_from(const Slots& slots, Done&&... done) {
    using F = std::decay_t<decltype(D)>;
    if constexpr (I == F::count) {
        return result_to_python(Logic{}(std::move(done)...));
    } else {
        constexpr auto arg = std::get<I>(D.params.args);
        using T = typename decltype(arg)::Type;
        if constexpr (!arg.required()) {
            if (slots[I] == nullptr) {
                static constexpr auto fallback = Native<T>::parse(arg.literal);
                return convert_from<D, Logic, I + 1>(slots, std::move(done)..., ValueOf<T>(fallback));
            }
        }
        auto converted = Native<T>::convert(slots[I]);
        if (!converted.ok()) {
            converted.error().add_argument_note(arg.name);
            converted.error().raise();
            return nullptr;
        }
        return convert_from<D, Logic, I + 1>(slots, std::move(done)..., std::move(converted.value()));
    }
}

template <const auto& D>
struct Names {
    static constexpr auto names = D.names();
    static inline InternedTexts<std::decay_t<decltype(D)>::count> interned;

    static Signature signature() {
        return Signature{D.name, names.data(), names.size(), D.required(), nullptr};
    }
};

// The function the interpreter calls.
template <const auto& D, class Logic, class Environment = DefaultFloatEnvironment>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*, Environment>(nullptr, [&]() __attribute__((always_inline)) -> PyObject* {
        using N = Names<D>;
        Signature signature = N::signature();
        Slots slots{};
        const Py_ssize_t size = args ? PyTuple_Size(args) : 0;
        const std::size_t given = static_cast<std::size_t>(size < 0 ? 0 : size);
        if (given > signature.count) {
            too_many_positional(signature, given).raise();
            return nullptr;
        }
        for (std::size_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
        if (kwargs == nullptr) {
            for (std::size_t i = given; i < signature.required; ++i) {
                if (slots[i] == nullptr) {
                    missing_arguments(signature, slots, given).raise();
                    return nullptr;
                }
            }
            return convert_from<D, Logic, 0>(slots);
        }
        signature.interned = N::interned.get(N::names);
        if (auto bound = bind_keywords(signature, kwargs, slots); !bound.ok()) {
            bound.error().raise();
            return nullptr;
        }
        for (std::size_t i = given; i < signature.required; ++i) {
            if (slots[i] == nullptr) {
                missing_arguments(signature, slots, given).raise();
                return nullptr;
            }
        }
        const HeldArguments held(slots, signature.count);
        return convert_from<D, Logic, 0>(slots);
    });
}

}  // namespace detail

// The binding of declaration D to its logic, a lambda without captures taking the parameters' native values
// in order and returning a value or a Result of one.
template <const auto& D, class Logic>
constexpr Binding bind(Logic) {
    static_assert(D.required_first(), "a required parameter follows one with a default");
    static_assert(D.names_terminated(), "a parameter name is not a whole string literal");
    Binding binding{D.name, &detail::entry<D, Logic>, {}, {}, D.count, D.doc};
    for (std::size_t i = 0; i < D.count; ++i) {
        binding.names[i] = D.names()[i];
        binding.literals[i] = D.literals()[i];
    }
    return binding;
}

}  // namespace py
