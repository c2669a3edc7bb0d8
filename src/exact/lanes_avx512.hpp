// Eight binary64 lanes (AVX-512F). Included only by translation units compiled with -mavx512f, whose kernels
// run only after the processor was found to have it; the type is local to each of them.
#pragma once

#if defined(__x86_64__) && defined(__AVX512F__)

// The compiler's own AVX-512 header initialises its "undefined" vectors from themselves, which its
// uninitialised-value warnings report at every inlined use (fixed in later compiler releases).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <cstdint>

namespace exact {
namespace {

struct Avx512 {
    static constexpr unsigned width = 8;
    using D = __m512d;
    using M = __mmask8;
    using I32 = __m512i;   // sixteen binary32 lanes
    using I64 = __m512i;   // eight binary64 lanes

    static D set1(double v) { return _mm512_set1_pd(v); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D sqrt(D a) { return _mm512_sqrt_pd(a); }
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D min(D a, D b) { return _mm512_min_pd(a, b); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    static D abs(D a) { return _mm512_abs_pd(a); }
    // Bitwise operations on binary64 lanes go through the integer forms, which need only AVX-512F.
    static D and_bits(D a, std::uint64_t b) {
        return _mm512_castsi512_pd(
            _mm512_and_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(static_cast<long long>(b))));
    }
    static D or_bits(D a, std::uint64_t b) {
        return _mm512_castsi512_pd(
            _mm512_or_si512(_mm512_castpd_si512(a), _mm512_set1_epi64(static_cast<long long>(b))));
    }
    static D int_sub_bits(std::uint64_t b, D a) {
        return _mm512_castsi512_pd(
            _mm512_sub_epi64(_mm512_set1_epi64(static_cast<long long>(b)), _mm512_castpd_si512(a)));
    }
    static D round(D a) { return _mm512_roundscale_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static D sqrt_residual(D x, D s) { return _mm512_fnmadd_pd(s, s, x); }
    static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M eq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M is_nan(D a) { return _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q); }
    static M both(M a, M b) { return static_cast<M>(a & b); }
    static M either(M a, M b) { return static_cast<M>(a | b); }
    static M but_not(M a, M b) { return static_cast<M>(a & ~b); }
    static D select(M m, D yes, D no) { return _mm512_mask_blend_pd(m, no, yes); }
    static unsigned bits(M m) { return m; }
    static void store(double* out, D a) { _mm512_storeu_pd(out, a); }

    static I32 iota32(std::int32_t first, std::uint32_t step) {
        const __m512i index = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        return _mm512_add_epi32(_mm512_set1_epi32(first),
                                _mm512_mullo_epi32(_mm512_set1_epi32(static_cast<int>(step)), index));
    }
    static I32 set32(std::uint32_t v) { return _mm512_set1_epi32(static_cast<int>(v)); }
    static I32 add32(I32 a, I32 b) { return _mm512_add_epi32(a, b); }
    static I32 abs32(I32 a) { return _mm512_abs_epi32(a); }
    static I32 pattern32(I32 k) {
        return _mm512_or_si512(_mm512_abs_epi32(k), _mm512_slli_epi32(_mm512_srai_epi32(k, 31), 31));
    }
    static I32 load32(const float* in) { return _mm512_castps_si512(_mm512_loadu_ps(in)); }
    // Lane 0, and whether every lane equals it.
    static std::uint32_t lane0_32(I32 a) {
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(a)));
    }
    static bool uniform32(I32 a) {
        return _mm512_cmpneq_epi32_mask(a, _mm512_set1_epi32(static_cast<int>(lane0_32(a)))) == 0;
    }
    static I32 and32(I32 a, std::uint32_t b) { return _mm512_and_si512(a, _mm512_set1_epi32(static_cast<int>(b))); }
    static void widen_f32(I32 k, D& low, D& high) {
        low = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_castsi512_si256(k)));
        high = _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_extracti64x4_epi64(k, 1)));
    }

    static I64 iota64(std::int64_t first, std::uint64_t step) {
        const __m512i index = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
        // step * index with 32-bit multiplies: low * index plus (high * index) << 32, index < 2^32.
        const __m512i s = _mm512_set1_epi64(static_cast<long long>(step));
        const __m512i low = _mm512_mul_epu32(s, index);
        const __m512i high = _mm512_slli_epi64(_mm512_mul_epu32(_mm512_srli_epi64(s, 32), index), 32);
        return _mm512_add_epi64(_mm512_set1_epi64(first), _mm512_add_epi64(low, high));
    }
    static I64 set64(std::uint64_t v) { return _mm512_set1_epi64(static_cast<long long>(v)); }
    static I64 add64(I64 a, I64 b) { return _mm512_add_epi64(a, b); }
    static I64 sub64(I64 a, I64 b) { return _mm512_sub_epi64(a, b); }
    static I64 and64(I64 a, I64 b) { return _mm512_and_si512(a, b); }
    static I64 or64(I64 a, I64 b) { return _mm512_or_si512(a, b); }
    static I64 xor64(I64 a, I64 b) { return _mm512_xor_si512(a, b); }
    template <int n>
    static I64 shr64(I64 a) { return _mm512_srli_epi64(a, n); }
    template <int n>
    static I64 shl64(I64 a) { return _mm512_slli_epi64(a, n); }
    static I64 mul32(I64 a, I64 b) { return _mm512_mul_epu32(a, b); }
    static I64 spread_top(I64 a) { return _mm512_srai_epi64(a, 63); }
    static M top_mask(I64 a) { return _mm512_cmplt_epi64_mask(a, _mm512_setzero_si512()); }
    static I64 gather64(const std::uint64_t* table, I64 index) { return _mm512_i64gather_epi64(index, table, 8); }
    static D as_double(I64 k) { return _mm512_castsi512_pd(k); }
    static I64 as_int(D a) { return _mm512_castpd_si512(a); }
};

}  // namespace
}  // namespace exact

#endif
