// Judging an implementation's binary32 answer y against the exact result of a unary operation at x:
// correctly rounded, misrounded (with its error in ulps and histogram bin), a special mismatch, or
// uncertain (left to a multiple-precision decision by the caller).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "audit_kernels.hpp"
#include "catalogue.hpp"
#include "float/format.hpp"
#include "float/ordered.hpp"

namespace exact {

// Bin of an error e > 0; bins are closed above, so e = 1 lies in (0.5, 1].
inline int error_bin(double e) {
    if (!(e > 0.5)) return 1;
    if (e > 0x1p20) return error_bin_count - 1;
    // e = 2^k (1 + f) with e normal: ceil(log2 e) is k, plus one unless e is a power of two.
    const auto b = std::bit_cast<std::uint64_t>(e);
    const int k = static_cast<int>(b >> 52) - 1023;
    const bool power_of_two = (b & ((std::uint64_t{1} << 52) - 1)) == 0;
    return 2 + k + (power_of_two ? 0 : 1);
}

// The bin of a value just above (or just below) e: e itself when it is not a bin boundary.
inline int error_bin_beside(double e, bool above) {
    return error_bin(std::nextafter(e, above ? HUGE_VAL : -HUGE_VAL));
}

// 2^k for k in the binary64 normal range.
inline double pow2_f64(int k) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(k + 1023) << 52);
}

// The spacing of the binary32 binade holding the magnitude a (finite, >= 0): 2^(max(floor(log2 a), -126) - 23),
// the smallest subnormal for zero and subnormal magnitudes. Magnitudes past the binary32 range keep the rule.
inline double ulp_f32(double a) {
    if (a < 0x1p-126) return 0x1p-149;
    const int e = static_cast<int>(std::bit_cast<std::uint64_t>(a) >> 52) - 1023;
    return pow2_f64(e - 23);
}

// 1 / ulp_f32(a) for a >= 0 (infinities and NaN give 2^-1001), exactly, without a division or a branch:
// 2^(23 - max(e, -126)) built from the biased exponent e + 1023 of a.
inline double inverse_ulp_f32(double a) {
    const std::uint64_t field = std::max<std::uint64_t>(std::bit_cast<std::uint64_t>(a) >> 52, 1023 - 126);
    return std::bit_cast<double>((2 * 1023 + 23 - field) << 52);
}

enum class Outcome : std::uint8_t { Skipped, Uncertain, CorrectlyRounded, Misrounded, Special };

// What the audit records of one input. error and bin are meaningful for CorrectlyRounded and
// Misrounded; expected (the correctly rounded value, NaN where the result is undefined) for every
// outcome but Skipped and Uncertain.
struct Judgement {
    Outcome outcome;
    int bin = 0;
    double error = 0.0;
    double expected = 0.0;
};

// The binary64 stand-in for op(x) and whether it is the exact result (the exact points, where the
// result is dyadic, and the results that are infinite or undefined there).
struct Truth {
    double value;
    bool exact;
};

namespace detail {

inline bool is_power_of_two(float x) {
    if (!(x > 0) || !fp::is_finite(x)) return false;
    const auto b = fp::to_bits(x);
    const auto fraction = b & fp::Format<float>::fraction_mask;
    if ((b & fp::Format<float>::exponent_mask) == 0) return (fraction & (fraction - 1)) == 0;
    return fraction == 0;
}

// log2 of a power of two x.
inline int log2_exact(float x) {
    int e;
    std::frexp(static_cast<double>(x), &e);
    return e - 1;
}

}  // namespace detail

// Whether op is one of the functions of pi times the argument: sinpi, cospi, tanpi.
constexpr bool pi_scaled(UnaryOp op) { return op == UnaryOp::Sinpi || op == UnaryOp::Cospi || op == UnaryOp::Tanpi; }

// C's other operations whose exact points truth_f32 finds by rule: the pi-scaled ones and the cube root.
constexpr bool exact_points_by_rule(UnaryOp op) { return pi_scaled(op) || op == UnaryOp::Cbrt; }

// The exact result of a pi-scaled op at a binary32 x where it is rational, None elsewhere. At a dyadic x
// (every float) sin and cos of pi x are rational only at the multiples of 1/2 and tan only at those of
// 1/4 (Niven's theorem), so everywhere else the result is never a float or a midpoint. sinpi(n) has the
// sign of n, cospi(n + 1/2) is +0, tanpi(n) is +0 for even n and -0 for odd n (odd in x, zeros included)
// and tanpi(n + 1/2) is a pole, +inf for even n and -inf for odd (odd in x): C's value, as the certified
// judgement gives it. The infinities give NaN, no result.
template <UnaryOp op>
    requires(pi_scaled(op))
inline std::optional<double> pi_point(float x) {
    if (!fp::is_finite(x)) return std::numeric_limits<double>::quiet_NaN();
    constexpr bool tangent = op == UnaryOp::Tanpi;
    constexpr double inf = std::numeric_limits<double>::infinity();
    // Each op at |x| = q / 2 (q / 4 for tanpi) modulo 2, for x >= 0; sinpi and tanpi are odd, cospi even.
    constexpr std::array<double, 4> sines{0.0, 1.0, 0.0, -1.0}, cosines{1.0, 0.0, -1.0, 0.0};
    constexpr std::array<double, 8> tangents{0.0, 1.0, inf, -1.0, -0.0, 1.0, -inf, -1.0};
    const double a = std::fabs(fp::widen(x));
    // |x| modulo 2, exactly: a / 2 is exact where it matters (a >= 2), the floor and its double are
    // integers, and the difference is a multiple of a's spacing below 2 (or 0).
    const double q = (a - 2.0 * std::floor(a * 0.5)) * (tangent ? 4.0 : 2.0);
    if (q != std::floor(q)) return std::nullopt;
    const auto k = static_cast<std::size_t>(q);
    if constexpr (op == UnaryOp::Cospi) {
        return cosines[k];
    } else {
        const double v = tangent ? tangents[k] : sines[k];
        return std::signbit(x) ? -v : v;
    }
}

