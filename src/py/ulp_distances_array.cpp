// Private entry point of the package's array form of ulp_distances: the distance of every pair of bit
// patterns of one format, in one pass over two contiguous buffers, into a uint64 buffer. The package
// hands over the patterns (any format up to 64 bits wide, the 16-bit ones included) and keeps the buffers
// alive for the call; the limited API of 3.9 has no buffer protocol, so they come as addresses.
#include <cstddef>
#include <cstdint>

#include "frame.hpp"
#include "registry.hpp"
#include "thread_exit.hpp"

namespace py {

namespace {

// out[i] = the number of floats from a[i] to b[i] for every i < n (-0 and +0 count as one float); the first
// i where a[i] or b[i] is a NaN (magnitude above `inf`, the pattern of +inf), or n when neither side holds
// one. A NaN pair's out[i] is meaningless. Of one sign the distance is the difference of the magnitudes,
// across zero their sum (up to 2^64 - 2 in binary64). Written without branches or signed 64-bit compares,
// which SSE2 lacks, so that the compiler can vectorise the loop for every width.
template <class Bits>
std::uint64_t distances(const Bits* a, const Bits* b, std::uint64_t* out, std::uint64_t n, Bits inf) {
    constexpr unsigned top = sizeof(Bits) * 8 - 1;
    constexpr std::uint64_t magnitude = (std::uint64_t{1} << top) - 1;
    const std::uint64_t limit = inf;
    std::uint64_t nan = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t x = a[i], y = b[i];
        const std::uint64_t mx = x & magnitude, my = y & magnitude;
        // Magnitudes are below 2^63: limit - m wraps past 2^63 exactly when m > limit.
        nan |= ((limit - mx) | (limit - my)) >> 63;
        const std::uint64_t difference = mx - my;
        const std::uint64_t negative = 0 - (difference >> 63);
        const std::uint64_t apart = (difference ^ negative) - negative;  // |mx - my|
        const std::uint64_t across = 0 - ((x ^ y) >> top);                // all ones when the signs differ
        out[i] = ((mx + my) & across) | (apart & ~across);
    }
    if (nan == 0) return n;  // NaNs are rare: their position is looked for only when there is one
    for (std::uint64_t i = 0; i < n; ++i)
        if ((a[i] & magnitude) > limit || (b[i] & magnitude) > limit) return i;
    return n;
}

template <class Bits>
std::uint64_t run(std::uint64_t a, std::uint64_t b, std::uint64_t out, std::uint64_t n, std::uint64_t inf) {
    const auto* xs = reinterpret_cast<const Bits*>(static_cast<std::uintptr_t>(a));
    const auto* ys = reinterpret_cast<const Bits*>(static_cast<std::uintptr_t>(b));
    auto* ds = reinterpret_cast<std::uint64_t*>(static_cast<std::uintptr_t>(out));
    Released released;
    return distances<Bits>(xs, ys, ds, n, static_cast<Bits>(inf));
}

constexpr Function ulp_distances_array_declaration{
    "_ulp_distances_array",
    Params{Arg<std::uint64_t>{"a"}, Arg<std::uint64_t>{"b"}, Arg<std::uint64_t>{"out"}, Arg<std::uint64_t>{"n"},
           Arg<std::uint64_t>{"width"}, Arg<std::uint64_t>{"inf"}},
    "Private: out[i] = the ulp distance of the bit patterns a[i] and b[i] (`width` bytes each, +inf being\n"
    "the pattern `inf`) into the uint64 buffer at address out; returns the first index holding a NaN, or n."};

}  // namespace

const Registration ulp_distances_array_binding = registered<ulp_distances_array_declaration>(
    [](std::uint64_t a, std::uint64_t b, std::uint64_t out, std::uint64_t n, std::uint64_t width,
       std::uint64_t inf) -> Result<std::uint64_t> {
        if (n != 0 && (a == 0 || b == 0 || out == 0)) return CallError::value_error("null buffer");
        // +inf's pattern lies below the sign bit; every magnitude above it is a NaN.
        if (width != 2 && width != 4 && width != 8) return CallError::value_error("width must be 2, 4 or 8");
        if (inf == 0 || (width < 8 && inf >> (width * 8 - 1) != 0) || inf >> 63 != 0)
            return CallError::value_error("inf is not a pattern below the sign bit");
        switch (width) {
            case 2: return run<std::uint16_t>(a, b, out, n, inf);
            case 4: return run<std::uint32_t>(a, b, out, n, inf);
            default: return run<std::uint64_t>(a, b, out, n, inf);
        }
    });

}  // namespace py
