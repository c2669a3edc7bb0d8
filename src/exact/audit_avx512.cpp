// The audit kernels on eight binary64 lanes. Compiled with -mavx512f; called only after the processor was
// found to have it (the AVX-512 scan path).
#if defined(__x86_64__) && defined(__AVX512F__)

// The compiler's own AVX-512 header initialises its "undefined" vectors from themselves, which its
// uninitialised-value warnings report at every inlined use (fixed in later compiler releases).
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "audit_lanes.hpp"

namespace exact {
namespace {

struct Avx512 {
    static constexpr unsigned width = 8;
    using D = __m512d;
    using M = __mmask8;

    static __m512i integers(D v) { return _mm512_castpd_si512(v); }
    static D doubles(__m512i v) { return _mm512_castsi512_pd(v); }
    static __m512i bits_of(std::uint64_t b) { return _mm512_set1_epi64(static_cast<long long>(b)); }

    static D set1(double v) { return _mm512_set1_pd(v); }
    static D widen(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
    static D round_trip(D v) { return _mm512_cvtps_pd(_mm512_cvtpd_ps(v)); }
    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D abs(D v) { return _mm512_abs_pd(v); }
    static D max(D a, D b) { return _mm512_max_pd(a, b); }
    static D trunc(D v) { return _mm512_roundscale_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D and_bits(D v, std::uint64_t m) { return doubles(_mm512_and_si512(integers(v), bits_of(m))); }
    static D or_bits(D a, D b) { return doubles(_mm512_or_si512(integers(a), integers(b))); }
    static D xor_bits(D a, D b) { return doubles(_mm512_xor_si512(integers(a), integers(b))); }
    static D int_sub_bits(std::uint64_t k, D v) { return doubles(_mm512_sub_epi64(bits_of(k), integers(v))); }
    static M same_bits(D a, D b) { return _mm512_cmpeq_epi64_mask(integers(a), integers(b)); }
    static M no_bits(D v, std::uint64_t m) { return _mm512_testn_epi64_mask(integers(v), bits_of(m)); }
    static M eq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M ne(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M either(M a, M b) { return static_cast<M>(a | b); }
    static M both(M a, M b) { return static_cast<M>(a & b); }
    static M but_not(M a, M b) { return static_cast<M>(a & ~b); }
    static D select(M m, D yes, D no) { return _mm512_mask_blend_pd(m, no, yes); }
    static D zero_where(M m, D v) { return _mm512_maskz_mov_pd(static_cast<M>(~m), v); }
    static unsigned bits(M m) { return m; }
};

}  // namespace

const AuditKernels kernels::audit_avx512 = lanes::audit_kernels<Avx512>();

}  // namespace exact

#endif
