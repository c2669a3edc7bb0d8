// A finite float as an integer significand and a power-of-two exponent, the form exact arithmetic works on.
#pragma once

#include <cstdint>

#include "format.hpp"

namespace fp {

template <class F>
struct Significand {
    typename Format<F>::Bits m;  // below 2^precision
    std::int32_t e;              // |v| = m * 2^e
};

// |v| = m * 2^e for a finite v; the sign bit is ignored, so -0.0 and +0.0 both give m = 0.
// Zeros and subnormals take the fixed minimum exponent (m = fraction); normals get the hidden bit.
// Infinities and NaN are not finite values: the result for them is meaningless.
template <class F>
constexpr Significand<F> decompose(F v) {
    using Fmt = Format<F>;
    using Bits = typename Fmt::Bits;
    const Bits b = to_bits(v);
    const Bits fraction = b & Fmt::fraction_mask;
    const auto biased = static_cast<std::int32_t>((b & Fmt::exponent_mask) >> Fmt::fraction_bits);
    if (biased == 0) return {fraction, Fmt::min_quantum_exponent};
    return {Bits(fraction | Fmt::hidden_bit), biased + Fmt::min_quantum_exponent - 1};
}

}  // namespace fp