// Operations whose binary64 stand-in costs a few operations in places. Near zero it is a short series:
// where the result is near its rounding (exp of tiny x is 1 or next to it) the errors of a whole binade lie
// within the margin of each other, and an audit measures nearly every input on its stand-in, which the
// series makes a fraction of the platform's function. Beyond the binary64 range it is the infinity or zero
// that the platform's function returns there too, without its overflow and underflow handling.
constexpr bool has_cheap_reference(UnaryOp op) { return op == UnaryOp::Exp; }

// Where op's stand-in is cheap, and what it is there: None elsewhere (and for NaN).
enum class CheapReference : std::uint8_t { None, Series, Infinity, Zero };

namespace detail {

// |x| < 2^-16, as a bound on the pattern of |x|.
inline constexpr std::uint32_t tiny_series_bits = 0x37800000;
static_assert(std::bit_cast<float>(tiny_series_bits) == 0x1p-16f);

// e^x for |x| < 2^-16 at a binary32 x (either zero gives 1). The series stops after x^4/24: what it leaves
// out is below 2^-80 / 120 / (1 - 2^-16) < 2^-86.9. 1 + x is held exactly as h + l (h = fl(1 + x),
// l = x - fl(h - 1), exact as |x| < 1), and m = fl(fl(x x) q) with q = fl(1/2 + fl(x fl(RN(1/6) +
// fl(x RN(1/24))))). With u = 2^-53: q lies within 1.0001 u of 1/2 + x/6 + x^2/24 relative to it, so m
// within 3.0002 u of x^2 (1/2 + x/6 + x^2/24) < 2^-33 (x x is normal in binary64): 2^-84.4; |l + m| < 2^-32.99,
// so fl(l + m) adds 2^-86; v = fl(h + fl(l + m)) is the rounding of a value within 2^-83.8 of e^x. So
// |v - e^x| < 2^-52.99, under 2^-28.9 binary32 ulps (2^-24 below 1), some 500 times below audit_margin,
// and v is e^x correctly rounded unless e^x lies within 2^-83.8 of a binary64 midpoint (over every binary32
// x below the bound it differs from the development machine's platform function at 207 inputs, by one
// binary64 ulp, each time where the series is the correctly rounded one). Plain operations, no fused
// multiply-add: the same double in every unit.
inline double exp_tiny(double x) {
    const double q = 0.5 + x * (1.0 / 6 + x * (1.0 / 24));
    const double h = 1.0 + x;
    const double l = x - (h - 1.0);
    return h + (l + (x * x) * q);
}

}  // namespace detail

// Exp: the series for |x| < 2^-16; +inf from x = 710 on, where e^x > e^709.79 exceeds 2^1024 - 2^970, the
// binary64 overflow threshold; +0 up to x = -746, where e^x < 2^-1076 is below half the smallest subnormal.
template <UnaryOp op>
inline CheapReference cheap_reference_of(float x) {
    if constexpr (!has_cheap_reference(op)) {
        (void)x;
        return CheapReference::None;
    } else {
        const std::uint32_t b = fp::to_bits(x), a = b & 0x7fffffffu;
        if (a < detail::tiny_series_bits) return CheapReference::Series;
        if (a > 0x7f800000u) return CheapReference::None;  // NaN
        if (b == a) return a >= std::bit_cast<std::uint32_t>(710.0f) ? CheapReference::Infinity : CheapReference::None;
        return a >= std::bit_cast<std::uint32_t>(746.0f) ? CheapReference::Zero : CheapReference::None;
    }
}

// The binary64 stand-in for op(x) at a binary32 x: the platform's function for the library operations
// (but where has_cheap_reference gives a cheaper one), the correctly rounded binary64 root and reciprocal
// for the others. The one place an audit evaluates its reference, so that a faster evaluation with the
// same error bound can take its place.
template <UnaryOp op>
inline double reference_f32(float x) {
    const double xd = fp::widen(x);
    if constexpr (op == UnaryOp::Sqrt) {
        return std::sqrt(xd);
    } else if constexpr (op == UnaryOp::Recip) {
        return 1.0 / xd;
    } else if constexpr (has_cheap_reference(op)) {
        static_assert(op == UnaryOp::Exp);
        switch (cheap_reference_of<op>(x)) {
            case CheapReference::Series: return detail::exp_tiny(xd);
            case CheapReference::Infinity: return HUGE_VAL;
            case CheapReference::Zero: return 0.0;
            case CheapReference::None: break;
        }
        return evaluate_f64<op>(xd);
    } else {
        return evaluate_f64<op>(xd);
    }
}

// reference_f32 over n inputs.
template <UnaryOp op>
inline void references_f32(const float* xs, double* refs, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) refs[i] = reference_f32<op>(xs[i]);
}

// Where the n inputs (n >= 1) share a cheap stand-in, reference_f32 of each in refs, in loops of plain
// arithmetic that the compiler runs in vector registers; false (refs untouched) elsewhere.
template <UnaryOp op>
inline bool cheap_references_f32(const float* xs, double* refs, std::size_t n) {
    if constexpr (!has_cheap_reference(op)) {
        (void)xs, (void)refs, (void)n;
        return false;
    } else {
        static_assert(op == UnaryOp::Exp);
        const CheapReference kind = cheap_reference_of<op>(xs[0]);
        if (kind == CheapReference::None) return false;
        // Each kind is one interval of patterns (of |x| for the series): the inputs share xs[0]'s kind when
        // every pattern less the interval's first lies within its span, unsigned.
        const std::uint32_t mask = kind == CheapReference::Series ? 0x7fffffffu : 0xffffffffu;
        const std::uint32_t first = kind == CheapReference::Series    ? 0
                                    : kind == CheapReference::Infinity ? std::bit_cast<std::uint32_t>(710.0f)
                                                                       : std::bit_cast<std::uint32_t>(-746.0f);
        const std::uint32_t span = (kind == CheapReference::Series ? detail::tiny_series_bits - 1
                                    : kind == CheapReference::Infinity ? 0x7f800000u : 0xff800000u) - first;
        std::uint32_t outside = 0;
        for (std::size_t i = 0; i < n; ++i)
            outside |= static_cast<std::uint32_t>(((fp::to_bits(xs[i]) & mask) - first) > span);
        if (outside != 0) return false;
        if (kind == CheapReference::Series)
            for (std::size_t i = 0; i < n; ++i) refs[i] = detail::exp_tiny(fp::widen(xs[i]));
        else
            std::fill(refs, refs + n, kind == CheapReference::Infinity ? HUGE_VAL : 0.0);
        return true;
    }
}

