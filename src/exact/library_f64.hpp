// Binary64 evaluations that take more than one call of the maths library: the functions of pi times the
// argument with an exact reduction, and the results the library misses at points where they are exact.
// Each stands in for the exact result of a binary32 operation, so what matters is a relative error of a
// few binary64 ulps, far below the binary32 spacing, and exact values where the result is exact.
#pragma once

#include <math.h>  // lgamma_r, which <cmath> does not promise

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>

#if defined(__APPLE__)
// Apple's <math.h> declares it only for _REENTRANT builds; the library always has it.
extern "C" double lgamma_r(double, int*);
#endif

namespace exact::library {

namespace detail {

inline constexpr double pi = std::numbers::pi;

// sin(pi r) and cos(pi r) for r in [0, 1]. Each octant takes the sine or cosine of pi t with t in [0, 1/4],
// where rounding pi t changes the result by at most about its own relative error; t is formed exactly
// (r - 1/2 and 1 - r by Sterbenz's lemma). cos_pi gives +0 at r = 1/2.
inline double sin_pi(double r) {
    if (r <= 0.25) return std::sin(pi * r);
    if (r <= 0.75) return std::cos(pi * (r - 0.5));
    return std::sin(pi * (1.0 - r));
}

inline double cos_pi(double r) {
    if (r <= 0.25) return std::cos(pi * r);
    if (r <= 0.75) return std::sin(pi * (0.5 - r));
    return -std::cos(pi * (1.0 - r));
}

// tan(pi t) for t in (0, 1/2), t != 1/4: above 1/4 as the reciprocal of tan(pi (1/2 - t)), formed exactly.
inline double tan_pi(double t) {
    if (t < 0.25) return std::tan(pi * t);
    return 1.0 / std::tan(pi * (0.5 - t));
}

// a - 2 floor(a / 2) for a finite a >= 0, in [0, 2). Exact: a / 2 is exact where it matters (a >= 2), the
// floor and its double are integers, and the difference is a multiple of a's spacing (or 0, once the
// spacing exceeds 1) below 2, so it has no more bits than a.
inline double remainder_2(double a) { return a - 2.0 * std::floor(a * 0.5); }

}  // namespace detail

// sin(pi x): +0 at x = +n and -0 at x = -n for every integer n, +-1 at half-integers; NaN for +-inf and NaN.
inline double sinpi(double x) {
    if (!std::isfinite(x)) return x - x;
    double r = detail::remainder_2(std::fabs(x));
    const bool negate = (r >= 1.0) != std::signbit(x);  // sin(pi (r + 1)) = -sin(pi r); sine is odd
    if (r >= 1.0) r -= 1.0;
    if (r == 0.0) return std::copysign(0.0, x);
    const double v = detail::sin_pi(r);
    return negate ? -v : v;
}

// cos(pi x): +-1 at integers, +0 at every half-integer; NaN for +-inf and NaN.
inline double cospi(double x) {
    if (!std::isfinite(x)) return x - x;
    double r = detail::remainder_2(std::fabs(x));
    if (r > 1.0) r = 2.0 - r;  // cos(pi (2 - r)) = cos(pi r)
    return detail::cos_pi(r);
}

// tan(pi x), odd: at a non-negative integer n, +0 when n is even and -0 when odd; at n + 1/2 (n >= 0
// an integer), +inf when n is even and -inf when odd (the poles); +-1 at n +- 1/4; NaN for +-inf and NaN.
inline double tanpi(double x) {
    if (!std::isfinite(x)) return x - x;
    const double a = std::fabs(x);
    const double n = std::floor(a);
    const double r = a - n;  // exact, as in remainder_2
    const bool even = detail::remainder_2(n) == 0.0;
    double v;
    if (r == 0.0)
        v = even ? 0.0 : -0.0;
    else if (r == 0.5)
        v = even ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    else if (r == 0.25 || r == 0.75)
        v = r == 0.25 ? 1.0 : -1.0;
    else
        v = r < 0.5 ? detail::tan_pi(r) : -detail::tan_pi(1.0 - r);  // tan(pi (1 - r)) = -tan(pi r)
    return std::signbit(x) ? -v : v;
}

// The cube root, exact where it is representable. The library's may miss by an ulp there (cbrt(27) as
// 3.0000000000000004); an exact cube root of a binary64 value has at most 17 significant bits, so when the
// library's root lies within 16 ulps of such a number (rarely, so the test costs next to nothing) that
// number is tried: its cube is exact in binary64 (51 bits, no overflow or underflow within the bounds).
inline double cbrt(double x) {
    const double r = std::cbrt(x);
    constexpr std::uint64_t low = (std::uint64_t{1} << 36) - 1;  // the fraction bits below the 17th bit
    const std::uint64_t shifted = std::bit_cast<std::uint64_t>(r) + 16;
    if ((shifted & low) >= 32) return r;
    const double c = std::bit_cast<double>(shifted & ~low);
    const double a = std::fabs(c);
    return a >= 0x1p-300 && a <= 0x1p300 && c * c * c == x ? c : r;
}

// Gamma, exact at the integers 1 to 23 (whose results, (n - 1)!, are binary64 values the library may
// miss: tgamma(13) as 479001599.99999994), and computed as that product, a few roundings, up to 35,
// beyond which it overflows binary32. Elsewhere the library's.
inline double tgamma(double x) {
    if (x >= 1.0 && x <= 35.0 && x == std::floor(x)) {
        double p = 1.0;
        for (double k = 2.0; k < x; k += 1.0) p *= k;
        return p;
    }
    return std::tgamma(x);
}

// log |gamma(x)|, through the variant that leaves the process-wide sign (signgam) alone, so that scans
// on several threads do not write it at once.
inline double lgamma(double x) {
    int sign;
    return ::lgamma_r(x, &sign);
}

// 2^x - 1: expm1 of x ln 2 below 1 in magnitude, where rounding x ln 2 costs about its own relative error;
// exp2(x) - 1 beyond, where the subtraction loses at most a bit. Exact at integers while 2^x - 1 has at
// most 53 bits, and -0 at -0.
inline double exp2m1(double x) {
    if (std::fabs(x) < 1.0) return std::expm1(x * std::numbers::ln2);
    return std::exp2(x) - 1.0;
}

// log2(1 + x): the exponent k, exactly, where 1 + x is 2^k; log1p(x) / ln 2 elsewhere (+-0 at +-0).
inline double log2p1(double x) {
    if (x == 0.0) return x;
    const double u = 1.0 + x;
    int e;
    if (u - 1.0 == x && std::frexp(u, &e) == 0.5) return e - 1;
    return std::log1p(x) / std::numbers::ln2;
}

// sqrt(x^2 + y^2). Operands of at most 26 significant bits (binary32 values among them) within the bounds
// square exactly, so the result takes two roundings and is exact wherever it is representable; others go
// to the library. +inf when either is infinite, even beside a NaN.
inline double hypot(double x, double y) {
    if (std::isinf(x) || std::isinf(y)) return std::numeric_limits<double>::infinity();
    const auto narrow = [](double a) {
        constexpr std::uint64_t low = (std::uint64_t{1} << 27) - 1;
        return a == 0.0 || (a >= 0x1p-500 && a <= 0x1p500 && (std::bit_cast<std::uint64_t>(a) & low) == 0);
    };
    const double ax = std::fabs(x), ay = std::fabs(y);
    if (narrow(ax) && narrow(ay)) return std::sqrt(ax * ax + ay * ay);
    return std::hypot(x, y);
}

}  // namespace exact::library
