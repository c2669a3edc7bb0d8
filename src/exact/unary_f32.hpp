// Midpoint reports for every operation on binary32 inputs: exact for sqrt, recip and div, binary64 otherwise.
#pragma once

#include <cmath>
#include <optional>

#include "catalogue.hpp"
#include "float/format.hpp"
#include "float/ordered.hpp"
#include "midpoint_report.hpp"
#include "oracles.hpp"

namespace exact {

namespace detail {

// Where a binary64 stand-in e for the exact result lies against the binary32 midpoints. NaN and infinite e,
// and an e whose binary32 rounding overflows, give no report; an e equal to its rounding (signed zeros
// included) gives an exact report; zeros and subnormals are measured with the smallest subnormal as gap. An e
// on a midpoint (a tie, which pow and hypot can reach exactly) is reported at distance 0, on the side of the
// even neighbour it rounds to.
inline std::optional<MidpointReport> report_against_f32(double e) {
    if (!fp::is_finite(e)) return std::nullopt;
    const float r = fp::narrow(e);
    if (!fp::is_finite(r)) return std::nullopt;
    const double rd = fp::widen(r);
    if (e == rd) return exact_report(rd);
    const bool above = e > rd;
    const float neighbour = above ? fp::next_up(r) : fp::next_down(r);
    double gap;
    if (fp::is_finite(neighbour)) {
        gap = above ? fp::widen(neighbour) - rd : rd - fp::widen(neighbour);
    } else {
        // Past the largest finite value the spacing just below it is taken to continue.
        const float magnitude = std::fabs(r);
        const float below = fp::from_bits<float>(fp::to_bits(magnitude) - 1);
        gap = fp::widen(magnitude) - fp::widen(below);
    }
    const double t = above ? 0.5 : -0.5;
    // The build disables contraction, so this is a rounded product followed by a rounded sum, never a fma.
    const double midpoint = t * gap + rd;
    return MidpointReport{rd, std::fabs(e - midpoint) / gap, above, false};
}

}  // namespace detail

// Report for op(x) rounded to binary32, op fixed at compile time so a scan loop carries no dispatch.
// Sqrt: as sqrt_midpoint<float>. Recip: no report for +-0, infinities and NaN; otherwise the report of 1/|x|
// with the sign of x put on rounded (exact_above then compares magnitudes). Others: see report_against_f32.
// The bound lets the exact oracles (sqrt, recip) drop inexact reports as sqrt_midpoint does; the
// library-based operations measure every report anyway and ignore it.
template <UnaryOp op>
inline std::optional<MidpointReport> unary_midpoint_f32(float x, DistanceBound bound = DistanceBound::none()) {
    if constexpr (op == UnaryOp::Sqrt) {
        return sqrt_midpoint<float>(x, bound);
    } else if constexpr (op == UnaryOp::Recip) {
        if ((fp::to_bits(x) & fp::Format<float>::magnitude_mask) == 0) return std::nullopt;
        const std::optional<MidpointReport> r = div_midpoint<float>(1.0f, std::fabs(x), bound);
        if (!r) return std::nullopt;
        // A new record rather than the returned one patched: patching it in place made the compiler copy the
        // optional through memory in a way that stalled every call of a scan loop.
        return MidpointReport{std::copysign(r->rounded, static_cast<double>(x)), r->distance_ulp, r->exact_above,
                              r->exact};
    } else {
        return detail::report_against_f32(evaluate_f64<op>(fp::widen(x)));
    }
}

// The same with the operation chosen at run time, for single queries; a loop should hoist the choice with
// with_unary_op and call the template inside.
std::optional<MidpointReport> unary_midpoint_f32(UnaryOp op, float x);

// Report for op(x, y) rounded to binary32. Div: as div_midpoint<float>, with the bound. Others: see
// report_against_f32, ignoring the bound.
template <BinaryOp op>
inline std::optional<MidpointReport> binary_midpoint_f32(float x, float y,
                                                         DistanceBound bound = DistanceBound::none()) {
    if constexpr (op == BinaryOp::Div) {
        return div_midpoint<float>(x, y, bound);
    } else {
        return detail::report_against_f32(evaluate_f64<op>(fp::widen(x), fp::widen(y)));
    }
}

std::optional<MidpointReport> binary_midpoint_f32(BinaryOp op, float x, float y);

}  // namespace exact