// Truth at a binary32 x (not NaN). Square root and reciprocal are exact exactly when the binary64 result
// squared (multiplied by x) gives back x (one) with no remainder. Every library operation is exact at the
// infinities (atan excepted: pi/2 is not dyadic), at zero (softplus excepted), and at the points where its
// result is dyadic: x = 1 for log, the integers for exp2, the powers of 2 for log2 and of 4 for rsqrt, the
// powers of ten for log10. Everywhere else the result is not dyadic, so it is never a float or a midpoint.
// The pi-scaled operations are exact at pi_point's points and nowhere else. The cube root of x = m 2^e (m
// odd) is rational only where m 2^(e mod 3) is the cube of an integer below 2^9: a float r of at most 9
// significant bits, never a midpoint, which v (within the margin of it) rounds to; r^3 = x is then tested
// exactly (r r is exact in binary64, the fused r r r - x rounds only a nonzero difference, which stays
// far above binary64's underflow). C's other operations are never called exact here (see judge_f32).
// `v` is reference_f32<op>(x).
template <UnaryOp op>
inline Truth truth_f32(float x, double v) {
    const double xd = fp::widen(x);
    if constexpr (pi_scaled(op)) {
        (void)xd;
        const std::optional<double> point = pi_point<op>(x);
        return point ? Truth{*point, true} : Truth{v, false};
    } else if constexpr (op == UnaryOp::Cbrt) {
        if (x == 0.0f || !fp::is_finite(x)) return {xd, true};  // +-0 and +-inf are their own cube roots
        const double r = fp::widen(fp::narrow(v));
        return std::fma(r * r, r, -xd) == 0.0 ? Truth{r, true} : Truth{v, false};
    } else if constexpr (exact_points_of(op) == ExactPoints::Unlisted) {
        // C's other operations: exact only where the package's rules or MPFR say so (judge_f32 leaves those
        // inputs open). A NaN estimate is a result that is undefined (outside the domain), an infinite one a
        // pole or a result past the binary64 range: C's values, which the certified judgement gives as well.
        (void)xd;
        return {v, std::isnan(v)};
    } else if constexpr (op == UnaryOp::Sqrt) {
        return {v, !fp::is_finite(v) || std::fma(v, v, -xd) == 0.0};
    } else if constexpr (op == UnaryOp::Recip) {
        return {v, !fp::is_finite(v) || v == 0.0 || std::fma(v, xd, -1.0) == 0.0};
    } else {
        if (!fp::is_finite(x)) return {v, op != UnaryOp::Atan};
        if (x == 0) return {v, op != UnaryOp::Softplus};
        if constexpr (op == UnaryOp::Log) {
            return {v, x == 1.0f};
        } else if constexpr (op == UnaryOp::Exp2) {
            if (x != std::trunc(x)) return {v, false};
            // 2^x itself: beyond the binary64 range it overflows (the rounding is infinite either way), and
            // below it the value is not a binary64 number, left to the inexact rules with its sign known.
            if (xd < -1074.0) return {0.0, false};
            return {xd > 1100.0 ? HUGE_VAL : std::ldexp(1.0, static_cast<int>(xd)), true};
        } else if constexpr (op == UnaryOp::Log2) {
            if (!detail::is_power_of_two(x)) return {v, false};
            return {static_cast<double>(detail::log2_exact(x)), true};
        } else if constexpr (op == UnaryOp::Log10) {
            double p = 1.0;
            for (int k = 0; k <= 10; ++k, p *= 10.0)
                if (xd == p) return {static_cast<double>(k), true};
            return {v, false};
        } else if constexpr (op == UnaryOp::Rsqrt) {
            if (!detail::is_power_of_two(x) || detail::log2_exact(x) % 2 != 0) return {v, false};
            return {std::ldexp(1.0, -detail::log2_exact(x) / 2), true};
        } else {
            return {v, false};
        }
    }
}

