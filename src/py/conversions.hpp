// Conversions between Python objects and native values: one per native type of a parameter (with the
// parsing of its default as written in the text signature), and native results to new references.
#pragma once

#include "python.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "caches.hpp"
#include "error.hpp"
#include "exact/internal_failure.hpp"

namespace py {

// ---------------------------------------------------------------------------------------------------
// Arguments

// A str argument's UTF-8 text: a view of the static name it equals, or of the bytes object holding its
// encoding (for a string the parameter has no name for). Moving it moves a pointer.
class Text {
public:
    explicit Text(std::string_view name) : view_(name) {}
    Text(std::string_view encoded, Owned bytes) : view_(encoded), bytes_(std::move(bytes)) {}
    std::string_view view() const { return view_; }
    operator std::string_view() const { return view_; }

private:
    std::string_view view_;
    Owned bytes_;
};

// The declared type of a str parameter whose meaningful values are the names in `Words` (ASCII, NUL
// terminated): an argument equal to one of them is recognised in place, without copying its text. Any
// other str is taken too (its meaning is checked by the function's logic).
template <const auto& Words>
struct Word {};

// The native value of a declared parameter type: how an argument converts, and how the default written in
// the text signature (a Python literal) reads, at compile time.
template <class T>
struct Native;

namespace literal {

// Throwing in a constant expression stops the build: a default that cannot be read exactly is refused.
struct Unreadable {};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A decimal integer, optionally negative.
constexpr long long integer(std::string_view text) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    if (text.empty()) throw Unreadable{};
    long long v = 0;
    for (char c : text) {
        if (!is_digit(c) || v > (9223372036854775807LL - 9) / 10) throw Unreadable{};
        v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

// A decimal float whose digits fit 53 bits and whose power of ten is exact in binary64: one correctly
// rounded multiplication or division then gives the nearest double, as the interpreter reads it.
constexpr double decimal(std::string_view text) {
    bool negative = !text.empty() && text[0] == '-';
    if (negative) text.remove_prefix(1);
    std::uint64_t digits = 0;
    int exponent = 0;
    std::size_t i = 0;
    bool any = false;
    for (; i < text.size() && is_digit(text[i]); ++i, any = true) digits = digits * 10 + (text[i] - '0');
    if (i < text.size() && text[i] == '.')
        for (++i; i < text.size() && is_digit(text[i]); ++i, any = true) {
            digits = digits * 10 + (text[i] - '0');
            --exponent;
        }
    if (!any || digits > (std::uint64_t{1} << 53)) throw Unreadable{};
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E'))
        exponent += static_cast<int>(integer(text.substr(i + 1)));
    else if (i != text.size())
        throw Unreadable{};
    if (exponent < -22 || exponent > 22) throw Unreadable{};
    double power = 1.0;
    for (int k = 0; k < (exponent < 0 ? -exponent : exponent); ++k) power *= 10.0;
    const double v = exponent < 0 ? static_cast<double>(digits) / power : static_cast<double>(digits) * power;
    return negative ? -v : v;
}

// A double-quoted str without escapes.
constexpr std::string_view quoted(std::string_view text) {
    if (text.size() < 2 || text.front() != '"' || text.back() != '"') throw Unreadable{};
    text = text.substr(1, text.size() - 2);
    for (char c : text)
        if (c == '"' || c == '\\') throw Unreadable{};
    return text;
}

// The defaults read as the interpreter reads them.
static_assert(decimal("1e-3") == 1e-3 && decimal("0.1") == 0.1 && decimal("-2.5e2") == -250.0 && decimal("7") == 7.0);
static_assert(integer("100000000") == 100000000 && integer("-3") == -3);
static_assert(quoted("\"f64\"") == "f64" && quoted("\"\"").empty());

}  // namespace literal

// A float, an int, or anything with __float__ or __index__, as float() reads it. Those methods run Python
// code, as do those the other conversions call: see exit_safe.
inline Result<double> convert_float(PyObject* object) {
    const double v = exit_safe([object] { return PyFloat_AsDouble(object); });
    if (v == -1.0 && PyErr_Occurred()) return CallError::fetch();
    return v;
}
Result<std::int32_t> convert_int32(PyObject* object);
Result<std::uint32_t> convert_uint32(PyObject* object);
Result<std::uint64_t> convert_size(PyObject* object);
Result<std::optional<double>> convert_optional_float(PyObject* object);
Result<std::vector<double>> convert_float_sequence(PyObject* object);
// A str argument is a str or an instance of a subclass; anything else gets the conversion error.
bool is_str(PyObject* object);
CallError not_a_str(PyObject* object);
// The UTF-8 copy of a str (UnicodeEncodeError for lone surrogates).
Result<Text> copy_text(PyObject* object);

template <>
struct Native<double> {
    using Value = double;
    static Result<double> convert(PyObject* object) { return convert_float(object); }
    static constexpr double parse(std::string_view text) { return literal::decimal(text); }
};

template <>
struct Native<std::optional<double>> {
    using Value = std::optional<double>;
    static Result<Value> convert(PyObject* object) { return convert_optional_float(object); }
    static constexpr Value parse(std::string_view text) {
        if (text == "None") return std::nullopt;
        return literal::decimal(text);
    }
};

// Integers: int32 (exponents), uint32 (counts that bound a result's length), uint64 (sizes).
template <class Integer, Result<Integer> (*Convert)(PyObject*)>
struct IntegerNative {
    using Value = Integer;
    static Result<Value> convert(PyObject* object) { return Convert(object); }
    static constexpr Value parse(std::string_view text) {
        const long long v = literal::integer(text);
        if (!std::in_range<Value>(v)) throw literal::Unreadable{};
        return static_cast<Value>(v);
    }
};

template <>
struct Native<std::int32_t> : IntegerNative<std::int32_t, convert_int32> {};
template <>
struct Native<std::uint32_t> : IntegerNative<std::uint32_t, convert_uint32> {};
template <>
struct Native<std::uint64_t> : IntegerNative<std::uint64_t, convert_size> {};

// Sequences of floats have no default.
template <>
struct Native<std::vector<double>> {
    using Value = std::vector<double>;
    static Result<Value> convert(PyObject* object) { return convert_float_sequence(object); }
};

template <const auto& Words>
struct Native<Word<Words>> {
    using Value = Text;
    static constexpr std::size_t count = std::tuple_size_v<std::decay_t<decltype(Words)>>;

