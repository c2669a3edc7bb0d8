// The pre-filter kernels on eight binary64 lanes. Compiled with -mavx512f; called only after the processor
// was found to have it.
#if defined(__x86_64__) && defined(__AVX512F__)

#include "lanes_avx512.hpp"
#include "prefilter_kernels.hpp"
#include "prefilter_lanes.hpp"

namespace exact {

const PrefilterKernels kernels::avx512 = lanes::kernels_for<Avx512, PrefilterKernels>();

}  // namespace exact

#endif
