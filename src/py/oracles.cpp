// The rounding oracles from Python: `midpoint` for one operation on one input, and `sqrt_cr`.
#include <cmath>
#include <optional>
#include <tuple>

#include "dtype.hpp"
#include "exact/oracles.hpp"
#include "exact/unary_f32.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "parse_op.hpp"
#include "quoted.hpp"

namespace py {

namespace {

constexpr FunctionDescription midpoint_description{"midpoint", {"op", "x", "dtype", "y"}, 4, 2};
constexpr FunctionDescription sqrt_cr_description{"sqrt_cr", {"x", "dtype"}, 2, 1};

// (rounded, distance_ulp, exact_above, exact), or None.
using ReportTuple = std::optional<std::tuple<double, double, bool, bool>>;

ReportTuple as_tuple(const std::optional<exact::MidpointReport>& report) {
    if (!report) return std::nullopt;
    return std::make_tuple(report->rounded, report->distance_ulp, report->exact_above, report->exact);
}

Result<ReportTuple> midpoint_logic(std::string op, double x, std::string dtype, std::optional<double> y) {
    auto f32 = is_f32(dtype);
    if (!f32.ok()) return std::move(f32.error());
    if (op == "div") {
        if (!y) return CallError::value_error("op='div' needs y");
        if (f32.value()) return as_tuple(exact::div_midpoint<float>(fp::narrow(x), fp::narrow(*y)));
        return as_tuple(exact::div_midpoint<double>(x, *y));
    }
    auto parsed = parse_op(op);
    if (!parsed.ok()) return std::move(parsed.error());
    if (f32.value()) return as_tuple(exact::unary_midpoint_f32(parsed.value(), fp::narrow(x)));
    switch (parsed.value()) {
        case exact::UnaryOp::Sqrt:
            return as_tuple(exact::sqrt_midpoint<double>(x));
        case exact::UnaryOp::Recip:
            if (!(x > 0.0)) return CallError::value_error("recip for f64 takes a positive x");
            return as_tuple(exact::div_midpoint<double>(1.0, x));
        default:
            return CallError::value_error(quoted(op) +
                                          " has no exact f64 oracle yet, only sqrt, recip and div do; use dtype='f32'");
    }
}

}  // namespace

PyObject* midpoint(PyObject*, PyObject* args, PyObject* kwargs) {
    return invoke(midpoint_description, args, kwargs, midpoint_logic, StringParam{}, FloatParam{},
                  StringParam{"f32"}, OptionalFloatParam{std::optional<double>()});
}

PyObject* sqrt_cr(PyObject*, PyObject* args, PyObject* kwargs) {
    return invoke(
        sqrt_cr_description, args, kwargs,
        [](double x, std::string dtype) {
            return on_format(dtype, [&](auto zero) -> double {
                using F = decltype(zero);
                const F v = static_cast<F>(x);
                // Outside the oracle's domain (negative, NaN, +inf) the platform's answer is the right one.
                const auto report = exact::sqrt_midpoint<F>(v);
                return report ? report->rounded : static_cast<double>(std::sqrt(v));
            });
        },
        FloatParam{}, StringParam{"f64"});
}

}  // namespace py
