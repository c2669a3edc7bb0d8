// The float model from Python: the ordered view, the steps up and down, and the spacing.
#include "dtype.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "registry.hpp"

namespace py {

namespace {

// Narrows x to the format, applies `op`, and widens a float result back to binary64.
template <class Op>
auto on_float(double x, Text dtype, Op op) {
    return with_format(dtype, [&](auto format) {
        using F = typename decltype(format)::type;
        return op(static_cast<F>(x));
    });
}

constexpr Function ordered_declaration{
    "ordered", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}},
    "Monotone integer view of x (-0.0 and +0.0 both map to 0)."};

constexpr Function next_up_declaration{"next_up", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}}, ""};

constexpr Function next_down_declaration{"next_down", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}},
                                         ""};

constexpr Function spacing_declaration{"spacing", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}},
                                       "Spacing between |x| and the next larger float of the dtype."};

}  // namespace

const Registration ordered_binding = registered<ordered_declaration>([](double x, Text dtype) {
    return on_float(x, std::move(dtype), [](auto v) { return static_cast<std::int64_t>(fp::to_ordered(v)); });
});

const Registration next_up_binding = registered<next_up_declaration>([](double x, Text dtype) {
    return on_float(x, std::move(dtype), [](auto v) { return static_cast<double>(fp::next_up(v)); });
});

const Registration next_down_binding = registered<next_down_declaration>([](double x, Text dtype) {
    return on_float(x, std::move(dtype), [](auto v) { return static_cast<double>(fp::next_down(v)); });
});

const Registration spacing_binding = registered<spacing_declaration>([](double x, Text dtype) {
    return on_float(x, std::move(dtype), [](auto v) { return fp::spacing(v); });
});

}  // namespace py
