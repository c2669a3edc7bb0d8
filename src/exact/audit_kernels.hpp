// The vector kernels of binary32 audits, as plain function pointers: the only thing the instruction-set
// specific translation units share with the rest of the build.
#pragma once

#include <cstdint>

#include "catalogue.hpp"
#include "prefilter.hpp"

namespace exact {

// The binary64 truth is trusted to this many binary32 ulps; anything a smaller error could change is
// uncertain. It is hundreds of times the error of common maths libraries' binary64 functions.
inline constexpr double audit_margin = 1e-6;

// The margin of a common pass over op's vector reference: its proven distance from the exact result (in
// ulps of the estimate's binade: |v - t| <= eps |t| <= eps |v| / (1 - eps) < 2^24 eps / (1 - eps) ulps,
// plus 2^-200 absolute, 2^-51 ulps of the subnormals) and the margin the platform's function is trusted to.
// An input decided with it is decided alike for every value within either of the estimate, so the
// judgement is the exact one and the one the platform's function gives (the scalar path's). The factor
// covers the roundings of the sums.
constexpr double vector_audit_margin(UnaryOp op) {
    return (vector_ref_distance_error(op) + audit_margin) * (1 + 0x1p-20);
}

// Histogram bins: exactly 0, (0, 0.5], (0.5, 1], (1, 2], (2, 4], ..., (2^19, 2^20], beyond 2^20.
inline constexpr int error_bin_count = 24;

// The kernels see at most this many inputs per call, so offsets fit 16 bits; their buffers hold a
// multiple of every lane count, the lanes past `count` filled with copies of the first input's.
inline constexpr std::uint32_t audit_block = 256;

// What a common pass found besides the others: the largest error of the common inputs (-1 without any),
// whether the inputs may lie in more than one binade (sign and exponent), how many of the common inputs
// overflow and how many are misrounded, and how many of them are candidates for the list of the largest
// errors.
struct CommonStats {
    double max_error;
    bool binades_differ;
    std::uint32_t overflowed;
    std::uint32_t misrounded;
    std::uint32_t candidates;
};

// The common pass of a block (see audit_f32 in audit.hpp), for references trusted to `margin` binary32 ulps
// (audit_margin, or vector_audit_margin for a vector reference): for i < count, errors[i] is the error of
// the common input i or -1 for the others, whose offsets go to `others`, ascending; returns how many others.
// The misrounded common inputs are added to `histogram` (the bins of error_bin), the correctly rounded
// ones are left to the caller. The offsets of the common inputs whose error may enter the list of the
// largest errors go to `candidates`: an error above `threshold`, or equal to it at an x below `x_bound`
// (-inf for none).
using CommonPassF32 = std::uint32_t (*)(const float* xs, const float* ys, const double* refs, std::uint32_t count,
                                        double margin, double threshold, double x_bound, double* errors,
                                        std::uint16_t* others, std::uint16_t* candidates, std::uint64_t* histogram,
                                        CommonStats& stats);

// The inputs where an operation may be exact (see may_be_exact in audit_lanes.hpp), the kernels' one
// dependency on the operation; quotients are exact where square roots and reciprocals are. Values index
// AuditKernels::common_pass. Unlisted: C's other operations, whose exact points the package knows
// (fpscope._mathlib); the kernel leaves to the full judgement every input whose reference lies within the
// margin of a float, where the result may be that float, and every infinite reference, which may be a pole.
enum class ExactPoints : std::uint8_t { ZerosAndInfinities, Roots, One, PowersOfTwo, Integers, PowersOfTen, Unlisted };

constexpr ExactPoints exact_points_of(UnaryOp op) {
    switch (op) {
        case UnaryOp::Sqrt:
        case UnaryOp::Recip: return ExactPoints::Roots;
        case UnaryOp::Log: return ExactPoints::One;
        case UnaryOp::Log2:
        case UnaryOp::Rsqrt: return ExactPoints::PowersOfTwo;
        case UnaryOp::Exp2: return ExactPoints::Integers;
        case UnaryOp::Log10: return ExactPoints::PowersOfTen;
        default: return static_cast<std::size_t>(op) < unary_op_count ? ExactPoints::ZerosAndInfinities
                                                                      : ExactPoints::Unlisted;
    }
}

struct AuditKernels {
    CommonPassF32 common_pass[7];
};

namespace kernels {
// Each is defined in its own translation unit: the baseline one (one lane, built everywhere), and on
// x86-64 the ones compiled for AVX2 and AVX-512.
extern const AuditKernels audit_baseline;
extern const AuditKernels audit_avx2;
extern const AuditKernels audit_avx512;
}  // namespace kernels

// The common pass of `path` for results exact at `points`, or null on the scalar path, where every input
// takes the full judgement (the reference the faster paths are tested against). The SSE2 path runs the
// baseline kernels.
CommonPassF32 common_pass_f32(ExactPoints points, ScanPath path);

inline CommonPassF32 common_pass_f32(UnaryOp op, ScanPath path) { return common_pass_f32(exact_points_of(op), path); }

// Quotients are exact where square roots and reciprocals are; hypot, atan2 and pow have their exact points
// decided by the package, as C's other unary operations.
constexpr ExactPoints exact_points_of(BinaryOp op) {
    return op == BinaryOp::Div ? ExactPoints::Roots : ExactPoints::Unlisted;
}

}  // namespace exact
