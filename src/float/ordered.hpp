// The ordered integer view of a float and the steps and gaps built on it, one template per operation.
#pragma once

#include "format.hpp"

namespace fp {

// Monotone signed view: both zeros give 0, adjacent floats differ by 1, infinities are +-(inf pattern).
// NaNs are not special: a positive NaN lands above +inf, a negative one below -inf.
template <class F>
constexpr typename Format<F>::Ordered to_ordered(F v) {
    using Fmt = Format<F>;
    using Bits = typename Fmt::Bits;
    const Bits b = to_bits(v);
    // Wrap-around subtraction gives -(magnitude) for negative values without a branch on the sign.
    const Bits r = (b & Fmt::sign_mask) ? Bits(Fmt::sign_mask - b) : b;
    return static_cast<typename Fmt::Ordered>(r);
}

// Inverse of to_ordered; 0 gives +0.0, so -0.0 is never produced.
template <class F>
constexpr F from_ordered(typename Format<F>::Ordered k) {
    using Fmt = Format<F>;
    using Bits = typename Fmt::Bits;
    const Bits u = static_cast<Bits>(k);
    return from_bits<F>(k < 0 ? Bits(Fmt::sign_mask - u) : u);
}

// Next float toward +inf. NaN and +inf return themselves; both zeros give the smallest subnormal;
// -min_subnormal gives -0.0; max finite gives +inf; -inf gives -max.
template <class F>
constexpr F next_up(F v) {
    using Fmt = Format<F>;
    using Bits = typename Fmt::Bits;
    const Bits b = to_bits(v);
    if (is_nan_bits<F>(b) || b == Fmt::inf_bits) return v;
    if ((b & Fmt::magnitude_mask) == 0) return from_bits<F>(Bits{1});
    return from_bits<F>((b & Fmt::sign_mask) ? Bits(b - 1) : Bits(b + 1));
}

// Next float toward -inf; the mirror of next_up: next_down(v) == -next_up(-v) for every v.
template <class F>
constexpr F next_down(F v) {
    using Fmt = Format<F>;
    using Bits = typename Fmt::Bits;
    const Bits b = to_bits(v);
    if (is_nan_bits<F>(b) || b == (Fmt::inf_bits | Fmt::sign_mask)) return v;
    if ((b & Fmt::magnitude_mask) == 0) return from_bits<F>(Fmt::sign_mask | Bits{1});
    return from_bits<F>((b & Fmt::sign_mask) ? Bits(b + 1) : Bits(b - 1));
}

// Gap above |v| as binary64: the smallest subnormal for zeros and subnormals, the gap below max for
// max (the gap above would be infinite), and the positive quiet NaN for infinities and NaN.
template <class F>
constexpr double spacing(F v) {
    using Fmt = Format<F>;
    const auto a = to_bits(v) & Fmt::magnitude_mask;
    if (a > Fmt::max_finite_bits) return from_bits<double>(Format<double>::quiet_nan_bits);
    const F mag = from_bits<F>(a);
    if (a == Fmt::max_finite_bits) return static_cast<double>(mag - next_down(mag));
    // Adjacent floats differ by a power of two, so the subtraction in the format is exact.
    return static_cast<double>(next_up(mag) - mag);
}

}  // namespace fp