// For an inexact result within the margin of the float r (so the binary64 stand-in cannot tell its side),
// whether op(x) > r, from inequalities that hold for every x: |sin x| < |x|, expm1(x) > x, exp(x) > 1 for
// x > 0, ... None where no such fact applies; the caller then decides with more precision.
template <UnaryOp op>
inline std::optional<bool> exceeds(float x, float r) {
    const bool positive = x > 0;
    if (r == 0.0f) {
        if constexpr (op == UnaryOp::Exp || op == UnaryOp::Exp2 || op == UnaryOp::Sigmoid ||
                      op == UnaryOp::Softplus || op == UnaryOp::Erfc || op == UnaryOp::Exp10)
            return true;
        // Positive for x > 0 and between -2k - 2 and -2k - 1, negative between -2k - 1 and -2k (k >= 0).
        if constexpr (op == UnaryOp::Tgamma)
            if (fp::is_finite(x) && x != std::floor(x)) return x > 0 || std::fmod(std::floor(x), 2.0f) == 0.0f;
        return std::nullopt;
    }
    if constexpr (op == UnaryOp::Sin || op == UnaryOp::Atan || op == UnaryOp::Tanh) {
        if (r == x) return !positive;  // smaller in magnitude than x
        if constexpr (op != UnaryOp::Atan)
            if (r == 1.0f || r == -1.0f) return r < 0;  // inside (-1, 1)
    } else if constexpr (op == UnaryOp::Tan) {
        if (r == x && std::fabs(x) < 1.0f) return positive;
    } else if constexpr (op == UnaryOp::Expm1) {
        if (r == x || r == -1.0f) return true;
    } else if constexpr (op == UnaryOp::Log1p) {
        if (r == x) return false;
    } else if constexpr (op == UnaryOp::Exp || op == UnaryOp::Exp2) {
        if (r == 1.0f) return positive;
    } else if constexpr (op == UnaryOp::Cos) {
        if (r == 1.0f) return false;
        if (r == -1.0f) return true;
    } else if constexpr (op == UnaryOp::Sigmoid) {
        if (r == 0.5f) return positive;
        if (r == 1.0f) return false;
    } else if constexpr (op == UnaryOp::Softplus) {
        if (r == x) return true;
    } else if constexpr (op == UnaryOp::Erf) {
        if (r == 1.0f || r == -1.0f) return r < 0;  // inside (-1, 1)
    } else if constexpr (op == UnaryOp::Erfc) {
        if (r == 2.0f) return false;  // inside (0, 2), above 1 exactly for x < 0
        if (r == 1.0f) return !positive;
    } else if constexpr (op == UnaryOp::Cosh) {
        if (r == 1.0f) return true;  // above 1 away from 0
    } else if constexpr (op == UnaryOp::Sinh || op == UnaryOp::Asin || op == UnaryOp::Atanh) {
        if (r == x) return positive;  // larger in magnitude than x
    } else if constexpr (op == UnaryOp::Asinh) {
        if (r == x) return !positive;  // smaller in magnitude than x
    } else if constexpr (op == UnaryOp::Exp10) {
        if (r == 1.0f) return positive;
    } else if constexpr (op == UnaryOp::Exp2m1) {
        if (r == -1.0f) return true;
    } else if constexpr (op == UnaryOp::Tgamma) {
        // Gamma(x) = Gamma(1 + x) / x with Gamma(1 + x) below 1 for 0 < x < 1 and above it for -1 < x < 0:
        // below 1/x either way (r = 1/x exactly when their product, exact in binary64, is 1).
        if (std::fabs(x) < 1.0f && fp::widen(r) * fp::widen(x) == 1.0) return false;
    } else if constexpr (op == UnaryOp::Cospi) {
        // Inside (-1, 1) but at the integers.
        if (x != std::floor(x) && (r == 1.0f || r == -1.0f)) return r < 0;
    } else if constexpr (op == UnaryOp::Sinpi) {
        // Inside (-1, 1) but at the half-integers.
        if (2 * x != std::floor(2 * x) && (r == 1.0f || r == -1.0f)) return r < 0;
    }
    return std::nullopt;
}

namespace detail {

// y against an exactly known result v (finite or infinite, not NaN).
inline Judgement judge_exact(double v, float y) {
    const float r = fp::narrow(v);
    const double rd = fp::widen(r);
    if (fp::is_nan(y)) return {Outcome::Special, 0, 0.0, rd};
    if (!fp::is_finite(r) || !fp::is_finite(y)) {
        if (fp::to_bits(y) == fp::to_bits(r)) return {Outcome::CorrectlyRounded, 0, 0.0, rd};
        return {Outcome::Special, 0, 0.0, rd};
    }
    if (y == 0.0f && r == 0.0f && std::signbit(y) != std::signbit(r)) return {Outcome::Special, 0, 0.0, rd};
    const double yd = fp::widen(y);
    const Outcome rounded = y == r ? Outcome::CorrectlyRounded : Outcome::Misrounded;
    if (yd == v) return {rounded, 0, 0.0, rd};
    const double e = std::fabs(yd - v) / ulp_f32(std::fabs(v));
    return {rounded, error_bin(e), e, rd};
}

// The overflow threshold 2^128 - 2^103: magnitudes from it on round to infinity.
inline constexpr double overflow_f32 = 0x1p128 - 0x1p103;

}  // namespace detail

// The judgement of the answer y against the truth t. See the module comment: certain outcomes are decided
// from the binary64 stand-in wherever an error below the margin cannot change them; the rest are
// Uncertain. Where the stand-in lies within the margin of a float r, side(r) may tell whether the exact
// result lies above r (an optional<bool>). `may_be_float`: an inexact truth may still be exact there, at r
// itself, unless side(r) proves it on one side (C's other operations, whose exact points the caller
// decides); the answer r is then Uncertain too.
template <class Side>
inline Judgement judge_truth_f32(float y, Truth t, Side side, bool may_be_float = false) {
    const double ref = t.value;
    if (std::isnan(ref)) {
        // Undefined: only a NaN answer is right.
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return fp::is_nan(y) ? Judgement{Outcome::CorrectlyRounded, 0, 0.0, nan} : Judgement{Outcome::Special, 0, 0.0, nan};
    }
    // An infinite stand-in is an infinite result or one past the binary64 range: infinite when rounded.
    if (t.exact || std::isinf(ref)) return detail::judge_exact(ref, y);

    const double a = std::fabs(ref);
    if (std::fabs(a - detail::overflow_f32) < audit_margin * 0x1p104) return {Outcome::Uncertain};
    const float r = fp::narrow(ref);
    const double rd = fp::widen(r);
    if (!fp::is_finite(r)) {
        if (fp::to_bits(y) == fp::to_bits(r)) return {Outcome::CorrectlyRounded, 0, 0.0, rd};
        return {Outcome::Special, 0, 0.0, rd};
    }
    // Where the stand-in lies on the grid of half-ulps of its binade (floats at even multiples,
    // midpoints at odd ones); below 2^25, so adding 2^52 rounds it to the nearest integer.
    const double inverse_u = inverse_ulp_f32(a);
    const double scaled = a * (2.0 * inverse_u);
    const double n = (scaled + 0x1p52) - 0x1p52;
    const bool near_grid = std::fabs(scaled - n) < 2 * audit_margin;
    const bool near_midpoint = near_grid && (static_cast<std::uint64_t>(n) & 1) != 0;
    if (near_midpoint) return {Outcome::Uncertain};
    if (fp::is_nan(y) || !fp::is_finite(y)) return {Outcome::Special, 0, 0.0, rd};
    if (y == 0.0f && r == 0.0f && std::signbit(y) != std::signbit(r)) return {Outcome::Special, 0, 0.0, rd};
    const double yd = fp::widen(y);
    if (y == r) {
        if (may_be_float && near_grid && !side(r)) return {Outcome::Uncertain};
        return {Outcome::CorrectlyRounded, 1, std::fabs(yd - ref) * inverse_u, rd};
    }
    if (!near_grid) {
        const double e = std::fabs(yd - ref) * inverse_u;
        return {Outcome::Misrounded, error_bin(e), e, rd};
    }
    // Within the margin of the float r: the side of the exact result decides its binade (when r is a
    // power of two) and whether the error is a little above or below |y - r| / ulp.
    std::optional<bool> above;
    if (r == 0.0f && ref != 0.0)
        above = ref > 0;  // the stand-in's sign is right: its error is relative
    else
        above = side(r);
    if (!above) return {Outcome::Uncertain};
    const bool magnitude_above = r == 0.0f || (*above != std::signbit(r));
    const float rm = std::fabs(r);
    const double uf = magnitude_above ? ulp_f32(fp::widen(rm)) : ulp_f32(fp::widen(fp::next_down(rm)));
    const double k = std::fabs(yd - rd) / uf;
    const bool same_side = (yd > rd) == *above;
    return {Outcome::Misrounded, error_bin_beside(k, !same_side), std::fabs(yd - ref) / uf, rd};
}

