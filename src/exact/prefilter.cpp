// Which pre-filter kernels the processor can run, and the process-wide choice among them.
#include "prefilter.hpp"

#include <atomic>
#include <cfenv>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace exact {

namespace {

#if defined(__x86_64__)
const PrefilterKernels* kernels_of(ScanPath path) {
    switch (path) {
        case ScanPath::Sse2: return &kernels::sse2;
        case ScanPath::Avx2: return &kernels::avx2;
        case ScanPath::Avx512: return &kernels::avx512;
        case ScanPath::Scalar: break;
    }
    return nullptr;
}

const VectorRefKernels* references_of(ScanPath path) {
    switch (path) {
        case ScanPath::Sse2: return &kernels::vector_ref_sse2;
        case ScanPath::Avx2: return &kernels::vector_ref_avx2;
        case ScanPath::Avx512: return &kernels::vector_ref_avx512;
        case ScanPath::Scalar: break;
    }
    return nullptr;
}

// An explicit check rather than multiversioning resolvers, which clash with the sanitizer build. The
// compiler's check also asks the operating system whether it saves the wide registers.
bool processor_has(ScanPath path) {
    switch (path) {
        case ScanPath::Scalar:
        case ScanPath::Sse2: return true;
        case ScanPath::Avx2: __builtin_cpu_init(); return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
        case ScanPath::Avx512: __builtin_cpu_init(); return __builtin_cpu_supports("avx512f");
    }
    return false;
}
#else
const PrefilterKernels* kernels_of(ScanPath) { return nullptr; }
const VectorRefKernels* references_of(ScanPath) { return nullptr; }
bool processor_has(ScanPath path) { return path == ScanPath::Scalar; }
#endif

ScanPath widest_available() {
    for (ScanPath path : {ScanPath::Avx512, ScanPath::Avx2, ScanPath::Sse2})
        if (scan_path_available(path)) return path;
    return ScanPath::Scalar;
}

std::atomic<ScanPath>& current_path() {
    static std::atomic<ScanPath> path{widest_available()};
    return path;
}

}  // namespace

bool float_environment_is_default() {
    if (std::fegetround() != FE_TONEAREST) return false;
#if defined(__x86_64__)
    // The vector control register's flush-to-zero (bit 15), denormals-are-zero (bit 6) and rounding
    // (bits 13-14) fields; the last is what fegetround reports for the vector unit on x86-64.
    return (_mm_getcsr() & 0xE040u) == 0;
#else
    return true;
#endif
}

bool scan_path_available(ScanPath path) { return processor_has(path); }

ScanPath scan_path() { return current_path().load(std::memory_order_relaxed); }

ScanPath set_scan_path(ScanPath path) { return current_path().exchange(path, std::memory_order_relaxed); }

template <>
Candidates<float> prefilter_for<float>(UnaryOp op, ScanPath path) {
    const PrefilterKernels* k = kernels_of(path);
    if (k == nullptr) return {};
    if (op == UnaryOp::Sqrt) return {k->sqrt_f32, estimate_margin<float>};
    if (op == UnaryOp::Recip) return {k->recip_f32, estimate_margin<float>};
    if (!has_vector_ref(op)) return {};
    return {references_of(path)->candidates[static_cast<std::size_t>(op)], vector_ref_margin(op)};
}

template <>
Candidates<double> prefilter_for<double>(UnaryOp op, ScanPath path) {
    const PrefilterKernels* k = kernels_of(path);
    if (k == nullptr || op != UnaryOp::Sqrt) return {};
    return {k->sqrt_f64, estimate_margin<double>};
}

EstimatesF32 estimates_f32(UnaryOp op, ScanPath path) {
    const PrefilterKernels* k = kernels_of(path);
    if (k == nullptr) return nullptr;
    if (op == UnaryOp::Sqrt) return k->sqrt_f32_estimates;
    if (op == UnaryOp::Recip) return k->recip_f32_estimates;
    return has_vector_ref(op) ? references_of(path)->estimates[static_cast<std::size_t>(op)] : nullptr;
}

ValuesF32 values_f32(UnaryOp op, ScanPath path) {
    const VectorRefKernels* k = references_of(path);
    return k != nullptr && has_vector_ref(op) ? k->values[static_cast<std::size_t>(op)] : nullptr;
}

EstimatesF64 estimates_f64(ScanPath path) {
    const PrefilterKernels* k = kernels_of(path);
    return k != nullptr ? k->sqrt_f64_estimates : nullptr;
}

}  // namespace exact
