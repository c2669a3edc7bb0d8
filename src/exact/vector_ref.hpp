// Vector references: binary64 estimates of the library-based binary32 operations, computed in vector
// registers with a proven bound on their distance from the exact result (not from the platform's function).
// The scans use them to pre-filter their inputs (prefilter.hpp); the estimates also serve anyone who needs
// "op of these N binary32 inputs, to within a known bound" (audits, worst cases).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "catalogue.hpp"
#include "prefilter_kernels.hpp"
#include "vector_ref_constants.hpp"

namespace exact {

// out[i] = v, an estimate of t = op(x[i]) for i < count: |v - t| <= vector_ref_relative_error(op) |t| + 2^-200
// wherever |t| <= 2^130; |v| >= 2^129 with t's sign where |t| > 2^130 (infinities included); NaN where t
// is NaN. Correct in the default float environment only (round to nearest, subnormals kept).
using ValuesF32 = void (*)(const float* x, std::uint32_t count, double* out);

// One instruction set's kernels, indexed by UnaryOp; null for operations without a vector reference. The
// candidates and estimates kernels walk ordered values as those of prefilter_kernels.hpp do.
struct VectorRefKernels {
    std::array<CandidatesF32, unary_op_count> candidates{};
    std::array<EstimatesF32, unary_op_count> estimates{};
    std::array<ValuesF32, unary_op_count> values{};
};

namespace kernels {
// Each is defined in its own translation unit, compiled for its instruction set (vector_ref_*.cpp).
extern const VectorRefKernels vector_ref_sse2;
extern const VectorRefKernels vector_ref_avx2;
extern const VectorRefKernels vector_ref_avx512;
}  // namespace kernels

// The proven relative error of op's estimates (tools/prove_vector_bounds.py), or 0 for an operation that
// has no vector reference.
constexpr double vector_ref_relative_error(UnaryOp op) {
    for (const vref::Bound& b : vref::bounds)
        if (std::string_view(b.op) == unary_op_name(op)) return b.relative_error;
    return 0;
}

constexpr bool has_vector_ref(UnaryOp op) { return vector_ref_relative_error(op) > 0; }

// Only library-based operations have one, and no bound is large enough to spoil the pre-filter.
consteval bool vector_ref_bounds_are_sound() {
    for (std::size_t i = 0; i < unary_op_count; ++i) {
        const auto op = static_cast<UnaryOp>(i);
        const double eps = vector_ref_relative_error(op);
        if ((eps > 0 && !is_library_based(op)) || eps > 0x1p-40) return false;
    }
    return true;
}
static_assert(vector_ref_bounds_are_sound());

// Largest distance, in binary32 gaps, between the distance from a midpoint that an estimate gives and the
// exact result's: 2^24 eps / (1 - eps) + 2^-51 (vector_ref_lanes.hpp), rounded up generously.
constexpr double vector_ref_distance_error(UnaryOp op) {
    return 0x1p24 * vector_ref_relative_error(op) * (1 + 0x1p-20) + 0x1p-51;
}

// How far the scans' binary64 judgement (the platform's function, then its distance) is assumed to lie
// from the exact distance, in binary32 gaps: the assumption the certified scans rest on as well
// (fpscope._certify.MARGIN), hundreds of times the error of common maths libraries.
inline constexpr double platform_error_ulp = 1e-6;

// The margin a scan's threshold adds to its tolerance for op: an input is kept back only when its estimate
// is at or above tol + margin, which puts the exact distance at or above tol + platform_error_ulp and the
// binary64 judgement's at or above tol, so the input is no hit of the scan (which reports the binary64
// judgement). The factor covers the rounding of the sums.
constexpr double vector_ref_margin(UnaryOp op) {
    return (vector_ref_distance_error(op) + platform_error_ulp) * (1 + 0x1p-20);
}

}  // namespace exact