// The judgement of y = impl(x) for a binary32 x, given ref = reference_f32<op>(x). NaN inputs are Skipped.
// C's other operations but those with exact_points_by_rule leave their exact points to the caller: the zeros
// and infinities, and every result within the margin of a float without a known side.
template <UnaryOp op>
inline Judgement judge_f32(float x, float y, double reference) {
    if (fp::is_nan(x)) return {Outcome::Skipped};
    constexpr bool unlisted = exact_points_of(op) == ExactPoints::Unlisted && !exact_points_by_rule(op);
    if (unlisted && (x == 0.0f || !fp::is_finite(x))) return {Outcome::Uncertain};
    return judge_truth_f32(y, truth_f32<op>(x, reference), [x](float r) { return exceeds<op>(x, r); }, unlisted);
}

// The judgement of y = impl(x, d) for the quotient of binary32 values, given the binary64 quotient: one
// rounding of the exact one, which never leaves the binary64 range. It is exact where it is infinite or
// zero (a zero or infinite operand) or where it leaves no remainder. NaN operands are Skipped.
inline Judgement judge_quotient_f32(float x, float d, float y, double reference) {
    if (fp::is_nan(x) || fp::is_nan(d)) return {Outcome::Skipped};
    const bool exact = !fp::is_finite(reference) || reference == 0.0 ||
                       std::fma(reference, fp::widen(d), -fp::widen(x)) == 0.0;
    return judge_truth_f32(y, Truth{reference, exact}, [](float) { return std::optional<bool>{}; });
}

// Whether C gives op(x, d) a number although x or d is NaN: hypot is +inf beside an infinity, pow is 1 at
// x = 1 and at d = +-0. Audits judge these pairs and skip the other pairs holding a NaN.
template <BinaryOp op>
inline bool defined_beside_nan(float x, float d) {
    if constexpr (op == BinaryOp::Hypot)
        return std::isinf(x) || std::isinf(d);
    else if constexpr (op == BinaryOp::Pow)
        return x == 1.0f || d == 0.0f;
    else
        return (void)x, (void)d, false;
}

// For finite nonzero x and d and a result within the margin of the float r, whether op(x, d) > r where the
// float most results come near has a known side: hypot exceeds max(|x|, |d|); pow(x, d) for x > 0 (not 1)
// lies above 1 exactly when x > 1 and d > 0 or x < 1 and d < 0, and a vanishing one has the sign of x or,
// for x < 0 (d is then an integer), of (-1)^d; a vanishing atan2(x, d) has the sign of x. None elsewhere.
template <BinaryOp op>
inline std::optional<bool> exceeds_pair(float x, float d, float r) {
    if constexpr (op == BinaryOp::Hypot) {
        if (r == std::max(std::fabs(x), std::fabs(d))) return true;
    } else if constexpr (op == BinaryOp::Pow) {
        if (r == 1.0f && x > 0.0f && x != 1.0f) return (x > 1.0f) == (d > 0.0f);
        if (r == 0.0f) return x > 0.0f || std::fmod(d, 2.0f) == 0.0f;
    } else if constexpr (op == BinaryOp::Atan2) {
        if (r == 0.0f) return x > 0.0f;
    }
    return std::nullopt;
}

// The judgement of y = op(x, d) for C's hypot, atan2 and pow of binary32 values, given the platform's
// binary64 value, with the rules of C's other unary operations: the caller decides their exact points, that
// is every pair with a zero, infinite or NaN operand (NaN pairs without a result of C's are Skipped) and
// every result within the margin of a float without a known side (exceeds_pair). A NaN estimate at finite
// nonzero operands is a result that is undefined (pow of a negative x), an infinite one a result past the
// binary64 range. atan2 of a finite nonzero x and a zero or -inf d is +-pi/2 or +-pi, never a float: judged
// here, as the common pass, which sees only x, judges it.
template <BinaryOp op>
    requires(op != BinaryOp::Div)
inline Judgement judge_pair_f32(float x, float d, float y, double reference) {
    if (fp::is_nan(x) || fp::is_nan(d))
        return defined_beside_nan<op>(x, d) ? Judgement{Outcome::Uncertain} : Judgement{Outcome::Skipped};
    const bool regular_x = x != 0.0f && fp::is_finite(x);
    if (!regular_x || d == 0.0f || !fp::is_finite(d)) {
        if (op == BinaryOp::Atan2 && regular_x && (d == 0.0f || d < 0.0f))
            return judge_truth_f32(y, Truth{reference, false}, [](float) { return std::optional<bool>{}; }, true);
        return {Outcome::Uncertain};
    }
    return judge_truth_f32(y, Truth{reference, std::isnan(reference)},
                           [x, d](float r) { return exceeds_pair<op>(x, d, r); }, true);
}

