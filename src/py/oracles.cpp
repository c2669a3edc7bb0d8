// The rounding oracles from Python: `midpoint` for one operation on one input, and `sqrt_cr`.
#include <cmath>
#include <optional>
#include <tuple>

#include "dtype.hpp"
#include "exact/oracles.hpp"
#include "exact/unary_f32.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "parse_op.hpp"
#include "quoted.hpp"

namespace py {

namespace {

// (rounded, distance_ulp, exact_above, exact), or None.
using ReportTuple = std::optional<std::tuple<double, double, bool, bool>>;

ReportTuple as_tuple(const std::optional<exact::MidpointReport>& report) {
    if (!report) return std::nullopt;
    return std::make_tuple(report->rounded, report->distance_ulp, report->exact_above, report->exact);
}

// The binary32 oracles, fixed at compile time by the format.
Result<ReportTuple> midpoint_in(std::type_identity<float>, std::string_view op, double x, std::optional<double> y) {
    if (op == "div") {
        if (!y) return CallError::value_error("op='div' needs y");
        return as_tuple(exact::div_midpoint<float>(fp::narrow(x), fp::narrow(*y)));
    }
    auto parsed = parse_op(op);
    if (!parsed.ok()) return std::move(parsed.error());
    return as_tuple(exact::unary_midpoint_f32(parsed.value(), fp::narrow(x)));
}

// The binary64 oracles: square root, reciprocal and division only.
Result<ReportTuple> midpoint_in(std::type_identity<double>, std::string_view op, double x, std::optional<double> y) {
    if (op == "div") {
        if (!y) return CallError::value_error("op='div' needs y");
        return as_tuple(exact::div_midpoint<double>(x, *y));
    }
    auto parsed = parse_op(op);
    if (!parsed.ok()) return std::move(parsed.error());
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

constexpr Function midpoint_declaration{
    "midpoint",
    Params{Arg<Op>{"op"}, Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::optional<double>>{"y", "None"}},
    "Where the exact result of `op(x)` (or `x / y` for op=\"div\") sits relative to the rounding\n"
    "midpoint: (rounded, distance_ulp, exact_above, exact). None when the result is not finite."};

constexpr Function sqrt_cr_declaration{"sqrt_cr", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}},
                                       "Correctly rounded square root of the dtype, independent of the platform sqrt."};

}  // namespace

const Registration midpoint_binding =
    registered<midpoint_declaration>([](Text op, double x, Text dtype, std::optional<double> y) {
        return with_format(dtype, [&](auto format) { return midpoint_in(format, op, x, y); });
    });

const Registration sqrt_cr_binding = registered<sqrt_cr_declaration>([](double x, Text dtype) {
    return with_format(dtype, [&](auto format) -> double {
        using F = typename decltype(format)::type;
        const F v = static_cast<F>(x);
        // Outside the oracle's domain (negative, NaN, +inf) the platform's answer is the right one.
        const auto report = exact::sqrt_midpoint<F>(v);
        return report ? report->rounded : static_cast<double>(std::sqrt(v));
    });
});

}  // namespace py
