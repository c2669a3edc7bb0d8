// The ascending walk over the ordered values of a closed float range, in steps that never overflow.
#pragma once

#include <cstdint>
#include <optional>

#include "float/ordered.hpp"

namespace py {

// The ordered values first, first + step, first + 2 step, ... up to last (first <= last).
template <class F>
struct OrderedWalk {
    using Ordered = typename fp::Format<F>::Ordered;
    using Bits = typename fp::Format<F>::Bits;

    Ordered first;
    Ordered last;

    // How many values the walk visits; at least 1. The width last - first of a range of non-NaN
    // floats fits the unsigned type of the format, so neither the difference nor the count overflows.
    std::uint64_t count(std::uint64_t step) const {
        return static_cast<std::uint64_t>(static_cast<Bits>(static_cast<Bits>(last) - static_cast<Bits>(first))) /
                   step +
               1;
    }

    // The value `step` above k, in wrap-around arithmetic: callers bound the walk by count(), so the
    // value is only used when it lies within [first, last].
    static Ordered advance(Ordered k, Bits step) { return static_cast<Ordered>(static_cast<Bits>(k) + step); }
};

// [lo, hi] brought into the format (binary32 narrows, rounding to nearest) as an ordered walk; no walk
// when the range is empty, which includes a NaN at either end.
template <class F>
std::optional<OrderedWalk<F>> ordered_walk(double lo, double hi) {
    const F low = static_cast<F>(lo), high = static_cast<F>(hi);
    if (!(high >= low)) return std::nullopt;
    return OrderedWalk<F>{fp::to_ordered(low), fp::to_ordered(high)};
}

}  // namespace py