// What an audit keeps of the inputs judged with certainty: counts, histogram, the largest error per
// binade of the input (sign and biased exponent), the `worst_limit` largest errors, the first
// `example_limit` special mismatches, and the uncertain inputs. Positions count from the chunk's start.
struct AuditTally {
    struct Worst {
        std::uint64_t position;
        std::int64_t key;  // ordered value of x: ties go to the lowest
        float x, y;
        double error;
        double expected;
    };
    struct Example {
        std::uint64_t position;
        float x, y;
        double expected;
    };
    struct Open {
        std::uint64_t position;
        float x, y;
    };

    std::uint64_t inputs = 0, correctly_rounded = 0, misrounded = 0, special = 0;
    std::array<std::uint64_t, error_bin_count> histogram{};
    std::array<double, 512> binade_max;
    std::vector<Worst> worst;  // best first
    std::vector<Example> examples;
    std::vector<Open> uncertain;
    std::size_t worst_limit, example_limit;
    // An error below this cannot enter `worst`: -1 until it is full, then its last error.
    double worst_threshold = -1.0;

    AuditTally(std::size_t worst_cap, std::size_t example_cap)
        : worst_limit(std::max<std::size_t>(worst_cap, 1)), example_limit(example_cap) {
        binade_max.fill(-1.0);
    }

    static bool before(const Worst& a, const Worst& b) {
        if (a.error != b.error) return a.error > b.error;
        if (a.key != b.key) return a.key < b.key;
        return a.position < b.position;
    }

    void add_worst(std::uint64_t position, float x, float y, double error, double expected) {
        add_worst({position, static_cast<std::int64_t>(fp::to_ordered(x)), x, y, error, expected});
    }

    void add_worst(const Worst& w) {
        if (worst.size() == worst_limit) {
            if (!before(w, worst.back())) return;
            worst.pop_back();
        }
        worst.insert(std::upper_bound(worst.begin(), worst.end(), w, before), w);
        if (worst.size() == worst_limit) worst_threshold = worst.back().error;
    }

    void add(std::uint64_t position, float x, float y, const Judgement& j) {
        add(position, static_cast<std::int64_t>(fp::to_ordered(x)), x, y, j);
    }

    // key: where the input comes in the order ties are broken by (the ordered value of x, or of a pair).
    void add(std::uint64_t position, std::int64_t key, float x, float y, const Judgement& j) {
        switch (j.outcome) {
            case Outcome::Skipped: return;
            case Outcome::Uncertain: uncertain.push_back({position, x, y}); return;
            case Outcome::Special:
                ++inputs;
                ++special;
                if (examples.size() < example_limit) examples.push_back({position, x, y, j.expected});
                return;
            case Outcome::CorrectlyRounded: ++correctly_rounded; break;
            case Outcome::Misrounded: ++misrounded; break;
        }
        ++inputs;
        ++histogram[static_cast<std::size_t>(j.bin)];
        double& m = binade_max[fp::to_bits(x) >> 23];
        if (j.error > m) m = j.error;
        if (j.error >= worst_threshold) add_worst({position, key, x, y, j.error, j.expected});
    }
};

// The inputs of an audit chunk: n floats of the ordered view from `first` on, `step` apart, or an array.
// load(start, size, scratch) gives the `size` inputs from `start` on: in scratch, or where they are.
struct RangeInputs {
    static constexpr bool ascending = true;  // in the ordered view: an equal error never ranks before
    std::int32_t first;
    std::uint32_t step;
    float operator()(std::uint64_t i) const {
        const std::uint32_t k = static_cast<std::uint32_t>(first) + static_cast<std::uint32_t>(i) * step;
        return fp::from_ordered<float>(static_cast<std::int32_t>(k));
    }
    const float* load(std::uint64_t start, std::size_t size, float* scratch) const {
        for (std::size_t i = 0; i < size; ++i) scratch[i] = (*this)(start + i);
        return scratch;
    }
};

struct ArrayInputs {
    static constexpr bool ascending = false;
    const float* xs;
    const float* load(std::uint64_t start, std::size_t, float*) const { return xs + start; }
};

// The implementation's answers: an array of them, or a C function called on each input.
struct ArrayAnswers {
    const float* ys;
    const float* load(std::uint64_t start, std::size_t, const float*, float*) const { return ys + start; }
};

struct FunctionAnswers {
    float (*fn)(float);
    const float* load(std::uint64_t, std::size_t size, const float* xs, float* scratch) const {
        for (std::size_t i = 0; i < size; ++i) scratch[i] = fn(xs[i]);
        return scratch;
    }
};

// What audit_f32 evaluates and judges: a unary operation, or an operation of each input and its second operand.
// references(xs, start, size, refs) fills the block's references for the common pass, which trusts them to
// margin() binary32 ulps; canonical(x, index) is the binary64 reference of input `index` the full judgement
// and every reported error come from (canonical_references those of a block), the same one unless
// vector(), when references() gives a vector reference; judge(x, index, y, ref) gives the full judgement;
// key(x, index) places the input in the order ties are broken by. An operation may also have
// cheap_canonical_references(xs, size, refs), which fills a block's canonical references where they cost
// less than the vector reference and says whether it did.
template <UnaryOp op>
struct Unary {
    static constexpr bool pairs = false;
    ValuesF32 values = nullptr;  // the path's vector reference of op, if it has one
    bool vector() const { return values != nullptr; }
    double margin() const {
        if constexpr (has_vector_ref(op))
            if (values != nullptr) return vector_audit_margin(op);
        return audit_margin;
    }
    void references(const float* xs, std::uint64_t, std::size_t size, double* refs) const {
        if (values != nullptr)
            values(xs, static_cast<std::uint32_t>(size), refs);
        else
            references_f32<op>(xs, refs, size);
    }
    void canonical_references(const float* xs, std::uint64_t, std::size_t size, double* refs) const {
        references_f32<op>(xs, refs, size);
    }
    // Where every input of the block has a cheap stand-in, its canonical references, which then cost less
    // than the vector reference; false (refs untouched) elsewhere.
    bool cheap_canonical_references(const float* xs, std::size_t size, double* refs) const {
        return cheap_references_f32<op>(xs, refs, size);
    }
    double canonical(float x, std::uint64_t) const { return reference_f32<op>(x); }
    Judgement judge(float x, std::uint64_t, float y, double ref) const { return judge_f32<op>(x, y, ref); }
    std::int64_t key(float x, std::uint64_t) const { return fp::to_ordered(x); }
};

