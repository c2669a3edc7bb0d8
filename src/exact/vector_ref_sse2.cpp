// The vector references on two binary64 lanes (SSE2, every x86-64 processor has it).
#if defined(__x86_64__)

#include "lanes_sse2.hpp"
#include "vector_ref.hpp"
#include "vector_ref_lanes.hpp"

namespace exact {

const VectorRefKernels kernels::vector_ref_sse2 = vref_lanes::kernels_for<Sse2, VectorRefKernels>();

}  // namespace exact

#endif
