// Four binary64 lanes (AVX2 with FMA). Included only by translation units compiled with -mavx2 -mfma, whose
// kernels run only after the processor was found to have both; the type is local to each of them.
#pragma once

#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)

#include <immintrin.h>

#include <cstdint>

namespace exact {
namespace {

struct Avx2 {
    static constexpr unsigned width = 4;
    using D = __m256d;
    using M = __m256d;     // all-ones lanes where true
    using I32 = __m256i;   // eight binary32 lanes
    using I64 = __m256i;   // four binary64 lanes

    static D set1(double v) { return _mm256_set1_pd(v); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D sqrt(D a) { return _mm256_sqrt_pd(a); }
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D min(D a, D b) { return _mm256_min_pd(a, b); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static D bits_of(std::uint64_t b) { return _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(b))); }
    static D and_bits(D a, std::uint64_t b) { return _mm256_and_pd(a, bits_of(b)); }
    static D or_bits(D a, std::uint64_t b) { return _mm256_or_pd(a, bits_of(b)); }
    static D int_sub_bits(std::uint64_t b, D a) {
        return _mm256_castsi256_pd(
            _mm256_sub_epi64(_mm256_set1_epi64x(static_cast<long long>(b)), _mm256_castpd_si256(a)));
    }
    static D round(D a) { return _mm256_round_pd(a, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    // x - s * s exactly: one fused multiply-add.
    static D sqrt_residual(D x, D s) { return _mm256_fnmadd_pd(s, s, x); }
    static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M is_nan(D a) { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }
    static M both(M a, M b) { return _mm256_and_pd(a, b); }
    static M either(M a, M b) { return _mm256_or_pd(a, b); }
    static M but_not(M a, M b) { return _mm256_andnot_pd(b, a); }
    static D select(M m, D yes, D no) { return _mm256_blendv_pd(no, yes, m); }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static void store(double* out, D a) { _mm256_storeu_pd(out, a); }

    static I32 iota32(std::int32_t first, std::uint32_t step) {
        const __m256i index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return _mm256_add_epi32(_mm256_set1_epi32(first),
                                _mm256_mullo_epi32(_mm256_set1_epi32(static_cast<int>(step)), index));
    }
    static I32 set32(std::uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
    static I32 add32(I32 a, I32 b) { return _mm256_add_epi32(a, b); }
    static I32 abs32(I32 a) { return _mm256_abs_epi32(a); }
    static I32 pattern32(I32 k) {
        return _mm256_or_si256(_mm256_abs_epi32(k), _mm256_slli_epi32(_mm256_srai_epi32(k, 31), 31));
    }
    static I32 load32(const float* in) { return _mm256_castps_si256(_mm256_loadu_ps(in)); }
    // Lane 0, and whether every lane equals it.
    static std::uint32_t lane0_32(I32 a) {
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm256_castsi256_si128(a)));
    }
    static bool uniform32(I32 a) {
        return _mm256_movemask_epi8(_mm256_cmpeq_epi32(a, _mm256_set1_epi32(static_cast<int>(lane0_32(a))))) == -1;
    }
    static I32 and32(I32 a, std::uint32_t b) { return _mm256_and_si256(a, _mm256_set1_epi32(static_cast<int>(b))); }
    static void widen_f32(I32 k, D& low, D& high) {
        low = _mm256_cvtps_pd(_mm_castsi128_ps(_mm256_castsi256_si128(k)));
        high = _mm256_cvtps_pd(_mm_castsi128_ps(_mm256_extracti128_si256(k, 1)));
    }

    static I64 iota64(std::int64_t first, std::uint64_t step) {
        const __m256i index = _mm256_setr_epi64x(0, 1, 2, 3);
        // step * index with 32-bit multiplies: low * index plus (high * index) << 32, index < 2^32.
        const __m256i s = _mm256_set1_epi64x(static_cast<long long>(step));
        const __m256i low = _mm256_mul_epu32(s, index);
        const __m256i high = _mm256_slli_epi64(_mm256_mul_epu32(_mm256_srli_epi64(s, 32), index), 32);
        return _mm256_add_epi64(_mm256_set1_epi64x(first), _mm256_add_epi64(low, high));
    }
    static I64 set64(std::uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
    static I64 add64(I64 a, I64 b) { return _mm256_add_epi64(a, b); }
    static I64 sub64(I64 a, I64 b) { return _mm256_sub_epi64(a, b); }
    static I64 and64(I64 a, I64 b) { return _mm256_and_si256(a, b); }
    static I64 or64(I64 a, I64 b) { return _mm256_or_si256(a, b); }
    static I64 xor64(I64 a, I64 b) { return _mm256_xor_si256(a, b); }
    template <int n>
    static I64 shr64(I64 a) { return _mm256_srli_epi64(a, n); }
    template <int n>
    static I64 shl64(I64 a) { return _mm256_slli_epi64(a, n); }
    static I64 mul32(I64 a, I64 b) { return _mm256_mul_epu32(a, b); }
    static I64 spread_top(I64 a) {
        return _mm256_shuffle_epi32(_mm256_srai_epi32(a, 31), _MM_SHUFFLE(3, 3, 1, 1));
    }
    static M top_mask(I64 a) { return _mm256_castsi256_pd(spread_top(a)); }
    static I64 gather64(const std::uint64_t* table, I64 index) {
        return _mm256_i64gather_epi64(reinterpret_cast<const long long*>(table), index, 8);
    }
    static D as_double(I64 k) { return _mm256_castsi256_pd(k); }
    static I64 as_int(D a) { return _mm256_castpd_si256(a); }
};

}  // namespace
}  // namespace exact

#endif