// An operation of two binary32 operands: each input x with its second operand seconds[index] (the divisor
// of a quotient; y of hypot, atan2 and pow). The reference is the binary64 quotient, or the platform's
// function of the widened operands.
template <BinaryOp op>
struct Pairs {
    static constexpr bool pairs = true;
    const float* seconds;
    bool vector() const { return false; }
    double margin() const { return audit_margin; }
    void references(const float* xs, std::uint64_t start, std::size_t size, double* refs) const {
        canonical_references(xs, start, size, refs);
    }
    void canonical_references(const float* xs, std::uint64_t start, std::size_t size, double* refs) const {
        for (std::size_t i = 0; i < size; ++i) refs[i] = canonical(xs[i], start + i);
    }
    double canonical(float x, std::uint64_t index) const {
        if constexpr (op == BinaryOp::Div)
            return fp::widen(x) / fp::widen(seconds[index]);
        else
            return evaluate_f64<op>(fp::widen(x), fp::widen(seconds[index]));
    }
    Judgement judge(float x, std::uint64_t index, float y, double ref) const {
        if constexpr (op == BinaryOp::Div)
            return judge_quotient_f32(x, seconds[index], y, ref);
        else
            return judge_pair_f32<op>(x, seconds[index], y, ref);
    }
    // x first, then the second operand.
    std::int64_t key(float x, std::uint64_t index) const {
        return static_cast<std::int64_t>(fp::to_ordered(x)) * (std::int64_t{1} << 32) +
               (static_cast<std::int64_t>(fp::to_ordered(seconds[index])) + (std::int64_t{1} << 31));
    }
};

// Operation::cheap_canonical_references where the operation has it, otherwise false.
template <class Operation>
inline bool cheap_canonical_references(const Operation& operation, const float* xs, std::size_t size, double* refs) {
    if constexpr (requires { operation.cheap_canonical_references(xs, size, refs); })
        return operation.cheap_canonical_references(xs, size, refs);
    else
        return false;
}

