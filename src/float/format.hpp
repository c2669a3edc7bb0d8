// The two IEEE 754 binary formats, described once as traits so every bit-level algorithm is one template.
#pragma once

#include <bit>
#include <cstdint>

namespace fp {

enum class Dtype { F32, F64 };

template <class F>
struct FormatTraits;

template <>
struct FormatTraits<float> {
    using Float = float;
    using Bits = std::uint32_t;
    using Ordered = std::int32_t;
    static constexpr Dtype dtype = Dtype::F32;
    static constexpr int width = 32;
    static constexpr int exponent_bits = 8;
    static constexpr int fraction_bits = 23;
    static constexpr int bias = 127;
    static constexpr int precision = 24;  // significand bits, hidden bit included
};

template <>
struct FormatTraits<double> {
    using Float = double;
    using Bits = std::uint64_t;
    using Ordered = std::int64_t;
    static constexpr Dtype dtype = Dtype::F64;
    static constexpr int width = 64;
    static constexpr int exponent_bits = 11;
    static constexpr int fraction_bits = 52;
    static constexpr int bias = 1023;
    static constexpr int precision = 53;
};

// Constants derived from the field widths; identical in shape for both formats.
template <class F>
struct Format : FormatTraits<F> {
    using T = FormatTraits<F>;
    using Bits = typename T::Bits;
    using Ordered = typename T::Ordered;
    static constexpr Bits sign_mask = Bits{1} << (T::width - 1);
    static constexpr Bits magnitude_mask = sign_mask - 1;
    static constexpr Bits fraction_mask = (Bits{1} << T::fraction_bits) - 1;
    static constexpr Bits hidden_bit = Bits{1} << T::fraction_bits;
    static constexpr Bits exponent_mask = magnitude_mask & ~fraction_mask;
    static constexpr Bits inf_bits = exponent_mask;
    static constexpr Bits max_finite_bits = inf_bits - 1;
    static constexpr Bits quiet_nan_bits = inf_bits | (Bits{1} << (T::fraction_bits - 1));
    static constexpr Bits one_bits = Bits(T::bias) << T::fraction_bits;
    static constexpr int max_exponent = T::bias;           // largest normal exponent
    static constexpr int min_exponent = 1 - T::bias;       // smallest normal exponent
    // Exponent of the significand's unit in the last place for subnormals (value = m * 2^e).
    static constexpr int min_quantum_exponent = min_exponent - T::fraction_bits;
};

template <class F>
constexpr typename Format<F>::Bits to_bits(F v) {
    return std::bit_cast<typename Format<F>::Bits>(v);
}

template <class F>
constexpr F from_bits(typename Format<F>::Bits b) {
    return std::bit_cast<F>(b);
}

// True for the infinities and NaN; signed zeros and subnormals are finite.
template <class F>
constexpr bool is_finite_bits(typename Format<F>::Bits b) {
    return (b & Format<F>::magnitude_mask) < Format<F>::inf_bits;
}

template <class F>
constexpr bool is_nan_bits(typename Format<F>::Bits b) {
    return (b & Format<F>::magnitude_mask) > Format<F>::inf_bits;
}

template <class F>
constexpr bool is_finite(F v) {
    return is_finite_bits<F>(to_bits(v));
}

template <class F>
constexpr bool is_nan(F v) {
    return is_nan_bits<F>(to_bits(v));
}

// Round-to-nearest-even narrowing: overflow gives a signed infinity, tiny values keep their sign,
// NaN stays NaN of the same sign with the leading payload bits kept and made quiet.
constexpr float narrow(double v) { return static_cast<float>(v); }

// Exact widening: every binary32 value, NaN included, has a binary64 twin.
constexpr double widen(float v) { return static_cast<double>(v); }

}  // namespace fp
