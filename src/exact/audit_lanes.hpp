// The common pass of binary32 audits, written once over a lane type V and instantiated by one translation
// unit per instruction set. Included only by those units. Every V is a type local to its unit, so each
// instantiation has internal linkage and no code compiled for a wider instruction set can be picked by the
// linker for a caller compiled for the baseline; for the same reason nothing here calls an inline function
// from another header, only V's operations and built-in operators.
//
// It restates, lane by lane, the rules of audit_f32 (audit.hpp) for the common inputs, which are at no
// exact point and either correctly rounded (the answer is the binary64 reference rounded to binary32, or its
// infinity beyond the overflow threshold and the margin, and the error |y - ref| / ulp(ref) is below
// 1/2 - margin, so the reference is not within the margin of a midpoint) or misrounded for certain (a
// finite answer other than the finite rounding, and a reference farther than the margin from every float
// and midpoint). A reference below 2^-190 in magnitude with its sign bit set is never common: a vector
// reference is that close to an exact result only within its absolute error, which leaves the sign of a
// zero rounding unproven. Errors and bins are computed with the same operations as judge_f32, so a common
// input gets the very judgement the full one would give it; the tests compare every path with the scalar
// one.
#pragma once

#include <cstdint>

#include "audit_kernels.hpp"

namespace exact::lanes {
namespace {

constexpr double overflow_threshold = 0x1p128 - 0x1p103;  // binary32 rounds magnitudes from here on to inf
constexpr std::uint64_t exponent_mask = 0x7ff0000000000000;
constexpr std::uint64_t fraction_mask = 0x000fffffffffffff;
constexpr std::uint64_t sign_and_exponent = 0xfff0000000000000;
// The exponent field of 2^(23 - max(e, -126)) is 2069 - (max(e, -126) + 1023).
constexpr std::uint64_t inverse_ulp_base = std::uint64_t{2 * 1023 + 23} << 52;

// Where op may be exact (truth_f32 in audit.hpp says where it is), tested loosely on x (a binary32 value
// widened exactly: its powers of two, subnormal ones included, have no fraction bits), so that a few extra
// inputs take the full judgement: zeros and infinities; square root and reciprocal where the reference is
// a binary32 value (e == 0), the only places they can be; x = 1 (log); the powers of two (log2, rsqrt);
// the integers (exp2), and those in (0, 1e10] (log10); for the unlisted operations, whose exact points the
// full judgement decides by rule (sinpi, cospi, tanpi) or leaves to the package, every reference within
// twice the margin of the answer (e, the distance |y - ref| in ulps, below it: near the float y) and every
// infinite one (maybe a pole).
template <class V, ExactPoints points>
typename V::M may_be_exact(typename V::D x, typename V::D e, typename V::D magnitude, typename V::D margin) {
    using D = typename V::D;
    const D a = V::abs(x);
    const typename V::M zero_or_infinite = V::either(V::eq(a, V::set1(0.0)), V::eq(a, V::set1(__builtin_inf())));
    if constexpr (points == ExactPoints::Roots) {
        return V::either(zero_or_infinite, V::eq(e, V::set1(0.0)));
    } else if constexpr (points == ExactPoints::One) {
        return V::either(zero_or_infinite, V::eq(x, V::set1(1.0)));
    } else if constexpr (points == ExactPoints::PowersOfTwo) {
        return V::either(zero_or_infinite, V::no_bits(x, fraction_mask));
    } else if constexpr (points == ExactPoints::Integers || points == ExactPoints::PowersOfTen) {
        // Integers: x = trunc(x), where trunc drops the fraction bits below the binary point (from 2^52 on
        // there are none, and every binary32 value from 2^23 on is an integer).
        const typename V::M integer = V::eq(V::trunc(x), x);
        if constexpr (points == ExactPoints::PowersOfTen)
            return V::either(zero_or_infinite,
                             V::both(integer, V::both(V::lt(V::set1(0.0), x), V::le(x, V::set1(1e10)))));
        else
            return V::either(zero_or_infinite, integer);
    } else if constexpr (points == ExactPoints::Unlisted) {
        // Twice the margin: a superset of what the full judgement finds near a float, whatever the roundings.
        return V::either(V::either(zero_or_infinite, V::lt(e, V::add(margin, margin))),
                         V::eq(magnitude, V::set1(__builtin_inf())));
    } else {
        (void)e, (void)magnitude, (void)margin;
        return zero_or_infinite;
    }
}

template <class V, ExactPoints points>
std::uint32_t common_pass(const float* xs, const float* ys, const double* refs, std::uint32_t count, double margin,
                          double threshold, double x_bound, double* errors, std::uint16_t* others,
                          std::uint16_t* candidates, std::uint64_t* histogram, CommonStats& stats) {
    using D = typename V::D;
    using M = typename V::M;
    constexpr unsigned width = V::width;
    const D limit = V::set1(0.5 - margin), at_most = V::set1(threshold), lowest = V::set1(x_bound);
    const D overflowing = V::set1(overflow_threshold + margin * 0x1p104), within = V::set1(margin);
    const D off_grid_by = V::set1(2 * margin);
    const D minus_one = V::set1(-1.0);
    // Sign and exponent of the first x, widened: one to one for normal binary32 values, while the subnormals
    // spread over several (the caller then takes each input's own binade).
    const D first = V::and_bits(V::set1(static_cast<double>(xs[0])), sign_and_exponent);
    D differ = V::set1(0.0), largest = minus_one;
    std::uint32_t k = 0, overflowed = 0, misrounded = 0, c = 0;
    // Counts of bins 2, 3 and 4, kept apart from `histogram` (which may alias anything) until the end.
    std::uint32_t bin_2 = 0, bin_3 = 0, bin_4 = 0;
    const unsigned all_lanes = (1u << width) - 1, last_lanes = (1u << ((count - 1) % width + 1)) - 1;
    for (std::uint32_t base = 0; base < count; base += width) {
        const D x = V::widen(xs + base), y = V::widen(ys + base), ref = V::load(refs + base);
        // The rounding, widened back: widening is one to one on the bits, NaN payloads included.
        const D r = V::round_trip(ref);
        const M rounded = V::same_bits(r, y);
        const D a = V::abs(ref);
        // inverse_ulp_f32: a below 2^-126 takes the subnormals' spacing (so does NaN, whose error is NaN).
        const D inverse = V::int_sub_bits(inverse_ulp_base, V::and_bits(V::max(a, V::set1(0x1p-126)), exponent_mask));
        const D distance = V::mul(V::abs(V::sub(y, ref)), inverse);  // NaN or inf for an infinite reference
        const M unproven_sign = V::but_not(V::lt(a, V::set1(0x1p-190)), V::same_bits(ref, a));
        const M exact = V::either(may_be_exact<V, points>(x, distance, a, within), unproven_sign);
        const M infinite = V::but_not(V::both(rounded, V::ge(a, overflowing)), exact);
        const D e = V::zero_where(infinite, distance);
        // Misrounded for certain: a finite answer other than the rounding, which is finite, and a reference
        // farther than the margin from every float and midpoint (the half-ulp grid of its binade, which holds
        // the bins' edges too). A zero of the other sign is no other value: it is a special mismatch.
        const D scaled = V::mul(a, V::add(inverse, inverse));
        const D grid = V::sub(V::add(scaled, V::set1(0x1p52)), V::set1(0x1p52));
        const M off_grid = V::ge(V::abs(V::sub(scaled, grid)), off_grid_by);
        const M finite = V::both(V::lt(V::abs(y), V::set1(__builtin_inf())), V::lt(a, V::set1(overflow_threshold)));
        const M wrong = V::but_not(V::both(V::both(V::ne(r, y), finite), off_grid), exact);
        const M right = V::either(infinite, V::but_not(V::both(rounded, V::lt(e, limit)), exact));  // e, not distance
        const M common = V::either(right, wrong);
        // An equal error enters the list of the largest only from an x below its last.
        const M below = V::either(V::lt(e, at_most), V::both(V::eq(e, at_most), V::ge(x, lowest)));
        const D error = V::select(common, e, minus_one);
        V::store(errors + base, error);
        largest = V::max(error, largest);
        differ = V::or_bits(differ, V::xor_bits(V::and_bits(x, sign_and_exponent), first));
        const unsigned valid = base + width <= count ? all_lanes : last_lanes;
        const unsigned common_bits = V::bits(common) & valid;
        overflowed += static_cast<std::uint32_t>(__builtin_popcount(V::bits(infinite) & common_bits));
        // The bins of the misrounded lanes, (0.5, 1], (1, 2] and (2, 4] counted without a branch (their
        // errors exceed 1/2), the larger ones one by one.
        const unsigned wrong_bits = V::bits(wrong) & common_bits;
        const unsigned within_1 = __builtin_popcount(V::bits(V::le(e, V::set1(1.0))) & wrong_bits);
        const unsigned within_2 = __builtin_popcount(V::bits(V::le(e, V::set1(2.0))) & wrong_bits);
        const unsigned larger = V::bits(V::gt(e, V::set1(4.0))) & wrong_bits;
        bin_2 += within_1;
        bin_3 += within_2 - within_1;
        bin_4 += __builtin_popcount(wrong_bits & ~larger) - within_2;
        misrounded += __builtin_popcount(wrong_bits);
        for (unsigned rest = larger; rest != 0; rest &= rest - 1) {
            // error_bin: (2^(k-1), 2^k] is bin 2 + k, beyond 2^20 the last.
            const double ej = errors[base + static_cast<unsigned>(__builtin_ctz(rest))];
            const auto eb = __builtin_bit_cast(std::uint64_t, ej);
            ++histogram[ej > 0x1p20 ? error_bin_count - 1
                                    : 2 + static_cast<int>(eb >> 52) - 1023 + ((eb & fraction_mask) != 0)];
        }
        for (unsigned rest = valid & ~common_bits; rest != 0; rest &= rest - 1)
            others[k++] = static_cast<std::uint16_t>(base + static_cast<unsigned>(__builtin_ctz(rest)));
        for (unsigned rest = common_bits & ~V::bits(below); rest != 0; rest &= rest - 1)
            candidates[c++] = static_cast<std::uint16_t>(base + static_cast<unsigned>(__builtin_ctz(rest)));
    }
    histogram[2] += bin_2;
    histogram[3] += bin_3;
    histogram[4] += bin_4;
    double lanes[width], differing[width];
    V::store(lanes, largest);
    V::store(differing, differ);
    double max_error = -1.0;
    bool any_differ = false;
    for (unsigned j = 0; j < width; ++j) {
        max_error = lanes[j] > max_error ? lanes[j] : max_error;
        any_differ |= __builtin_bit_cast(std::uint64_t, differing[j]) != 0;
    }
    stats = {max_error, any_differ, overflowed, misrounded, c};
    return k;
}

template <class V>
constexpr AuditKernels audit_kernels() {
    return AuditKernels{{common_pass<V, ExactPoints::ZerosAndInfinities>, common_pass<V, ExactPoints::Roots>,
                         common_pass<V, ExactPoints::One>, common_pass<V, ExactPoints::PowersOfTwo>,
                         common_pass<V, ExactPoints::Integers>, common_pass<V, ExactPoints::PowersOfTen>,
                         common_pass<V, ExactPoints::Unlisted>}};
}

}  // namespace
}  // namespace exact::lanes
