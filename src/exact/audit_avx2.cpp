// The audit kernels on four binary64 lanes. Compiled with -mavx2; called only after the processor was
// found to have it (the AVX2 scan path).
#if defined(__x86_64__) && defined(__AVX2__)

#include <immintrin.h>

#include "audit_lanes.hpp"

namespace exact {
namespace {

struct Avx2 {
    static constexpr unsigned width = 4;
    using D = __m256d;
    using M = __m256d;  // all-ones lanes where true

    static __m256i integers(D v) { return _mm256_castpd_si256(v); }
    static D doubles(__m256i v) { return _mm256_castsi256_pd(v); }
    static D bits_of(std::uint64_t b) { return doubles(_mm256_set1_epi64x(static_cast<long long>(b))); }

    static D set1(double v) { return _mm256_set1_pd(v); }
    static D widen(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D round_trip(D v) { return _mm256_cvtps_pd(_mm256_cvtpd_ps(v)); }
    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D abs(D v) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), v); }
    static D max(D a, D b) { return _mm256_max_pd(a, b); }
    static D trunc(D v) { return _mm256_round_pd(v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    static D and_bits(D v, std::uint64_t m) { return _mm256_and_pd(v, bits_of(m)); }
    static D or_bits(D a, D b) { return _mm256_or_pd(a, b); }
    static D xor_bits(D a, D b) { return _mm256_xor_pd(a, b); }
    static D int_sub_bits(std::uint64_t k, D v) {
        return doubles(_mm256_sub_epi64(_mm256_set1_epi64x(static_cast<long long>(k)), integers(v)));
    }
    static M same_bits(D a, D b) { return doubles(_mm256_cmpeq_epi64(integers(a), integers(b))); }
    static M no_bits(D v, std::uint64_t m) { return same_bits(and_bits(v, m), _mm256_setzero_pd()); }
    static M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M ne(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M either(M a, M b) { return _mm256_or_pd(a, b); }
    static M both(M a, M b) { return _mm256_and_pd(a, b); }
    static M but_not(M a, M b) { return _mm256_andnot_pd(b, a); }
    static D select(M m, D yes, D no) { return _mm256_blendv_pd(no, yes, m); }
    static D zero_where(M m, D v) { return _mm256_andnot_pd(m, v); }
    static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
};

}  // namespace

const AuditKernels kernels::audit_avx2 = lanes::audit_kernels<Avx2>();

}  // namespace exact

#endif
