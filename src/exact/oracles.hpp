// Correctly rounded square roots and quotients with their midpoint reports, decided by exact residuals.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "float/format.hpp"
#include "float/ordered.hpp"
#include "float/significand.hpp"
#include "midpoint_report.hpp"
#include "residual.hpp"

namespace exact {

// Which inexact reports a caller wants measured: all of them, or only those whose distance_ulp may lie below
// a tolerance. Every distance starts from a ratio n / d of two exact integers converted to binary64 (n >= 1,
// d >= 1). A quotient's distance is n / d rounded once. A root's is 2q / (root / M + 1) with q = n / d: the
// root is normal and lies within half a gap of the midpoint M, so root / M is within 2^-23 of 1 and, with
// the formula's few roundings, the distance is at least (n / d) (1 - 2^-22). The bound admits a ratio
// unless n >= t d, with t a little above the tolerance, so the distance of a refused ratio is never below
// the tolerance. Exact reports and the absence of a report are never affected.
class DistanceBound {
public:
    // Admits every ratio: an infinite threshold times d >= 1 exceeds every finite n.
    static constexpr DistanceBound none() { return DistanceBound(std::numeric_limits<double>::infinity()); }

    // Admits the ratios whose distance may be below tol. Distances are positive, so a tolerance that is not
    // (zero, negative or NaN) admits none. A margin of 2^-16, far above the 2^-22 of the distance formulas,
    // also covers the rounding of t d; tiny tolerances are raised to 2^-900 so that t d stays normal.
    static constexpr DistanceBound below(double tol) {
        if (!(tol > 0)) return DistanceBound(0.0);
        return DistanceBound((tol > 0x1p-900 ? tol : 0x1p-900) * (1 + 0x1p-16));
    }

    constexpr bool admits(double n, double d) const { return n < threshold_ * d; }

private:
    constexpr explicit DistanceBound(double threshold) : threshold_(threshold) {}
    double threshold_;
};

namespace detail {

// With a correctly rounding platform the first guess is decided at once; the limit only matters for a
// platform that is off by a few units, and for ties, where the search alternates and gives up.
inline constexpr int max_candidates = 8;

// The midpoint between a candidate and its neighbour on the side of the exact result, m * 2^e,
// and the gap to that neighbour, 2^gap_e. m is below 2^(precision + 1).
struct Midpoint {
    std::uint64_t m;
    std::int32_t e;
    std::int32_t gap_e;
};

// The lowest value of a binade has a lower neighbour half as far away as the upper one, except the
// smallest normal, whose lower neighbour (the largest subnormal) is as far as its upper one.
template <class F>
constexpr Midpoint midpoint_toward(fp::Significand<F> c, int residual_sign) {
    using Fmt = fp::Format<F>;
    constexpr std::int32_t lowest_halving_exponent = Fmt::min_quantum_exponent + 1;
    if (residual_sign < 0) return {2 * std::uint64_t{c.m} + 1, c.e - 1, c.e};
    if (c.m == Fmt::hidden_bit && c.e >= lowest_halving_exponent)
        return {(std::uint64_t{1} << (Fmt::precision + 1)) - 1, c.e - 2, c.e - 1};
    return {2 * std::uint64_t{c.m} - 1, c.e - 1, c.e};
}

// Round to nearest; values below 2^63 take the single-instruction signed conversion, which rounds the same.
inline double to_double(u128 v) {
    return (v >> 63) == 0 ? static_cast<double>(static_cast<std::int64_t>(v)) : static_cast<double>(v);
}

// n / d in binary64: both operands are exact integers converted with one rounding each; the quotient is
// taken only when a report needs it.
struct Ratio {
    double n;
    double d;
    double value() const { return n / d; }
};

// n / (d * 2^k) with the left shift on whichever operand needs it, so nothing is lost, for d < 2^d_bits.
// An amount that provably keeps d * 2^k below 2^63 (the usual case) or within 128 bits is applied without a
// check; any other amount goes through shift_exact, with its failures.
template <int d_bits>
inline Ratio scaled_ratio(u128 n, std::uint64_t d, std::int64_t k) {
    static_assert(d_bits <= 63);
    if (k >= 0 && k <= 63 - d_bits) return {to_double(n), static_cast<double>(static_cast<std::int64_t>(d << k))};
    if (k >= 0 && k <= 128 - d_bits) return {to_double(n), to_double(u128{d} << k)};
    if (k >= 0) return {to_double(n), to_double(shift_exact(d, clamp_amount(k)))};
    return {to_double(shift_exact(n, clamp_amount(-k))), to_double(d)};
}

// 2^e exactly, for e in the binary64 normal range.
constexpr double pow2(std::int32_t e) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + fp::Format<double>::bias)
                                 << fp::Format<double>::fraction_bits);
}

