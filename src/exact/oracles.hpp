// Correctly rounded square roots and quotients with their midpoint reports, decided by exact residuals.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>

#include "float/format.hpp"
#include "float/ordered.hpp"
#include "float/significand.hpp"
#include "midpoint_report.hpp"
#include "residual.hpp"

namespace exact {

namespace detail {

// With a correctly rounding platform the first guess is decided at once; the limit only matters for a
// platform that is off by a few units, and for ties, where the search alternates and gives up.
inline constexpr int max_candidates = 8;

// The midpoint between a candidate and its neighbour on the side of the exact result, m * 2^e,
// and the gap to that neighbour, 2^gap_e.
struct Midpoint {
    u128 m;
    std::int32_t e;
    std::int32_t gap_e;
};

// The lowest value of a binade has a lower neighbour half as far away as the upper one, except the
// smallest normal, whose lower neighbour (the largest subnormal) is as far as its upper one.
template <class F>
constexpr Midpoint midpoint_toward(fp::Significand<F> c, int residual_sign) {
    using Fmt = fp::Format<F>;
    constexpr std::int32_t lowest_halving_exponent = Fmt::min_quantum_exponent + 1;
    if (residual_sign < 0) return {2 * u128{c.m} + 1, c.e - 1, c.e};
    if (c.m == Fmt::hidden_bit && c.e >= lowest_halving_exponent)
        return {(u128{1} << (Fmt::precision + 1)) - 1, c.e - 2, c.e - 1};
    return {2 * u128{c.m} - 1, c.e - 1, c.e};
}

// Round to nearest; values that fit in 64 bits take the single-instruction conversion.
inline double to_double(u128 v) {
    return (v >> 64) == 0 ? static_cast<double>(static_cast<std::uint64_t>(v)) : static_cast<double>(v);
}

// n / (d * 2^k) as a binary64 quotient, scaling whichever operand needs a left shift so nothing is lost.
inline double scaled_ratio(u128 n, u128 d, std::int64_t k) {
    if (k >= 0) return to_double(n) / to_double(shift_exact(d, clamp_amount(k)));
    return to_double(shift_exact(n, clamp_amount(-k))) / to_double(d);
}

// 2^e exactly, for e in the binary64 normal range.
constexpr double pow2(std::int32_t e) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(e + fp::Format<double>::bias)
                                 << fp::Format<double>::fraction_bits);
}

// The search shared by both oracles: take a guess, compare it exactly with the true result, and step toward
// the true result until it lies strictly between the candidate and the midpoint on its side.
// residual_at(m, e) is the exact residual of m * 2^e; distance(midpoint, residual) measures the accepted one.
template <class F, bool stop_on_infinite, class ResidualAt, class Distance>
inline std::optional<MidpointReport> bracket(F guess, ResidualAt residual_at, Distance distance) {
    F c = guess;
    for (int examined = 1;; ++examined) {
        const fp::Significand<F> sc = fp::decompose(c);
        const Residual at_c = residual_at(sc.m, sc.e);
        if (at_c.sign == 0) return exact_report(static_cast<double>(c));
        const Midpoint mid = midpoint_toward<F>(sc, at_c.sign);
        const Residual at_mid = residual_at(mid.m, mid.e);
        // A tie (at_mid.sign == 0) is never accepted: the search steps past it and runs out of candidates.
        if (at_mid.sign == -at_c.sign)
            return MidpointReport{static_cast<double>(c), distance(mid, at_mid), at_c.sign < 0, false};
        c = at_c.sign < 0 ? fp::next_up(c) : fp::next_down(c);
        if constexpr (stop_on_infinite) {
            if (!fp::is_finite(c)) return std::nullopt;
        }
        if (examined == max_candidates) return std::nullopt;
    }
}

// The searches behind the oracles, seeded with any guess; the oracles seed them with the platform's
// operation. x (and y) must be positive, finite and non-zero, the guess finite and non-negative.
template <class F>
inline std::optional<MidpointReport> sqrt_search(F x, F guess) {
    const fp::Significand<F> sx = fp::decompose(x);
    return bracket<F, false>(
        guess, [&](u128 m, std::int32_t e) { return residual_sq(sx.m, sx.e, m, e); },
        [&](const Midpoint& mid, const Residual& r) {
            // |x - M^2| / (2 M gap), then |sqrt(x) - M| / gap = that * 2M / (sqrt(x) + M).
            const double q = scaled_ratio(r.magnitude, mid.m, std::int64_t{mid.gap_e} + mid.e - r.exponent + 1);
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
inline std::optional<MidpointReport> div_search(F x, F y, F guess) {
    const fp::Significand<F> sx = fp::decompose(x);
    const fp::Significand<F> sy = fp::decompose(y);
    return bracket<F, true>(
        guess, [&](u128 m, std::int32_t e) { return residual_mul(sx.m, sx.e, m, e, sy.m, sy.e); },
        [&](const Midpoint& mid, const Residual& r) {
            // |M y - x| / (y gap) = |x / y - M| / gap.
            return scaled_ratio(r.magnitude, sy.m, std::int64_t{mid.gap_e} + sy.e - r.exponent);
        });
}

}  // namespace detail

// Report for sqrt(x) in F. +-0 give an exact report keeping the sign of zero; subnormals are ordinary inputs;
// negative non-zero values, both infinities and NaN give no report. Never fails.
template <class F>
inline std::optional<MidpointReport> sqrt_midpoint(F x) {
    using Fmt = fp::Format<F>;
    const auto b = fp::to_bits(x);
    if ((b & Fmt::magnitude_mask) == 0) return exact_report(static_cast<double>(std::sqrt(x)));
    if (b >= Fmt::inf_bits) return std::nullopt;  // +inf, NaN, and everything with the sign bit set
    return detail::sqrt_search(x, std::sqrt(x));
}

// Report for x / y in F, for positive finite non-zero operands (subnormals included); zeros, negatives,
// infinities, NaN, an overflowing quotient and a quotient on a midpoint (only among subnormals) give none.
// Fails with "exact residual overflowed u128" for binary64 quotients far below the smallest subnormal.
template <class F>
inline std::optional<MidpointReport> div_midpoint(F x, F y) {
    using Fmt = fp::Format<F>;
    const auto bx = fp::to_bits(x);
    const auto by = fp::to_bits(y);
    // A set sign bit makes the pattern larger than +inf, so one comparison rejects negatives too.
    if (bx == 0 || by == 0 || bx >= Fmt::inf_bits || by >= Fmt::inf_bits) return std::nullopt;
    const F guess = x / y;
    if (!fp::is_finite(guess)) return std::nullopt;
    return detail::div_search(x, y, guess);
}

}  // namespace exact