// Judges the answers to n inputs, adding everything to the tally. Blocks of inputs go through four stages:
// the inputs and answers; the references (a vector reference where the path has one, otherwise the binary64
// reference of the full judgement, which is also taken wherever it is cheaper); the common pass, a vector
// kernel (audit_lanes.hpp) that finds the common inputs and their errors; and the full judgement of the
// others. An input is common when x is no exact point and either its answer is the reference rounded to
// binary32, away from a midpoint (correctly rounded, the error in (0, 0.5]), or the reference lies beyond
// the overflow threshold by more than the margin and the answer is its infinity (correctly rounded, error
// 0), or its answer is another finite float and the reference is away from every float and midpoint
// (misrounded). Common inputs are counted with exactly the judgement the full one would give them; those
// whose error may enter the list of the largest are offered to it. Without a common pass (`pass` null)
// every input takes the full judgement.
//
// A vector reference lies within its proven bound of the exact result, which the margin of its common pass
// adds to the platform's: what that pass decides is what the full judgement decides on the binary64
// reference. The errors it measures differ from that judgement's by up to about the margin, so every error
// that is reported (the largest ones, the largest per binade) is measured again on the binary64 reference,
// for each input whose error may come within twice the margin of being reported: the audit is the same,
// to the bit, on every path.
template <class Operation, class Inputs, class Answers>
inline void audit_f32(Operation operation, Inputs inputs, Answers answers, std::uint64_t n, AuditTally& tally,
                      CommonPassF32 pass) {
    constexpr std::size_t block = audit_block;
    float x_scratch[block], y_scratch[block];
    double refs[block], errors[block];
    std::uint16_t others[block], candidates[block];
    std::vector<AuditTally::Worst> best;
    std::uint64_t common = 0, overflowed = 0, misrounded = 0;
    // The full judgement's error and expected value of common inputs, measured again once per block.
    double remeasured[block], remeasured_expected[block];
    bool measured[block];
    // Where the errors of a binade lie within the margin of each other (results near their rounding, such as
    // sin near 0; exp takes cheap references there), nearly every input is measured again, which costs more
    // than judging on the binary64 reference in the first place: after such a block the next ones do that,
    // then the vector reference is tried again. Either way the audit is the same.
    constexpr std::size_t blocks_on_binary64 = 64;
    std::size_t binary64_blocks_left = 0;
    for (std::uint64_t start = 0; start < n; start += block) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(block, n - start));
        const float* xs = inputs.load(start, size, x_scratch);
        const float* ys = answers.load(start, size, xs, y_scratch);
        // A block whose binary64 references cost less than its vector ones (exp of tiny x, or beyond the
        // binary64 range) is judged on them: nothing to measure again.
        const bool cheap = cheap_canonical_references(operation, xs, size, refs);
        const bool vector = !cheap && pass != nullptr && operation.vector() && binary64_blocks_left == 0;
        if (binary64_blocks_left > 0) --binary64_blocks_left;
        const double margin = vector ? operation.margin() : audit_margin;
        // How far a common input's error may lie from the full judgement's: twice the margin, and roundings.
        const auto slack = [margin](double e) { return 4 * margin + std::fabs(e) * 0x1p-40; };
        std::size_t remeasures = 0;
        if (vector)
            operation.references(xs, start, size, refs);
        else if (!cheap)
            operation.canonical_references(xs, start, size, refs);

        std::size_t k = size;
        if (pass != nullptr) {
            if (size < block) {
                // The kernels read whole vectors: the lanes past the end repeat the first input.
                if (xs != x_scratch) std::copy(xs, xs + size, x_scratch);
                if (ys != y_scratch) std::copy(ys, ys + size, y_scratch);
                std::fill(x_scratch + size, x_scratch + block, x_scratch[0]);
                std::fill(y_scratch + size, y_scratch + block, y_scratch[0]);
                std::fill(refs + size, refs + block, refs[0]);
                xs = x_scratch;
                ys = y_scratch;
            }
            // Until the list of the largest errors is full its threshold is -1 and every common input is a
            // candidate. An equal error enters it only from a lower x (a later position loses a tie): never
            // from ascending inputs; from any x of a pair (whose divisor may be lower), left to the key. On a
            // vector reference every error that may reach the threshold once measured again is a candidate.
            double threshold = tally.worst_threshold;
            double x_bound = Inputs::ascending || tally.worst.empty() ? -HUGE_VAL
                             : Operation::pairs                       ? HUGE_VAL
                                                                      : tally.worst.back().x;
            if (vector) {
                threshold -= slack(threshold);
                x_bound = -HUGE_VAL;
            }
            CommonStats stats;
            k = pass(xs, ys, refs, static_cast<std::uint32_t>(size), margin, threshold, x_bound, errors, others,
                     candidates, tally.histogram.data(), stats);
            common += size - k;
            overflowed += stats.overflowed;
            misrounded += stats.misrounded;
            if (vector) std::fill(measured, measured + size, false);
            // The full judgement's error of the common input i (its expected value in remeasured_expected):
            // the vector reference's when the binary64 reference leaves the input open, which it does only
            // where that reference errs by more than the margin.
            const auto remeasure = [&](std::size_t i) {
                if (!measured[i]) {
                    ++remeasures;
                    const Judgement j = operation.judge(xs[i], start + i, ys[i], operation.canonical(xs[i], start + i));
                    const bool decided = j.outcome == Outcome::CorrectlyRounded || j.outcome == Outcome::Misrounded;
                    remeasured[i] = decided ? j.error : errors[i];
                    remeasured_expected[i] = decided ? j.expected : fp::widen(fp::narrow(refs[i]));
                    measured[i] = true;
                }
                return remeasured[i];
            };
            if (vector) {
                if (size != k) {
                    // Only the inputs whose error may be their binade's largest once measured again; in one
                    // binade, none below the block's largest less twice the slack.
                    const double floor = stats.binades_differ ? -HUGE_VAL : stats.max_error - 2 * slack(stats.max_error);
                    for (std::size_t i = 0; i < size; ++i) {
                        if (errors[i] < 0 || errors[i] < floor) continue;
                        double& m = tally.binade_max[fp::to_bits(xs[i]) >> 23];
                        if (errors[i] + slack(errors[i]) <= m) continue;
                        const double e = remeasure(i);
                        if (e > m) m = e;
                    }
                }
            } else if (!stats.binades_differ) {
                double& m = tally.binade_max[fp::to_bits(xs[0]) >> 23];
                if (stats.max_error > m) m = stats.max_error;
            } else if (size != k) {
                for (std::size_t i = 0; i < size; ++i) {
                    double& m = tally.binade_max[fp::to_bits(xs[i]) >> 23];
                    if (errors[i] > m) m = errors[i];
                }
            }
            // Where errors grow from input to input, every one is a candidate: only the block's best few
            // can enter the list, and only they are made records. Their errors are final on the binary64
            // reference: the worst_limit first in the list's order (error, key, position). On a vector
            // reference they are measured again: the candidates whose error may be among the block's
            // worst_limit largest once it is, that is no lower than the worst_limit-th largest less twice
            // the slack.
            std::size_t count = stats.candidates;
            double lowest = -HUGE_VAL;
            if (count > tally.worst_limit && vector) {
                double top[block];
                for (std::size_t j = 0; j < count; ++j) top[j] = errors[candidates[j]];
                double* const kth = top + (tally.worst_limit - 1);
                std::nth_element(top, kth, top + count, std::greater<double>());
                lowest = *kth - 2 * slack(*kth);
            } else if (count > tally.worst_limit) {
                const auto first_in_list = [&](std::uint16_t a, std::uint16_t b) {
                    if (errors[a] != errors[b]) return errors[a] > errors[b];
                    const std::int64_t ka = operation.key(xs[a], start + a), kb = operation.key(xs[b], start + b);
                    return ka != kb ? ka < kb : a < b;
                };
                std::nth_element(candidates, candidates + tally.worst_limit, candidates + count, first_in_list);
                count = tally.worst_limit;
            }
            best.clear();
            for (std::size_t j = 0; j < count; ++j) {
                const std::size_t i = candidates[j];
                if (errors[i] < lowest) continue;
                best.push_back({start + i, operation.key(xs[i], start + i), xs[i], ys[i], errors[i],
                                fp::widen(fp::narrow(refs[i]))});
            }
            if (vector) {
                for (auto& w : best) {
                    const auto i = static_cast<std::size_t>(w.position - start);
                    w.error = remeasure(i);
                    w.expected = remeasured_expected[i];
                }
            }
            if (best.size() > tally.worst_limit) {
                const auto kept = best.begin() + static_cast<std::ptrdiff_t>(tally.worst_limit);
                std::nth_element(best.begin(), kept, best.end(), AuditTally::before);
                best.erase(kept, best.end());
            }
            for (const auto& w : best) tally.add_worst(w);
            if (remeasures > block / 16) binary64_blocks_left = blocks_on_binary64;
        } else {
            for (std::size_t i = 0; i < size; ++i) others[i] = static_cast<std::uint16_t>(i);
        }
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t i = others[j];
            const double ref = vector ? operation.canonical(xs[i], start + i) : refs[i];
            tally.add(start + i, operation.key(xs[i], start + i), xs[i], ys[i],
                      operation.judge(xs[i], start + i, ys[i], ref));
        }
    }
    tally.inputs += common;
    tally.correctly_rounded += common - misrounded;
    tally.misrounded += misrounded;
    tally.histogram[0] += overflowed;
    tally.histogram[1] += common - overflowed - misrounded;
}

}  // namespace exact