// The search shared by both oracles: take a guess, compare it exactly with the true result, and step toward
// the true result until it lies strictly between the candidate and the midpoint on its side.
// residual_at(m, e) is the exact residual of m * 2^e; ratio(midpoint, residual) gives the exact operands of
// the accepted candidate's distance and distance(midpoint, ratio) the distance itself, measured only when
// the bound admits the ratio.
template <class F, bool stop_on_infinite, class ResidualAt, class RatioAt, class Distance>
inline std::optional<MidpointReport> bracket(F guess, DistanceBound bound, ResidualAt residual_at, RatioAt ratio,
                                             Distance distance) {
    F c = guess;
    for (int examined = 1;; ++examined) {
        const fp::Significand<F> sc = fp::decompose(c);
        const Residual at_c = residual_at(sc.m, sc.e);
        if (at_c.sign == 0) return exact_report(static_cast<double>(c));
        const Midpoint mid = midpoint_toward<F>(sc, at_c.sign);
        const Residual at_mid = residual_at(mid.m, mid.e);
        // A tie (at_mid.sign == 0) is never accepted: the search steps past it and runs out of candidates.
        if (at_mid.sign == -at_c.sign) {
            const Ratio r = ratio(mid, at_mid);
            if (!bound.admits(r.n, r.d)) return std::nullopt;
            return MidpointReport{static_cast<double>(c), distance(mid, r), at_c.sign < 0, false};
        }
        c = at_c.sign < 0 ? fp::next_up(c) : fp::next_down(c);
        if constexpr (stop_on_infinite) {
            if (!fp::is_finite(c)) return std::nullopt;
        }
        if (examined == max_candidates) return std::nullopt;
    }
}

// The searches behind the oracles, seeded with any guess; the oracles seed them with the platform's
// operation. x (and y) must be positive, finite and non-zero, the guess finite and non-negative.
// Significands of x, y and the candidates are below 2^p, those of midpoints below 2^(p + 1).
template <class F>
inline std::optional<MidpointReport> sqrt_search(F x, F guess, DistanceBound bound = DistanceBound::none()) {
    constexpr int p = fp::Format<F>::precision;
    const fp::Significand<F> sx = fp::decompose(x);
    return bracket<F, false>(
        guess, bound,
        [&](std::uint64_t m, std::int32_t e) { return residual_sq_bounded<p, p + 1>(sx.m, sx.e, m, e); },
        [](Midpoint mid, Residual r) {
            // |x - M^2| / (2 M gap)
            return scaled_ratio<p + 1>(r.magnitude, mid.m, std::int64_t{mid.gap_e} + mid.e - r.exponent + 1);
        },
        [&](Midpoint mid, Ratio r) {
            // |sqrt(x) - M| / gap = |x - M^2| / (2 M gap) * 2M / (sqrt(x) + M).
            const double q = r.value();
            const double midpoint = to_double(mid.m) * pow2(mid.e);
            // Only this last factor uses an approximate root; for binary32 it is the binary64 root.
            double root;
            if constexpr (fp::Format<F>::dtype == fp::Dtype::F64)
                root = guess;
            else
                root = std::sqrt(static_cast<double>(x));
            return (q + q) / (root / midpoint + 1.0);
        });
}

