// The pre-filter kernels on two binary64 lanes (SSE2, every x86-64 processor has it).
#if defined(__x86_64__)

#include <emmintrin.h>

#include "prefilter_kernels.hpp"
#include "prefilter_lanes.hpp"

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
    static M lt(D a, D b) { return _mm_cmplt_pd(a, b); }
    static M eq(D a, D b) { return _mm_cmpeq_pd(a, b); }
    static M both(M a, M b) { return _mm_and_pd(a, b); }
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
    static D as_double(I64 k) { return _mm_castsi128_pd(k); }
};

}  // namespace

const PrefilterKernels kernels::sse2 = lanes::kernels_for<Sse2, PrefilterKernels>();

}  // namespace exact

#endif
