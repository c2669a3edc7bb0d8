// Two binary64 lanes (SSE2, every x86-64 processor has it): the lane type of the baseline vector kernels.
// Included only by translation units compiled for the baseline; the type is local to each of them (see
// prefilter_lanes.hpp for why).
#pragma once

#if defined(__x86_64__)

#include <emmintrin.h>

#include <cstdint>

namespace exact {
namespace {

struct Sse2 {
    static constexpr unsigned width = 2;
    using D = __m128d;
    using M = __m128d;     // all-ones lanes where true
    using I32 = __m128i;   // four binary32 lanes
    using I64 = __m128i;   // two binary64 lanes

    static D set1(double v) { return _mm_set1_pd(v); }
    static D add(D a, D b) { return _mm_add_pd(a, b); }
    static D sub(D a, D b) { return _mm_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm_mul_pd(a, b); }
    static D div(D a, D b) { return _mm_div_pd(a, b); }
    static D sqrt(D a) { return _mm_sqrt_pd(a); }
    // a * b + c with two roundings: there is no fused form here; the error bounds allow for both.
    static D fma(D a, D b, D c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
    // The second operand where either is NaN.
    static D min(D a, D b) { return _mm_min_pd(a, b); }
    static D max(D a, D b) { return _mm_max_pd(a, b); }
    static D abs(D a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
    static D bits_of(std::uint64_t b) { return _mm_castsi128_pd(_mm_set1_epi64x(static_cast<long long>(b))); }
    static D and_bits(D a, std::uint64_t b) { return _mm_and_pd(a, bits_of(b)); }
    static D or_bits(D a, std::uint64_t b) { return _mm_or_pd(a, bits_of(b)); }
    // The pattern b - a as 64-bit integers.
    static D int_sub_bits(std::uint64_t b, D a) {
        return _mm_castsi128_pd(_mm_sub_epi64(_mm_set1_epi64x(static_cast<long long>(b)), _mm_castpd_si128(a)));
    }
    // Nearest integer for 0 <= a < 2^51, ties to even: adding 2^52 leaves no fraction bits, in the rounding
    // mode of the float environment, which the scans run in its default state.
    static D round(D a) {
        const D big = _mm_set1_pd(0x1p52);
        return _mm_sub_pd(_mm_add_pd(a, big), big);
    }
    // x - s * s exactly, with the two-product splitting of s (see prefilter_lanes.hpp).
    static D sqrt_residual(D x, D s) {
        const D c = _mm_mul_pd(s, _mm_set1_pd(134217729.0));  // 2^27 + 1
        const D high = _mm_sub_pd(c, _mm_sub_pd(c, s));
        const D low = _mm_sub_pd(s, high);
        const D p = _mm_mul_pd(s, s);
        D err = _mm_sub_pd(_mm_mul_pd(high, high), p);
        err = _mm_add_pd(err, _mm_mul_pd(high, low));
        err = _mm_add_pd(err, _mm_mul_pd(low, high));
        err = _mm_add_pd(err, _mm_mul_pd(low, low));
        return _mm_sub_pd(_mm_sub_pd(x, p), err);
    }
    static M ge(D a, D b) { return _mm_cmpge_pd(a, b); }
    static M gt(D a, D b) { return _mm_cmpgt_pd(a, b); }
    static M lt(D a, D b) { return _mm_cmplt_pd(a, b); }
    static M le(D a, D b) { return _mm_cmple_pd(a, b); }
    static M eq(D a, D b) { return _mm_cmpeq_pd(a, b); }
    static M is_nan(D a) { return _mm_cmpunord_pd(a, a); }
    static M both(M a, M b) { return _mm_and_pd(a, b); }
    static M either(M a, M b) { return _mm_or_pd(a, b); }
    static M but_not(M a, M b) { return _mm_andnot_pd(b, a); }
    static D select(M m, D yes, D no) { return _mm_or_pd(_mm_and_pd(m, yes), _mm_andnot_pd(m, no)); }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm_movemask_pd(m)); }
    static void store(double* out, D a) { _mm_storeu_pd(out, a); }

