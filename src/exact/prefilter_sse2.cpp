// The pre-filter kernels on two binary64 lanes (SSE2, every x86-64 processor has it).
#if defined(__x86_64__)

#include "lanes_sse2.hpp"
#include "prefilter_kernels.hpp"
#include "prefilter_lanes.hpp"

namespace exact {

const PrefilterKernels kernels::sse2 = lanes::kernels_for<Sse2, PrefilterKernels>();

}  // namespace exact

#endif
