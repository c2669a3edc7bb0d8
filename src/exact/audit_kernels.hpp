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

// The common pass of a block (see audit_f32 in audit.hpp): for i < count, errors[i] is the error of the
// common input i or -1 for the others, whose offsets go to `others`, ascending; returns how many others.
// The misrounded common inputs are added to `histogram` (the bins of error_bin), the correctly rounded
// ones are left to the caller. The offsets of the common inputs whose error may enter the list of the
// largest errors go to `candidates`: an error above `threshold`, or equal to it at an x below `x_bound`
// (-inf for none).
using CommonPassF32 = std::uint32_t (*)(const float* xs, const float* ys, const double* refs, std::uint32_t count,
                                        double threshold, double x_bound, double* errors, std::uint16_t* others,
                                        std::uint16_t* candidates, std::uint64_t* histogram, CommonStats& stats);

// The inputs where an operation may be exact (see may_be_exact in audit_lanes.hpp), the kernels' one
// dependency on the operation; quotients are exact where square roots and reciprocals are. Values index
// AuditKernels::common_pass.
enum class ExactPoints : std::uint8_t { ZerosAndInfinities, Roots, One, PowersOfTwo, Integers, PowersOfTen };

constexpr ExactPoints exact_points_of(UnaryOp op) {
    switch (op) {
        case UnaryOp::Sqrt:
        case UnaryOp::Recip: return ExactPoints::Roots;
        case UnaryOp::Log: return ExactPoints::One;
        case UnaryOp::Log2:
        case UnaryOp::Rsqrt: return ExactPoints::PowersOfTwo;
        case UnaryOp::Exp2: return ExactPoints::Integers;
        case UnaryOp::Log10: return ExactPoints::PowersOfTen;
        default: return ExactPoints::ZerosAndInfinities;
    }
}

struct AuditKernels {
    CommonPassF32 common_pass[6];
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

}  // namespace exact
