// Binary64 operand pairs for the sampled checks: uniform bit patterns, and ones concentrated near powers of
// two, among subnormals, at the overflow edge, around the underflow to zero, and on exact squares. A sample
// depends only on the seed and its index, so any run can be repeated and split across threads.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace samples {

constexpr std::uint64_t inf_bits = 0x7ff0000000000000;
constexpr std::uint64_t max_bits = inf_bits - 1;
constexpr std::uint64_t one_bits = 0x3ff0000000000000;

class Rng {
public:
    explicit Rng(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {  // splitmix64
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    std::uint64_t below(std::uint64_t n) { return next() % n; }
    std::int64_t between(std::int64_t lo, std::int64_t hi) { return lo + static_cast<std::int64_t>(below(hi - lo + 1)); }

private:
    std::uint64_t state_;
};

inline double from(std::uint64_t bits) { return std::bit_cast<double>(bits); }
inline std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// A positive finite pattern within `spread` patterns of the given one.
inline double around(Rng& rng, std::uint64_t center, std::int64_t spread) {
    const std::int64_t b = static_cast<std::int64_t>(center) + rng.between(-spread, spread);
    return from(static_cast<std::uint64_t>(std::clamp<std::int64_t>(b, 1, max_bits)));
}

inline double positive(Rng& rng) { return from(1 + rng.below(max_bits)); }

inline double near_power_of_two(Rng& rng) { return around(rng, rng.between(1, 2046) << 52, 64); }

// A dividend that makes x / y land near 2^k, for a y of the caller's choosing.
inline double dividend_near(Rng& rng, double y, int k, std::int64_t spread) {
    const double target = std::ldexp(y, k);
    if (!(target > 0) || std::isinf(target)) return positive(rng);
    return around(rng, bits(target), spread);
}

inline std::pair<double, double> sample(std::uint64_t seed, std::uint64_t index) {
    Rng rng(seed * 0x100000001b3 + index);
    switch (index % 8) {
        case 0:  // any pattern: negatives, zeros, infinities and NaN included
            return {from(rng.next()), from(rng.next())};
        case 1:
            return {positive(rng), positive(rng)};
        case 2:
            return {near_power_of_two(rng), near_power_of_two(rng)};
        case 3: {  // quotients near a power of two
            const double y = positive(rng);
            return {dividend_near(rng, y, static_cast<int>(rng.between(-60, 60)), 8), y};
        }
        case 4: {  // subnormal dividends, over subnormal, unit-sized or power-of-two divisors
            const double x = from(rng.below(2) ? 1 + rng.below(std::uint64_t{1} << 52) : 1 + rng.below(1024));
            const std::uint64_t pick = rng.below(3);
            const double y = pick == 0 ? from(1 + rng.below(std::uint64_t{1} << 52))
                             : pick == 1 ? around(rng, one_bits, 1 << 20)
                                         : std::ldexp(1.0, static_cast<int>(rng.between(-60, 140)));
            return {x, y};
        }
        case 5: {  // the overflow edge: large dividends over divisors near 1 or below it
            const double x = around(rng, max_bits - (1 << 20), 1 << 20);
            const double y = rng.below(2) ? around(rng, one_bits, 1 << 10) : dividend_near(rng, x, -1024, 4);
            return {x, y};
        }
        case 6: {  // quotients near the smallest normal, among subnormals, and rounding to zero
            const double y = from(rng.between(0x3000000000000000, 0x7000000000000000));
            return {dividend_near(rng, y, static_cast<int>(rng.between(-1140, -1010)), 1 << 10), y};
        }
        default: {  // exact squares and their neighbours, over random divisors
            const double root = std::ldexp(static_cast<double>(1 + rng.below(std::uint64_t{1} << 26)),
                                           static_cast<int>(rng.between(-560, 480)));
            return {around(rng, bits(root * root), 2), positive(rng)};
        }
    }
}

}  // namespace samples
