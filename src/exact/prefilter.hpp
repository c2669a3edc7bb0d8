// The scan pre-filter: blocks of inputs whose distances are estimated in vector registers, so that only the
// inputs that may lie within the tolerance reach the oracle. It never changes a scan's answer: for square
// roots and reciprocals the estimates are bounded against the exact oracles themselves; for the
// library-based operations against the exact results (vector_ref.hpp), with the margin the binary64
// judgement of the scans needs (vector_ref_margin).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "catalogue.hpp"
#include "float/format.hpp"
#include "float/ordered.hpp"
#include "prefilter_kernels.hpp"
#include "vector_ref.hpp"

namespace exact {

// How the scans walk their inputs: every input through the oracle, or pre-filtered with the kernels of one
// instruction set. Values in the order of scan_path_names.
enum class ScanPath : std::uint8_t { Scalar, Sse2, Avx2, Avx512 };

inline constexpr std::array<std::string_view, 4> scan_path_names = {"scalar", "sse2", "avx2", "avx512"};

constexpr std::string_view scan_path_name(ScanPath path) { return scan_path_names[static_cast<std::size_t>(path)]; }

// Whether this build and this processor can run the path (the scalar one always can).
bool scan_path_available(ScanPath path);

// The path new scans take: the widest available one unless set_scan_path chose another. Process-wide;
// a scan reads it once, when it starts.
ScanPath scan_path();

// Makes `path` (which must be available) the one new scans take; returns the previous one.
ScanPath set_scan_path(ScanPath path);

// A candidates kernel and the margin its threshold adds to the tolerance (see prefilter_threshold); a null
// kernel passes every input to the oracle.
template <class Kernel>
struct Prefilter {
    Kernel kernel = nullptr;
    double margin = 0;
};

template <class F>
using Candidates =
    Prefilter<std::conditional_t<fp::Format<F>::dtype == fp::Dtype::F32, CandidatesF32, CandidatesF64>>;

// The pre-filter of `path` for op on F, with a null kernel when the scan walks every input through the
// oracle (the scalar path, and operations without a pre-filter).
template <class F>
Candidates<F> prefilter_for(UnaryOp op, ScanPath path);
template <>
Candidates<float> prefilter_for<float>(UnaryOp op, ScanPath path);
template <>
Candidates<double> prefilter_for<double>(UnaryOp op, ScanPath path);

// The estimates kernel of `path` for op on F, or null (for the native checks of the error bound).
EstimatesF32 estimates_f32(UnaryOp op, ScanPath path);
EstimatesF64 estimates_f64(ScanPath path);

// The vector reference of `path` for a library-based op (values of op at given binary32 inputs, within
// vector_ref_relative_error), or null for the scalar path and the other operations.
ValuesF32 values_f32(UnaryOp op, ScanPath path);

// Whether the float environment is the one the estimates' error bounds assume: rounding to nearest, and
// (on x86-64) neither flushing subnormal results nor treating subnormal operands as zero. In any other,
// the walk hands every input to the oracle.
bool float_environment_is_default();

// Square roots and reciprocals: the largest distance between an estimate and the oracle's own distance,
// and the margin the threshold adds to the tolerance (see prefilter_lanes.hpp for the derivation).
template <class F>
inline constexpr double estimate_error = fp::Format<F>::dtype == fp::Dtype::F32 ? 0x1p-29 : 0x1p-50;
template <class F>
inline constexpr double estimate_margin = fp::Format<F>::dtype == fp::Dtype::F32 ? 0x1p-28 : 0x1p-46;

// The kernels keep an input back from the oracle only when its estimate is at or above this threshold.
// An oracle distance below tol puts the estimate below tol + the estimate's error, so below the threshold
// (the rounding of the sum loses far less than the margin's excess, and a tolerance above 1/2 admits every
// input anyway). No input is a hit at a NaN tolerance, so then every trusted estimate is kept back.
inline double prefilter_threshold(double tol_ulp, double margin) {
    if (tol_ulp != tol_ulp) return -std::numeric_limits<double>::infinity();
    return tol_ulp + margin;
}

// Calls visit(x) for the inputs x = from_ordered(first + i * step), begin <= i < end (wrap-around
// arithmetic on the format's bits), that may be hits at tol_ulp, in ascending i; with a null kernel, for
// all of them. Stops when visit returns false. Returns the position after the last input covered: end, or
// one past the input where visit stopped. A walk can go through its positions in one call or in
// consecutive parts (to poll for signals between them, say) with the same outcome.
template <class F, class Visit>
std::uint64_t visit_candidates(Candidates<F> kernel, typename fp::Format<F>::Ordered first,
                               typename fp::Format<F>::Bits step, std::uint64_t begin, std::uint64_t end,
                               double tol_ulp, Visit visit) {
    using Bits = typename fp::Format<F>::Bits;
    using Ordered = typename fp::Format<F>::Ordered;
    const auto at = [&](std::uint64_t i) {
        return static_cast<Ordered>(static_cast<Bits>(static_cast<Bits>(first) + static_cast<Bits>(i) * step));
    };
    if (kernel.kernel != nullptr && !float_environment_is_default()) kernel.kernel = nullptr;
    if (kernel.kernel == nullptr) {
        Ordered k = at(begin);
        for (std::uint64_t i = begin; i < end; ++i, k = static_cast<Ordered>(static_cast<Bits>(k) + step))
            if (!visit(fp::from_ordered<F>(k))) return i + 1;
        return end;
    }
    const double threshold = prefilter_threshold(tol_ulp, kernel.margin);
    std::uint32_t offsets[prefilter_block];
    for (std::uint64_t start = begin; start < end; start += prefilter_block) {
        const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(prefilter_block, end - start));
        const std::uint32_t found = kernel.kernel(at(start), step, n, threshold, offsets);
        for (std::uint32_t j = 0; j < found; ++j) {
            const std::uint64_t i = start + offsets[j];
            if (!visit(fp::from_ordered<F>(at(i)))) return i + 1;
        }
    }
    return end;
}

}  // namespace exact
