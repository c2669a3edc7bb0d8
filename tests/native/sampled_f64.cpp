// Checks the binary64 square-root and division oracles against the independent integer model on sampled
// bit patterns: uniform ones, and ones concentrated near powers of two, among subnormals, at the overflow
// edge, around the underflow to zero, and on exact squares. Samples depend only on --seed and the index.
//
// Usage: sampled_f64 [--count N] [--seed S] [--threads N]. Exit status 0 when everything agrees.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "check_driver.hpp"
#include "exact/oracles.hpp"
#include "exact_model.hpp"

namespace {

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

double from(std::uint64_t bits) { return std::bit_cast<double>(bits); }
std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// A positive finite pattern within `spread` patterns of the given one.
double around(Rng& rng, std::uint64_t center, std::int64_t spread) {
    const std::int64_t b = static_cast<std::int64_t>(center) + rng.between(-spread, spread);
    return from(static_cast<std::uint64_t>(std::clamp<std::int64_t>(b, 1, max_bits)));
}

double positive(Rng& rng) { return from(1 + rng.below(max_bits)); }

double near_power_of_two(Rng& rng) { return around(rng, rng.between(1, 2046) << 52, 64); }

// A dividend that makes x / y land near 2^k, for a y of the caller's choosing.
double dividend_near(Rng& rng, double y, int k, std::int64_t spread) {
    const double target = std::ldexp(y, k);
    if (!(target > 0) || std::isinf(target)) return positive(rng);
    return around(rng, bits(target), spread);
}

std::pair<double, double> sample(std::uint64_t seed, std::uint64_t index) {
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

struct Local {
    check::Counts sqrt, div;
    std::uint64_t div_failures = 0;  // InternalFailure on a quotient that rounds to zero, as documented
};

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t count = check::option(argc, argv, "--count", 10'000'000);
    const std::uint64_t seed = check::option(argc, argv, "--seed", 1);
    const unsigned threads = check::threads(argc, argv);

    check::Tally tally;
    check::Counts sqrt_counts, div_counts;
    std::uint64_t div_failures = 0;
    std::mutex merge_lock;
    const check::Stopwatch clock;
    check::parallel_chunks(count, threads, [&](std::uint64_t begin, std::uint64_t end) {
        Local local;
        char where[96];
        for (std::uint64_t i = begin; i < end; ++i) {
            const auto [x, y] = sample(seed, i);
            const auto got_sqrt = exact::sqrt_midpoint(x);
            local.sqrt.add(got_sqrt);
            const std::string bad_sqrt = model::mismatch(got_sqrt, model::sqrt_answer(x));
            if (!bad_sqrt.empty()) {
                std::snprintf(where, sizeof where, "sqrt %a: ", x);
                tally.fail(where + bad_sqrt);
            }
            const model::Expected<double> want = model::div_answer(x, y);
            std::string bad_div;
            try {
                const auto got = exact::div_midpoint(x, y);
                local.div.add(got);
                bad_div = model::mismatch(got, want);
            } catch (const exact::InternalFailure& f) {
                ++local.div_failures;
                if (!(want.has_report && want.rounded == 0 && f.message == "exact residual overflowed u128"))
                    bad_div = "unexpected failure: " + f.message;
            }
            if (!bad_div.empty()) {
                std::snprintf(where, sizeof where, "div %a / %a: ", x, y);
                tally.fail(where + bad_div);
            }
        }
        sqrt_counts.merge(local.sqrt, merge_lock);
        div_counts.merge(local.div, merge_lock);
        std::lock_guard<std::mutex> hold(merge_lock);
        div_failures += local.div_failures;
    });
    std::printf("binary64 samples checked: %llu (seed %llu, %u threads) in %.1f s\n",
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(seed), threads,
                clock.seconds());
    sqrt_counts.print("sqrt");
    div_counts.print("div");
    std::printf("div: %llu underflows to zero failed with \"exact residual overflowed u128\"\n",
                static_cast<unsigned long long>(div_failures));
    std::printf("mismatches: %llu\n", static_cast<unsigned long long>(tally.failures()));
    return tally.failures() == 0 ? 0 : 1;
}