    static Result<Text> convert(PyObject* object) {
        static InternedTexts<count> cache;
        // An interned name is a str: the type test is left for the others.
        if (const std::size_t i = find_interned(object, Words, cache); i < count) return Text(Words[i]);
        if (!is_str(object)) return not_a_str(object);
        for (std::size_t i = 0; i < count; ++i)
            if (PyUnicode_CompareWithASCIIString(object, Words[i].data()) == 0) return Text(Words[i]);
        return copy_text(object);
    }
    static constexpr std::string_view parse(std::string_view text) { return literal::quoted(text); }
};

// ---------------------------------------------------------------------------------------------------
// Results: native values to new references. Making a tuple or a list can collect garbage, which runs Python
// code (finalizers): see exit_safe.

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

template <class T>
PyObject* to_python(const std::optional<T>& v) {
    return v ? to_python(*v) : to_python(std::nullopt);
}

// The items are made first, then packed in one call (which takes references of its own).
template <class... T>
PyObject* to_python(const std::tuple<T...>& v) {
    return std::apply(
        [](const auto&... item) {
            const std::array<Owned, sizeof...(T)> items{Owned(to_python(item))...};
            return std::apply(
                [](const auto&... o) {
                    return checked(exit_safe([&] { return PyTuple_Pack(sizeof...(T), o.get()...); }));
                },
                items);
        },
        v);
}

template <class T>
PyObject* to_python(const std::vector<T>& v) {
    Owned list(checked(exit_safe([&v] { return PyList_New(static_cast<Py_ssize_t>(v.size())); })));
    for (std::size_t i = 0; i < v.size(); ++i) PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(v[i]));
    return list.release();
}

}  // namespace py
