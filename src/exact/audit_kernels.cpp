// Which audit kernels a path runs.
#include "audit_kernels.hpp"

namespace exact {

CommonPassF32 common_pass_f32(ExactPoints points, ScanPath path) {
    const AuditKernels* k = nullptr;
    switch (path) {
        case ScanPath::Scalar: return nullptr;
        case ScanPath::Sse2: k = &kernels::audit_baseline; break;
#if defined(__x86_64__)
        case ScanPath::Avx2: k = &kernels::audit_avx2; break;
        case ScanPath::Avx512: k = &kernels::audit_avx512; break;
#else
        default: k = &kernels::audit_baseline; break;
#endif
    }
    return k->common_pass[static_cast<std::size_t>(points)];
}

}  // namespace exact
