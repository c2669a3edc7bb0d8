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
#include "f64_samples.hpp"

namespace {

struct Local {
    check::Counts sqrt, div;
    std::uint64_t div_failures = 0;  // every InternalFailure is a mismatch: the oracles never fail
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
            const auto [x, y] = samples::sample(seed, i);
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
    std::printf("div: %llu internal failures\n",
                static_cast<unsigned long long>(div_failures));
    std::printf("mismatches: %llu\n", static_cast<unsigned long long>(tally.failures()));
    return tally.failures() == 0 ? 0 : 1;
}