template <class F>
inline std::optional<MidpointReport> div_search(F x, F y, F guess, DistanceBound bound = DistanceBound::none()) {
    constexpr int p = fp::Format<F>::precision;
    const fp::Significand<F> sx = fp::decompose(x);
    const fp::Significand<F> sy = fp::decompose(y);
    return bracket<F, true>(
        guess, bound,
        [&](std::uint64_t m, std::int32_t e) {
            return residual_mul_bounded<p, p + 1, p>(sx.m, sx.e, m, e, sy.m, sy.e);
        },
        [&](Midpoint mid, Residual r) {
            // |M y - x| / (y gap) = |x / y - M| / gap.
            return scaled_ratio<p>(r.magnitude, sy.m, std::int64_t{mid.gap_e} + sy.e - r.exponent);
        },
        [](Midpoint, Ratio r) { return r.value(); });
}

}  // namespace detail

// Report for sqrt(x) in F. +-0 give an exact report keeping the sign of zero; subnormals are ordinary inputs;
// negative non-zero values, both infinities and NaN give no report. Never fails. With a bound, an inexact
// report whose distance certainly is not below it is dropped before the distance is computed.
template <class F>
inline std::optional<MidpointReport> sqrt_midpoint(F x, DistanceBound bound = DistanceBound::none()) {
    using Fmt = fp::Format<F>;
    const auto b = fp::to_bits(x);
    if ((b & Fmt::magnitude_mask) == 0) return exact_report(static_cast<double>(std::sqrt(x)));
    if (b >= Fmt::inf_bits) return std::nullopt;  // +inf, NaN, and everything with the sign bit set
    return detail::sqrt_search(x, std::sqrt(x), bound);
}

namespace detail {

// Whether x / y, for positive finite non-zero x and y, lies below 2^-60 of the smallest subnormal. Such a
// quotient rounds to +0 with the exact result above it, at a distance 0.5 - eps from the midpoint with
// eps < 2^-60, which every binary64 evaluation of the distance (n and d rounded once each, then divided)
// rounds to 0.5. The residuals of the search could not hold the operands aligned there.
// x = mx 2^ex with mx < 2^bw(mx), y >= 2^(bw(my) - 1 + ey), so x / y < 2^(bw(mx) + ex - bw(my) + 1 - ey).
template <class F>
constexpr bool quotient_far_below_subnormals(F x, F y) {
    const fp::Significand<F> sx = fp::decompose(x);
    const fp::Significand<F> sy = fp::decompose(y);
    const std::int64_t above = std::int64_t{static_cast<int>(std::bit_width(sx.m))} + sx.e -
                               static_cast<int>(std::bit_width(sy.m)) + 1 - sy.e;
    return above <= fp::Format<F>::min_quantum_exponent - 60;
}

}  // namespace detail

// Report for x / y in F, for positive finite non-zero operands (subnormals included); zeros, negatives,
// infinities, NaN, an overflowing quotient and a quotient on a midpoint (only among subnormals) give none.
// A quotient far below the smallest subnormal gives (0.0, 0.5, true, false) without a search, as the
// search itself does for the quotients just above it. A bound acts as for sqrt_midpoint. Never fails.
template <class F>
inline std::optional<MidpointReport> div_midpoint(F x, F y, DistanceBound bound = DistanceBound::none()) {
    using Fmt = fp::Format<F>;
    const auto bx = fp::to_bits(x);
    const auto by = fp::to_bits(y);
    // A set sign bit makes the pattern larger than +inf, so one comparison rejects negatives too.
    if (bx == 0 || by == 0 || bx >= Fmt::inf_bits || by >= Fmt::inf_bits) return std::nullopt;
    if (detail::quotient_far_below_subnormals(x, y)) {
        // The distance's exact operands are about (d / 2, d): admitted exactly when a ratio of 1/2 is.
        if (!bound.admits(1.0, 2.0)) return std::nullopt;
        return MidpointReport{0.0, 0.5, true, false};
    }
    const F guess = x / y;
    if (!fp::is_finite(guess)) return std::nullopt;
    return detail::div_search(x, y, guess, bound);
}

}  // namespace exact
