// The float model from Python: the ordered view, the steps up and down, and the spacing.
#include "dtype.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "functions.hpp"

namespace py {

namespace {

constexpr FunctionDescription ordered_description{"ordered", {"x", "dtype"}, 2, 1};
constexpr FunctionDescription next_up_description{"next_up", {"x", "dtype"}, 2, 1};
constexpr FunctionDescription next_down_description{"next_down", {"x", "dtype"}, 2, 1};
constexpr FunctionDescription spacing_description{"spacing", {"x", "dtype"}, 2, 1};

// Narrows x to the format, applies `op`, and widens a float result back to binary64.
template <class Op>
PyObject* on_float(const FunctionDescription& description, PyObject* args, PyObject* kwargs, Op op) {
    return invoke(
        description, args, kwargs,
        [&](double x, std::string dtype) {
            return on_format(dtype, [&](auto zero) {
                using F = decltype(zero);
                return op(static_cast<F>(x));
            });
        },
        FloatParam{}, StringParam{"f64"});
}

}  // namespace

PyObject* ordered(PyObject*, PyObject* args, PyObject* kwargs) {
    return on_float(ordered_description, args, kwargs,
                    [](auto v) { return static_cast<std::int64_t>(fp::to_ordered(v)); });
}

PyObject* next_up(PyObject*, PyObject* args, PyObject* kwargs) {
    return on_float(next_up_description, args, kwargs, [](auto v) { return static_cast<double>(fp::next_up(v)); });
}

PyObject* next_down(PyObject*, PyObject* args, PyObject* kwargs) {
    return on_float(next_down_description, args, kwargs,
                    [](auto v) { return static_cast<double>(fp::next_down(v)); });
}

PyObject* spacing(PyObject*, PyObject* args, PyObject* kwargs) {
    return on_float(spacing_description, args, kwargs, [](auto v) { return fp::spacing(v); });
}

}  // namespace py
