// Exact signed differences between a square or product and a target, all scaled by powers of two, in 128 bits.
#pragma once

#include <algorithm>
#include <cstdint>
#include <source_location>
#include <type_traits>

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

// The narrowest unsigned word that holds every value below 2^bits.
template <int bits>
using word_below = std::conditional_t<(bits <= 64), std::uint64_t, u128>;

// Whether p * 2^ep and a * 2^ea, for a < 2^a_bits and p < 2^p_bits, align in the word W with d = ea - ep:
// the operand with the larger exponent still fits W after its shift, so the amount is in range and no bit
// can leave the word, and the shift needs no check.
template <int a_bits, int p_bits, class W>
constexpr bool aligns_in_word(std::int64_t d) {
    static_assert(a_bits <= 8 * int{sizeof(W)} && p_bits <= 8 * int{sizeof(W)});
    constexpr std::int64_t width = 8 * sizeof(W);
    return d >= 0 ? d <= width - a_bits : -d <= width - p_bits;
}

// The residual of p * 2^ep against a * 2^ea for operands that aligns_in_word accepts.
template <class W>
inline Residual order_in_word(W a, std::int64_t ea, W p, std::int64_t ep) {
    const std::int64_t d = ea - ep;
    const W l = d >= 0 ? W(a << d) : a;
    const W r = d >= 0 ? p : W(p << -d);
    const int sign = (r > l) - (r < l);
    return {r > l ? u128{r - l} : u128{l - r}, sign, static_cast<std::int32_t>(d >= 0 ? ep : ea)};
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

// residual_sq for a < 2^a_bits and m < 2^m_bits, bounds the caller guarantees. The same residual, computed in
// one 64-bit word when m^2 fits there, else in 128 bits, and without shift checks whenever the exponents lie
// close enough for the aligned operands to fit; otherwise residual_sq itself, failures included.
// The checked result is copied field by field: returned as a whole, it makes the compiler merge both paths in
// memory, and reading the common path's result back from there stalls on every call.
template <int a_bits, int m_bits>
inline Residual residual_sq_bounded(std::uint64_t a, std::int32_t ea, std::uint64_t m, std::int32_t em) {
    static_assert(a_bits <= 64 && m_bits <= 64);
    using W = detail::word_below<std::max(a_bits, 2 * m_bits)>;
    const std::int64_t t = 2 * std::int64_t{em};
    if (detail::aligns_in_word<a_bits, 2 * m_bits, W>(ea - t)) return detail::order_in_word<W>(a, ea, W{m} * m, t);
    const Residual r = residual_sq(a, ea, m, em);
    return {r.magnitude, r.sign, r.exponent};
}

// residual_mul for a < 2^a_bits, q < 2^q_bits and b < 2^b_bits, in the same way.
template <int a_bits, int q_bits, int b_bits>
inline Residual residual_mul_bounded(std::uint64_t a, std::int32_t ea, std::uint64_t q, std::int32_t eq,
                                     std::uint64_t b, std::int32_t eb) {
    static_assert(a_bits <= 64 && q_bits <= 64 && b_bits <= 64);
    using W = detail::word_below<std::max(a_bits, q_bits + b_bits)>;
    const std::int64_t e1 = std::int64_t{eq} + eb;
    if (detail::aligns_in_word<a_bits, q_bits + b_bits, W>(ea - e1))
        return detail::order_in_word<W>(a, ea, W{q} * b, e1);
    const Residual r = residual_mul(a, ea, q, eq, b, eb);
    return {r.magnitude, r.sign, r.exponent};
}

}  // namespace exact
