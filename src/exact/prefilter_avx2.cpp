// The pre-filter kernels on four binary64 lanes. Compiled with -mavx2 -mfma; called only after the
// processor was found to have both.
#if defined(__x86_64__) && defined(__AVX2__) && defined(__FMA__)

#include "lanes_avx2.hpp"
#include "prefilter_kernels.hpp"
#include "prefilter_lanes.hpp"

namespace exact {

const PrefilterKernels kernels::avx2 = lanes::kernels_for<Avx2, PrefilterKernels>();

}  // namespace exact

#endif
