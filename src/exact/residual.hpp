// Exact signed differences between a square or product and a target, all scaled by powers of two, in 128 bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <source_location>

#include "internal_failure.hpp"

namespace exact {

using u128 = unsigned __int128;

// D = sign * magnitude * 2^exponent, exactly.
struct Residual {
    u128 magnitude;
    int sign;  // -1, 0, +1: order of the square/product against the target
    std::int32_t exponent;
};

namespace detail {

// Kept out of line so the residual code that calls it stays small enough to inline; the default argument
// records the caller's location, not this function's.
[[noreturn, gnu::cold, gnu::noinline]] inline void fail(const char* message,
                                                         std::source_location where = std::source_location::current()) {
    throw InternalFailure(message, where);
}

// Exponent differences are computed in 64 bits so that no operand exponent can make them overflow;
// clamping keeps every amount of 128 or more failing and every amount of -127 or less shifting by 127.
constexpr std::int32_t clamp_amount(std::int64_t s) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(s, -128, 128));
}

inline u128 shift_left_exact(u128 v, std::int32_t s) {
    // v << 128 is undefined, so the amount is checked before the shift, even for v = 0.
    if (s >= 128) fail("exact residual overflowed u128");
    const u128 w = v << s;
    if ((w >> s) != v) fail("exact residual overflowed u128");
    return w;
}

// r is the aligned square or product, l the aligned target.
inline Residual order(u128 r, u128 l, std::int32_t exponent) {
    const int sign = (r > l) - (r < l);
    u128 magnitude = l - r;
    if (l < r) magnitude = -magnitude;
    return {magnitude, sign, exponent};
}

}  // namespace detail

// v * 2^s. Fails with "exact residual overflowed u128" when s >= 128 (v = 0 included) or a set bit would
// leave the top, and with "exact residual lost bits" when a right shift (by min(-s, 127)) would drop one.
inline u128 shift_exact(u128 v, std::int32_t s) {
    if (s >= 0) return detail::shift_left_exact(v, s);
    const std::int32_t k = s < -127 ? 127 : -s;
    const u128 w = v >> k;
    if ((w << k) != v) detail::fail("exact residual lost bits");
    return w;
}

// m^2 * 2^(2 em) against a * 2^ea, both aligned to the smaller exponent. m^2 is taken modulo 2^128, exact
// for m < 2^64; the alignment fails as shift_exact does when the exponents lie 128 or more apart.
inline Residual residual_sq(u128 a, std::int32_t ea, u128 m, std::int32_t em) {
    const std::int64_t t = 2 * std::int64_t{em};
    const std::int64_t e0 = std::min<std::int64_t>(ea, t);
    const u128 l = shift_exact(a, detail::clamp_amount(ea - e0));
    const u128 r = shift_exact(m * m, detail::clamp_amount(t - e0));
    return detail::order(r, l, static_cast<std::int32_t>(e0));
}

// q * b * 2^(eq + eb) against a * 2^ea, both aligned to the smaller exponent. q * b is taken modulo 2^128,
// exact for operands below 2^64; the alignment fails as shift_exact does.
inline Residual residual_mul(u128 a, std::int32_t ea, u128 q, std::int32_t eq, u128 b, std::int32_t eb) {
    const std::int64_t e1 = std::int64_t{eq} + eb;
    const std::int64_t e0 = std::min<std::int64_t>(ea, e1);
    const u128 l = detail::shift_left_exact(a, detail::clamp_amount(ea - e0));
    const u128 r = detail::shift_left_exact(q * b, detail::clamp_amount(e1 - e0));
    return detail::order(r, l, static_cast<std::int32_t>(e0));
}

}  // namespace exact
