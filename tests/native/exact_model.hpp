// A slow, independent exact rounding of square roots and quotients, and the comparison of an oracle's
// report with it; shared by the unit tests and the sampled and exhaustive check programs.
//
// It works in units of a quarter of the result's ulp: the exact result V is the integer part W plus a
// sticky remainder, found with an integer square root or an integer division on exact significands taken
// apart with frexp. Nothing here reuses the oracles' residual code, candidate search or decomposition.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>

#include "exact/midpoint_report.hpp"

namespace model {

using u128 = unsigned __int128;

template <class F>
struct Limits {
    static constexpr int p = std::numeric_limits<F>::digits;
    static constexpr int min_quantum = std::numeric_limits<F>::min_exponent - p;  // ulp of subnormals
};

struct Parts {
    std::uint64_t m;
    int e;
    int floor_log2;
};

// |x| = m * 2^e for finite non-zero x, via the library's frexp rather than the bit fields.
template <class F>
Parts parts(F x) {
    int e = 0;
    const F f = std::frexp(std::fabs(x), &e);  // |x| = f * 2^e, f in [0.5, 1)
    const auto m = static_cast<std::uint64_t>(std::ldexp(f, Limits<F>::p));
    return {m, e - Limits<F>::p, e - 1};
}

inline int bit_length(u128 v) {
    int n = 0;
    while (v != 0) {
        v >>= 1;
        ++n;
    }
    return n;
}

inline u128 isqrt(u128 n) {
    // Seeded from a floating-point root and then corrected until w^2 <= n < (w + 1)^2; callers keep n
    // below 2^120.
    u128 w = (n >> 64) == 0 ? static_cast<u128>(std::sqrt(static_cast<double>(static_cast<std::uint64_t>(n))))
                            : static_cast<u128>(std::sqrt(static_cast<long double>(n)));
    while (w * w > n) --w;
    while ((w + 1) * (w + 1) <= n) ++w;
    return w;
}

// What a correct oracle must answer.
template <class F>
struct Expected {
    bool has_report = false;  // false for a result exactly on a midpoint or a rounding that overflows
    F rounded = 0;
    bool exact = false;
    bool above = false;
    long double distance = 0.5L;
};

// Rounds V = w + (sticky ? some fraction in (0, 1) : 0) quarter-ulps of 2^q to nearest.
template <class F>
Expected<F> round_quarters(u128 w, bool sticky, int q) {
    Expected<F> out;
    const u128 r0 = w >> 2;
    const unsigned low = static_cast<unsigned>(w & 3);
    if (low == 2 && !sticky) return out;  // exactly on a midpoint
    const bool up = low > 2 || (low == 2 && sticky);
    const u128 r = up ? r0 + 1 : r0;
    out.rounded = std::ldexp(static_cast<F>(static_cast<std::uint64_t>(r)), q);
    if (std::isinf(out.rounded)) return out;
    out.has_report = true;
    out.exact = low == 0 && !sticky;
    out.above = !up && !out.exact;
    return out;
}

// The midpoint on the side of V, in quarter-ulps. With quarter-ulp units it is the same whichever way V
// rounded, and the gap is 4 units: the lower gap of a power of two is counted in the ulp below it.
inline u128 midpoint_quarters(u128 w) { return 4 * (w >> 2) + 2; }

template <class F>
Expected<F> sqrt_expected(F x) {
    constexpr int p = Limits<F>::p;
    const Parts a = parts(x);
    // q: ulp exponent of sqrt(x), whose binade is 2^h with h = floor(floor_log2 / 2).
    const int h = a.floor_log2 >= 0 ? a.floor_log2 / 2 : -((1 - a.floor_log2) / 2);
    const int q = h - (p - 1);
    const int shift = a.e - 2 * q + 4;  // N = x / 2^(2q - 4), an integer below 2^(2p + 5)
    const u128 n = u128{a.m} << shift;
    const u128 w = isqrt(n);
    const u128 rem = n - w * w;
    Expected<F> out = round_quarters<F>(w, rem != 0, q);
    if (out.has_report && !out.exact) {
        // |sqrt(N) - M| = |N - M^2| / (sqrt(N) + M), with an exact numerator.
        const u128 mid = midpoint_quarters(w);
        const u128 mid_sq = mid * mid;
        const u128 num = n > mid_sq ? n - mid_sq : mid_sq - n;
        const long double root = std::sqrt(static_cast<long double>(n));
        out.distance = static_cast<long double>(num) / ((root + static_cast<long double>(mid)) * 4.0L);
    }
    return out;
}

template <class F>
Expected<F> div_expected(F x, F y) {
    constexpr int p = Limits<F>::p;
    const Parts a = parts(x);
    const Parts b = parts(y);
    const int e0 = a.e - b.e;  // x / y = (ma / mb) * 2^e0
    // floor(log2(ma / mb))
    int lg = bit_length(a.m) - bit_length(b.m);
    if (lg >= 0 ? u128{a.m} < (u128{b.m} << lg) : (u128{a.m} << -lg) < u128{b.m}) --lg;
    const int q = std::max(lg + e0 - (p - 1), Limits<F>::min_quantum);
    const int k = e0 - q + 2;  // V = ma * 2^k / mb quarter-ulps
    u128 num = a.m;
    u128 den = b.m;
    if (k >= 0) {
        num <<= k;
    } else if (bit_length(den) - k <= 126) {
        den <<= -k;
    } else {
        // V is far below one quarter-ulp of the smallest subnormal: the result rounds down to zero.
        Expected<F> out;
        out.has_report = true;
        out.rounded = 0;
        out.above = true;
        const long double v = std::ldexp(static_cast<long double>(a.m) / static_cast<long double>(b.m), k);
        out.distance = (2.0L - v) / 4.0L;
        return out;
    }
    const u128 w = num / den;
    const u128 rem = num % den;
    Expected<F> out = round_quarters<F>(w, rem != 0, q);
    if (out.has_report && !out.exact) {
        // |num / den - M| / 4, exact up to the final division.
        const u128 mid_den = midpoint_quarters(w) * den;
        const u128 diff = num > mid_den ? num - mid_den : mid_den - num;
        out.distance = static_cast<long double>(diff) / (static_cast<long double>(den) * 4.0L);
    }
    return out;
}

template <class F>
bool same_bits(F a, F b) {
    return std::bit_cast<std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>>(a) ==
           std::bit_cast<std::conditional_t<sizeof(F) == 4, std::uint32_t, std::uint64_t>>(b);
}

// An empty string when the report agrees with the expectation; otherwise what differs.
template <class F>
std::string mismatch(const std::optional<exact::MidpointReport>& got, const Expected<F>& want,
                     long double rel_tol = 1e-12L) {
    char buf[256];
    if (got.has_value() != want.has_report) {
        std::snprintf(buf, sizeof buf, "report present %d, expected %d", got.has_value(), want.has_report);
        return buf;
    }
    if (!got) return {};
    const double rounded = static_cast<double>(want.rounded);
    const long double err = std::fabs(static_cast<long double>(got->distance_ulp) - want.distance);
    const bool distance_ok = want.exact ? got->distance_ulp == 0.5 : err <= rel_tol * want.distance;
    if (!same_bits(got->rounded, rounded) || got->exact != want.exact || got->exact_above != want.above ||
        !distance_ok) {
        std::snprintf(buf, sizeof buf, "got {%a, %.17g, %d, %d}, expected {%a, %.17Lg, %d, %d}", got->rounded,
                      got->distance_ulp, got->exact_above, got->exact, rounded, want.distance, want.above,
                      want.exact);
        return buf;
    }
    return {};
}

// The whole expected answer of sqrt_midpoint, domain included.
template <class F>
Expected<F> sqrt_answer(F x) {
    if (x == 0) return {true, x, true, false, 0.5L};
    if (!(x > 0) || std::isinf(x)) return {};
    return sqrt_expected(x);
}

// The whole expected answer of div_midpoint, domain included.
template <class F>
Expected<F> div_answer(F x, F y) {
    const auto in_domain = [](F v) { return v > 0 && !std::isinf(v); };
    if (!in_domain(x) || !in_domain(y)) return {};
    return div_expected(x, y);
}

// The expected answer of the binary32 reciprocal: 1 / |x| with the sign of x put on the rounded value.
inline Expected<float> recip_answer(float x) {
    if (x == 0 || !std::isfinite(x)) return {};
    Expected<float> out = div_expected(1.0f, std::fabs(x));
    out.rounded = std::copysign(out.rounded, x);
    return out;
}

}  // namespace model
