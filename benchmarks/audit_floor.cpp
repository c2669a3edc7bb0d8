// The floor of a binary32 audit of exp (benchmarks/bench_audit.py): plain loops over the same inputs the
// audit walks (every `step`-th float of the ordered view from `first` on) that evaluate the C library's
// binary64 exp, or its binary32 expf, and nothing else. Built with the project's options, loaded with
// ctypes (which releases the interpreter lock around the call).
#include <cmath>
#include <cstdint>

#include "float/ordered.hpp"

namespace {

float input(std::int64_t first, std::uint64_t step, std::uint64_t i) {
    const auto k = static_cast<std::uint32_t>(static_cast<std::uint64_t>(first) + i * step);
    return fp::from_ordered<float>(static_cast<std::int32_t>(k));
}

// Folds every result in, so the loop cannot be dropped, with a one-cycle dependency between iterations.
template <class T>
std::uint64_t fold(std::uint64_t acc, T v) {
    return acc ^ fp::to_bits(v);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::uint64_t floor_exp_f64(std::int64_t first, std::uint64_t step,
                                                                    std::uint64_t n) {
    std::uint64_t acc = 0;
    for (std::uint64_t i = 0; i < n; ++i) acc = fold(acc, std::exp(static_cast<double>(input(first, step, i))));
    return acc;
}

__attribute__((visibility("default"))) std::uint64_t floor_expf(std::int64_t first, std::uint64_t step,
                                                                 std::uint64_t n) {
    std::uint64_t acc = 0;
    for (std::uint64_t i = 0; i < n; ++i) acc = fold(acc, std::exp(input(first, step, i)));
    return acc;
}

}  // extern "C"
