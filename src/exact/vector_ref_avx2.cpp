// The vector references on four binary64 lanes. Compiled with -mavx2 -mfma; called only after the
// processor was found to have both.
#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)

#include "lanes_avx2.hpp"
#include "vector_ref.hpp"
#include "vector_ref_lanes.hpp"

namespace exact {

const VectorRefKernels kernels::vector_ref_avx2 = vref_lanes::kernels_for<Avx2, VectorRefKernels>();

}  // namespace exact

#endif