    static I32 iota32(std::int32_t first, std::uint32_t step) {
        const auto f = static_cast<std::uint32_t>(first);
        return _mm_setr_epi32(static_cast<int>(f), static_cast<int>(f + step), static_cast<int>(f + 2 * step),
                              static_cast<int>(f + 3 * step));
    }
    static I32 set32(std::uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
    static I32 add32(I32 a, I32 b) { return _mm_add_epi32(a, b); }
    static I32 abs32(I32 a) {
        const I32 sign = _mm_srai_epi32(a, 31);
        return _mm_sub_epi32(_mm_xor_si128(a, sign), sign);
    }
    // The binary32 patterns of ordered values: a negative k stands for the sign bit and magnitude -k.
    static I32 pattern32(I32 k) {
        const I32 sign = _mm_srai_epi32(k, 31);
        return _mm_or_si128(_mm_sub_epi32(_mm_xor_si128(k, sign), sign), _mm_slli_epi32(sign, 31));
    }
    static I32 load32(const float* in) { return _mm_castps_si128(_mm_loadu_ps(in)); }
    // Lane 0, and whether every lane equals it.
    static std::uint32_t lane0_32(I32 a) { return static_cast<std::uint32_t>(_mm_cvtsi128_si32(a)); }
    static bool uniform32(I32 a) {
        return _mm_movemask_epi8(_mm_cmpeq_epi32(a, _mm_shuffle_epi32(a, 0))) == 0xffff;
    }
    static I32 and32(I32 a, std::uint32_t b) { return _mm_and_si128(a, _mm_set1_epi32(static_cast<int>(b))); }
    static void widen_f32(I32 k, D& low, D& high) {
        low = _mm_cvtps_pd(_mm_castsi128_ps(k));
        high = _mm_cvtps_pd(_mm_castsi128_ps(_mm_unpackhi_epi64(k, k)));
    }

    static I64 iota64(std::int64_t first, std::uint64_t step) {
        const auto f = static_cast<std::uint64_t>(first);
        return _mm_set_epi64x(static_cast<long long>(f + step), static_cast<long long>(f));
    }
    static I64 set64(std::uint64_t v) { return _mm_set1_epi64x(static_cast<long long>(v)); }
    static I64 add64(I64 a, I64 b) { return _mm_add_epi64(a, b); }
    static I64 sub64(I64 a, I64 b) { return _mm_sub_epi64(a, b); }
    static I64 and64(I64 a, I64 b) { return _mm_and_si128(a, b); }
    static I64 or64(I64 a, I64 b) { return _mm_or_si128(a, b); }
    static I64 xor64(I64 a, I64 b) { return _mm_xor_si128(a, b); }
    template <int n>
    static I64 shr64(I64 a) { return _mm_srli_epi64(a, n); }
    template <int n>
    static I64 shl64(I64 a) { return _mm_slli_epi64(a, n); }
    // The low 32 bits of each lane of a times those of b, as a 64-bit product.
    static I64 mul32(I64 a, I64 b) { return _mm_mul_epu32(a, b); }
    // All ones in the lanes whose bit 63 is set, as integers and as a mask.
    static I64 spread_top(I64 a) { return _mm_shuffle_epi32(_mm_srai_epi32(a, 31), _MM_SHUFFLE(3, 3, 1, 1)); }
    static M top_mask(I64 a) { return _mm_castsi128_pd(spread_top(a)); }
    static I64 gather64(const std::uint64_t* table, I64 index) {
        const auto i0 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(index));
        const auto i1 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(index, index)));
        return _mm_set_epi64x(static_cast<long long>(table[i1]), static_cast<long long>(table[i0]));
    }
    static D as_double(I64 k) { return _mm_castsi128_pd(k); }
    static I64 as_int(D a) { return _mm_castpd_si128(a); }
};

}  // namespace
}  // namespace exact

#endif
