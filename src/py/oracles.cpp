// The rounding oracles from Python: `midpoint` for one operation on one input (and `_midpoint`, the same
// for every operation of the catalogue), and `sqrt_cr`.
#include <cmath>
#include <optional>
#include <string>
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

// An operation as the midpoint functions take it: its index in the catalogue, the name the caller gave
// (for messages), and whether a y beside a unary operation is refused (the private entry point) or
// ignored (`midpoint`, as it always has).
struct Named {
    std::size_t index;
    std::string_view name;
    bool strict_y;
};

Result<Named> find_named(std::string_view op, exact::Scope scope) {
    auto found = find_op(op, scope);
    if (!found.ok()) return std::move(found.error());
    return Named{found.value(), op, scope == exact::Scope::Private};
}

CallError needs_y(const Named& op) { return CallError::value_error("op='" + std::string(op.name) + "' needs y"); }

CallError no_f64_oracle(const Named& op) {
    return CallError::value_error(quoted(op.name) +
                                  " has no exact f64 oracle yet, only sqrt, recip and div do; use dtype='f32'");
}

// The y of a binary operation, or the error for its absence; for a unary one, nothing (the error for a
// y given where it is refused).
Result<std::optional<double>> second_argument(const Named& op, std::optional<double> y) {
    if (exact::binary_op_at(op.index)) {
        if (!y) return needs_y(op);
        return y;
    }
    if (y && op.strict_y) return CallError::value_error("op='" + std::string(op.name) + "' takes no y");
    return std::optional<double>{};
}

// The binary32 oracles, fixed at compile time by the format.
Result<ReportTuple> midpoint_in(std::type_identity<float>, const Named& op, double x, std::optional<double> y) {
    auto second = second_argument(op, y);
    if (!second.ok()) return std::move(second.error());
    if (const auto binary = exact::binary_op_at(op.index))
        return as_tuple(exact::binary_midpoint_f32(*binary, fp::narrow(x), fp::narrow(*second.value())));
    return as_tuple(exact::unary_midpoint_f32(*exact::unary_op_at(op.index), fp::narrow(x)));
}

// The binary64 oracles: square root, reciprocal and division only.
Result<ReportTuple> midpoint_in(std::type_identity<double>, const Named& op, double x, std::optional<double> y) {
    if (const auto binary = exact::binary_op_at(op.index)) {
        if (*binary != exact::BinaryOp::Div) return no_f64_oracle(op);
        if (!y) return needs_y(op);
        return as_tuple(exact::div_midpoint<double>(x, *y));
    }
    auto second = second_argument(op, y);
    if (!second.ok()) return std::move(second.error());
    switch (*exact::unary_op_at(op.index)) {
        case exact::UnaryOp::Sqrt:
            return as_tuple(exact::sqrt_midpoint<double>(x));
        case exact::UnaryOp::Recip:
            if (!(x > 0.0)) return CallError::value_error("recip for f64 takes a positive x");
            return as_tuple(exact::div_midpoint<double>(1.0, x));
        default:
            return no_f64_oracle(op);
    }
}

// `midpoint` and `_midpoint`: the format first, then the operation among those of the scope.
Result<ReportTuple> midpoint_logic(exact::Scope scope, std::string_view op, double x, std::string_view dtype,
                                   std::optional<double> y) {
    return with_format(dtype, [&](auto format) -> Result<ReportTuple> {
        auto named = find_named(op, scope);
        if (!named.ok()) return std::move(named.error());
        return midpoint_in(format, named.value(), x, y);
    });
}

constexpr Function midpoint_declaration{
    "midpoint",
    Params{Arg<Op>{"op"}, Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::optional<double>>{"y", "None"}},
    "Where the exact result of `op(x)` (or `x / y` for op=\"div\") sits relative to the rounding\n"
    "midpoint: (rounded, distance_ulp, exact_above, exact). None when the result is not finite."};

constexpr Function private_midpoint_declaration{
    "_midpoint",
    Params{Arg<Op>{"op"}, Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::optional<double>>{"y", "None"}},
    "Private: `midpoint` for every operation of the catalogue, those only the package names included;\n"
    "y is the second argument of an operation of two (and refused beside a unary one)."};

constexpr Function sqrt_cr_declaration{"sqrt_cr", Params{Arg<double>{"x"}, Arg<Dtype>{"dtype", "\"f64\""}},
                                       "Correctly rounded square root of the dtype, independent of the platform sqrt."};

}  // namespace

const Registration midpoint_binding =
    registered<midpoint_declaration>([](Text op, double x, Text dtype, std::optional<double> y) {
        return midpoint_logic(exact::Scope::Public, op, x, dtype, y);
    });

const Registration private_midpoint_binding =
    registered<private_midpoint_declaration>([](Text op, double x, Text dtype, std::optional<double> y) {
        return midpoint_logic(exact::Scope::Private, op, x, dtype, y);
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
