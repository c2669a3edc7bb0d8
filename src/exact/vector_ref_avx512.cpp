// The vector references on eight binary64 lanes. Compiled with -mavx512f; called only after the
// processor was found to have it.
#if defined(__x86_64__) && defined(__AVX512F__)

#include "lanes_avx512.hpp"
#include "vector_ref.hpp"
#include "vector_ref_lanes.hpp"

namespace exact {

const VectorRefKernels kernels::vector_ref_avx512 = vref_lanes::kernels_for<Avx512, VectorRefKernels>();

}  // namespace exact

#endif
