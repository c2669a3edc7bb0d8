// The vector kernels of the scan pre-filter, as plain function pointers: the only thing the instruction-set
// specific translation units share with the rest of the build.
#pragma once

#include <cstdint>

namespace exact {

// The kernels see at most this many inputs per call, so offsets fit 32 bits and fixed buffers suffice.
inline constexpr std::uint32_t prefilter_block = 2048;

// The inputs of a block are from_ordered(first + i * step), i < count, in the wrap-around arithmetic of the
// format's bits. A candidates kernel writes to out, ascending, the offsets i of the inputs that the exact
// oracle must decide at the given threshold (see prefilter.hpp) and returns how many it wrote. An estimates
// kernel writes each input's estimated distance to out[i], or NaN where the estimate is not trusted.
using CandidatesF32 = std::uint32_t (*)(std::int32_t first, std::uint32_t step, std::uint32_t count,
                                        double threshold, std::uint32_t* out);
using CandidatesF64 = std::uint32_t (*)(std::int64_t first, std::uint64_t step, std::uint32_t count,
                                        double threshold, std::uint32_t* out);
using EstimatesF32 = void (*)(std::int32_t first, std::uint32_t step, std::uint32_t count, double* out);
using EstimatesF64 = void (*)(std::int64_t first, std::uint64_t step, std::uint32_t count, double* out);

// One instruction set's kernels: binary32 square root and reciprocal, binary64 square root.
struct PrefilterKernels {
    CandidatesF32 sqrt_f32;
    CandidatesF32 recip_f32;
    CandidatesF64 sqrt_f64;
    EstimatesF32 sqrt_f32_estimates;
    EstimatesF32 recip_f32_estimates;
    EstimatesF64 sqrt_f64_estimates;
};

namespace kernels {
// Each is defined in its own translation unit, compiled for its instruction set; on processors other than
// x86-64 they are not built and the scan uses the scalar loop.
extern const PrefilterKernels sse2;
extern const PrefilterKernels avx2;
extern const PrefilterKernels avx512;
}  // namespace kernels

}  // namespace exact
