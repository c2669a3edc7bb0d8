// The pre-filter's estimates, written once over a lane type V and instantiated by one translation unit per
// instruction set. Included only by those units. Every V is a type local to its unit, so each
// instantiation has internal linkage and no code compiled for a wider instruction set can be picked by the
// linker for a caller compiled for the baseline; for the same reason nothing here calls an inline function
// from another header, only V's operations (intrinsics) and built-in operators.
//
// The distance of an inexact result t from the midpoint on its side, in units of the gap g between the two
// floats around t, is |frac(t / g) - 1/2| when g is the spacing of t's binade; the oracles measure it that
// way. Each estimate below computes it from a binary64 approximation of t whose error is bounded, and the
// function u -> |frac(u) - 1/2| moves by at most as much as u does (it is continuous across integers, where
// it is 1/2 on both sides).
//
// Binary32 sqrt and recip. For a positive normal binary32 x (recip: 2^-126 <= |x| < 2^126, so 1/|x| is
// normal and finite) the binary64 sqrt(x) or 1 / |x| is one correctly rounded operation: s = t (1 + e),
// |s - t| <= half a binary64 ulp of t's binade. Rescaling s to [2^23, 2^24) by replacing its exponent maps
// t's binary32 gap to 1 and that half ulp to 2^-30, so the estimate 1/2 - |u - round(u)| is within 2^-30
// of the true distance, computed exactly (u < 2^24 has 29 fraction bits). That needs s and t in the same
// binade: s can only round onto a power of two 2^E from below it if t is within 2^-53 relative of 2^E,
// which puts x within 2^-52 relative of 4^E (or 2^-E) while binary32 values there are at least 2^-24
// apart, so x is that power and t = s exactly. The oracle's own distance has a few binary64 roundings
// (relative 2^-50 at most, absolute 2^-51 since distances are below 1/2); the pre-filter keeps a margin of
// 2^-28 above the tolerance, more than twice the sum.
//
// Binary64 sqrt. For 2^-900 <= x < 2^900 let s = sqrt(x) rounded, t the exact root, u = ulp(s). The
// residual r = x - s^2 is exactly representable (|r| <= 2 s u, a multiple of 2^(2 ex(u)) with at most 53
// significant bits) and is computed exactly: with a fused multiply-add, or with the classic two-product
// splitting of s (every partial product exact, no underflow in this range) followed by x - fl(s^2), which
// is exact because fl(s^2) is within a factor 2 of x, and a last subtraction whose exact result is r. Then
// t - s = r / (t + s), and the offset w = (t - s) / u is estimated by r * 2^(51 - ex(s)) / s = r / (2 s u):
// one rounding (relative 2^-53) and the replacement of t + s by 2s (relative |t - s| / 2s <= 2^-54), so
// |w_est - w| <= 2^-53 as |w| <= 1/2. The distance 1/2 - |w| is computed with one more rounding of at
// most 2^-54. A root that is a power of two is not trusted (the binade below has half the gap). The
// oracle's distance carries relative 2^-50 at most; the margin is 2^-46.
#pragma once

#include <cstdint>

namespace exact::lanes {
namespace {

constexpr std::uint64_t f64_fraction_mask = 0x000fffffffffffff;
constexpr std::uint64_t f64_exponent_mask = 0x7ff0000000000000;
constexpr std::uint64_t exponent_of_2p23 = std::uint64_t{1023 + 23} << 52;
// The exponent field of 2^(51 - E) is 2097 - (E + 1023).
constexpr std::uint64_t exponent_of_2p51_over = std::uint64_t{2097} << 52;

enum class Estimate { SqrtF32, RecipF32, SqrtF64 };

// Estimated distances of the lanes of x (a binary32 value widened to binary64, or for recip its magnitude),
// and which lanes are trusted.
template <class V, Estimate op>
typename V::D f32_distance(typename V::D x, typename V::M& trusted) {
    using D = typename V::D;
    const D low = V::set1(0x1p-126);
    const D high = V::set1(op == Estimate::RecipF32 ? 0x1p126 : 0x1p128);
    const D one = V::set1(1.0);
    trusted = V::both(V::ge(x, low), V::lt(x, high));
    // Untrusted lanes (negative, zero, subnormal, non-finite, beyond the block) compute on 1.0 instead, so
    // no floating-point exception flag is raised for them.
    const D safe = V::select(trusted, x, one);
    const D s = op == Estimate::RecipF32 ? V::div(one, safe) : V::sqrt(safe);
    const D u = V::or_bits(V::and_bits(s, f64_fraction_mask), exponent_of_2p23);
    return V::sub(V::set1(0.5), V::abs(V::sub(u, V::round(u))));
}

template <class V>
typename V::D f64_distance(typename V::D x, typename V::M& trusted) {
    using D = typename V::D;
    trusted = V::both(V::ge(x, V::set1(0x1p-900)), V::lt(x, V::set1(0x1p900)));
    const D safe = V::select(trusted, x, V::set1(1.0));
    const D s = V::sqrt(safe);
    const D r = V::sqrt_residual(safe, s);
    const D scale = V::int_sub_bits(exponent_of_2p51_over, V::and_bits(s, f64_exponent_mask));
    const D w = V::div(V::mul(r, scale), s);
    const typename V::M power_of_two = V::eq(V::and_bits(s, f64_fraction_mask), V::set1(0.0));
    trusted = V::but_not(trusted, power_of_two);
    return V::sub(V::set1(0.5), V::abs(w));
}

// The widened binary32 values of one lane group (2 V::width floats), low and high halves.
template <class V, Estimate op>
void f32_group(typename V::I32 k, typename V::D& low, typename V::D& high) {
    // A negative ordered value k stands for the pattern with the sign bit set and magnitude -k; its
    // reciprocal has the magnitude's distance, and sqrt sees the (negative) pattern and does not trust it.
    V::widen_f32(op == Estimate::RecipF32 ? V::abs32(k) : k, low, high);
}

// The lanes of a group, low bit first, that hold one of the `left` inputs still to examine.
unsigned valid_lanes(std::uint32_t left, unsigned group) {
    return left >= group ? (group == 32 ? ~0u : (1u << group) - 1) : (1u << left) - 1;
}

template <class V, Estimate op>
std::uint32_t f32_candidates(std::int32_t first, std::uint32_t step, std::uint32_t count, double threshold,
                             std::uint32_t* out) {
    constexpr unsigned group = 2 * V::width;
    typename V::I32 k = V::iota32(first, step);
    const typename V::I32 advance = V::set32(step * group);
    const typename V::D at_least = V::set1(threshold);
    std::uint32_t found = 0;
    for (std::uint32_t base = 0; base < count; base += group) {
        typename V::D low, high;
        f32_group<V, op>(k, low, high);
        typename V::M trusted_low, trusted_high;
        const typename V::D d_low = f32_distance<V, op>(low, trusted_low);
        const typename V::D d_high = f32_distance<V, op>(high, trusted_high);
        // Kept back from the oracle: trusted lanes whose estimate is at or above the threshold (a NaN
        // threshold keeps nothing back).
        const unsigned kept = V::bits(V::both(trusted_low, V::ge(d_low, at_least))) |
                              (V::bits(V::both(trusted_high, V::ge(d_high, at_least))) << V::width);
        unsigned candidates = valid_lanes(count - base, group) & ~kept;
        while (candidates != 0) {
            out[found++] = base + static_cast<std::uint32_t>(__builtin_ctz(candidates));
            candidates &= candidates - 1;
        }
        k = V::add32(k, advance);
    }
    return found;
}

template <class V, Estimate op>
void f32_estimates(std::int32_t first, std::uint32_t step, std::uint32_t count, double* out) {
    constexpr unsigned group = 2 * V::width;
    typename V::I32 k = V::iota32(first, step);
    const typename V::I32 advance = V::set32(step * group);
    double lane[group];
    for (std::uint32_t base = 0; base < count; base += group) {
        typename V::D low, high;
        f32_group<V, op>(k, low, high);
        typename V::M trusted_low, trusted_high;
        const typename V::D d_low = f32_distance<V, op>(low, trusted_low);
        const typename V::D d_high = f32_distance<V, op>(high, trusted_high);
        const typename V::D nan = V::set1(__builtin_nan(""));
        V::store(lane, V::select(trusted_low, d_low, nan));
        V::store(lane + V::width, V::select(trusted_high, d_high, nan));
        for (unsigned i = 0; i < group && base + i < count; ++i) out[base + i] = lane[i];
        k = V::add32(k, advance);
    }
}

template <class V>
std::uint32_t f64_candidates(std::int64_t first, std::uint64_t step, std::uint32_t count, double threshold,
                             std::uint32_t* out) {
    constexpr unsigned group = V::width;
    typename V::I64 k = V::iota64(first, step);
    const typename V::I64 advance = V::set64(step * group);
    const typename V::D at_least = V::set1(threshold);
    std::uint32_t found = 0;
    for (std::uint32_t base = 0; base < count; base += group) {
        typename V::M trusted;
        const typename V::D d = f64_distance<V>(V::as_double(k), trusted);
        const unsigned kept = V::bits(V::both(trusted, V::ge(d, at_least)));
        unsigned candidates = valid_lanes(count - base, group) & ~kept;
        while (candidates != 0) {
            out[found++] = base + static_cast<std::uint32_t>(__builtin_ctz(candidates));
            candidates &= candidates - 1;
        }
        k = V::add64(k, advance);
    }
    return found;
}

template <class V>
void f64_estimates(std::int64_t first, std::uint64_t step, std::uint32_t count, double* out) {
    constexpr unsigned group = V::width;
    typename V::I64 k = V::iota64(first, step);
    const typename V::I64 advance = V::set64(step * group);
    double lane[group];
    for (std::uint32_t base = 0; base < count; base += group) {
        typename V::M trusted;
        const typename V::D d = f64_distance<V>(V::as_double(k), trusted);
        V::store(lane, V::select(trusted, d, V::set1(__builtin_nan(""))));
        for (unsigned i = 0; i < group && base + i < count; ++i) out[base + i] = lane[i];
        k = V::add64(k, advance);
    }
}

// The kernels of one instruction set, in the order of PrefilterKernels.
template <class V, class Kernels>
constexpr Kernels kernels_for() {
    return Kernels{f32_candidates<V, Estimate::SqrtF32>, f32_candidates<V, Estimate::RecipF32>, f64_candidates<V>,
                   f32_estimates<V, Estimate::SqrtF32>,  f32_estimates<V, Estimate::RecipF32>,  f64_estimates<V>};
}

}  // namespace
}  // namespace exact::lanes
