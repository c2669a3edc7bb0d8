// Checks that the oracles given a DistanceBound decide the knife-edge scan's hits exactly as the plain oracles
// do. For each input the plain report is the reference; for each tolerance, the bounded oracle must fail with
// the same message or return either the identical report (all four fields, bit for bit) or none, and the
// hit test (a report, inexact, distance below the tolerance) must come out the same. Tolerances: a fixed list
// with the degenerate ones, and for every inexact report its own distance and the next binary64 above it,
// where a bound that refused too eagerly would show first.
//
// Inputs: every K-th binary32 pattern (--stride K; 1 for all of them) for the binary32 square root, the
// scan's reciprocal and the binary32 division (with a divisor pattern derived from the index), and --count
// binary64 sample pairs for the binary64 square root and division.
//
// Usage: bounded_hits [--stride K] [--count N] [--seed S] [--threads N]. Exit status 0 when all agree.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>
#include <string>

#include "check_driver.hpp"
#include "exact/oracles.hpp"
#include "exact/unary_f32.hpp"
#include "f64_samples.hpp"

namespace {

using exact::DistanceBound;
using Report = std::optional<exact::MidpointReport>;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double fixed_tolerances[] = {-1.0, 0.0, std::numeric_limits<double>::quiet_NaN(), 5e-324, 1e-300,
                                       1e-12, 1e-6, 1e-3, 0.1, 0.3, 0.5, 1.0, inf};

// The scan's hit test.
bool is_hit(const Report& r, double tol) { return r && !r->exact && r->distance_ulp < tol; }

bool same(const Report& a, const Report& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || (std::bit_cast<std::uint64_t>(a->rounded) == std::bit_cast<std::uint64_t>(b->rounded) &&
                  std::bit_cast<std::uint64_t>(a->distance_ulp) == std::bit_cast<std::uint64_t>(b->distance_ulp) &&
                  a->exact_above == b->exact_above && a->exact == b->exact);
}

// A report or the message of the failure that replaced it.
struct Outcome {
    Report report;
    std::string failure;
};

template <class Call>
Outcome run(Call call) {
    try {
        return {call(), {}};
    } catch (const exact::InternalFailure& f) {
        return {std::nullopt, f.message};
    }
}

struct Stats {
    std::uint64_t inputs = 0, bounded_calls = 0, refused = 0;
    void merge(const Stats& o, std::mutex& lock) {
        std::lock_guard<std::mutex> hold(lock);
        inputs += o.inputs;
        bounded_calls += o.bounded_calls;
        refused += o.refused;
    }
};

// Compares oracle(bound) with oracle(DistanceBound::none()) for every tolerance; `what` names the input.
template <class Oracle, class What>
void compare(check::Tally& tally, Stats& stats, Oracle oracle, What what) {
    ++stats.inputs;
    const Outcome plain = run([&] { return oracle(DistanceBound::none()); });
    const auto against = [&](double tol) {
        const Outcome got = run([&] { return oracle(DistanceBound::below(tol)); });
        ++stats.bounded_calls;
        stats.refused += plain.report && !got.report;
        const char* bad = nullptr;
        if (got.failure != plain.failure)
            bad = "failure differs";
        else if (got.report && !same(got.report, plain.report))
            bad = "bounded report differs";
        else if (is_hit(got.report, tol) != is_hit(plain.report, tol))
            bad = "hit decision differs";
        if (bad) tally.fail(what() + " tol " + std::to_string(tol) + ": " + bad);
    };
    for (double tol : fixed_tolerances) against(tol);
    if (plain.report && !plain.report->exact) {
        const double d = plain.report->distance_ulp;
        if (!(d > 0)) tally.fail(what() + ": distance not positive");
        against(d);
        against(std::nextafter(d, inf));
    }
}

std::string hex(const char* name, std::uint32_t bits) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s 0x%08x", name, bits);
    return buf;
}

std::string one(const char* name, double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %a", name, x);
    return buf;
}

std::string pair(const char* name, double x, double y) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s %a, %a", name, x, y);
    return buf;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = std::max<std::uint64_t>(1, check::option(argc, argv, "--stride", 4093));
    const std::uint64_t count = check::option(argc, argv, "--count", 1'000'000);
    const std::uint64_t seed = check::option(argc, argv, "--seed", 1);
    const unsigned threads = check::threads(argc, argv);
    const std::uint64_t patterns = ((std::uint64_t{1} << 32) + stride - 1) / stride;

    check::Tally tally;
    Stats f32_stats, f64_stats;
    std::mutex merge_lock;
    const check::Stopwatch clock;
    check::parallel_chunks(patterns + count, threads, [&](std::uint64_t begin, std::uint64_t end) {
        Stats f32_local, f64_local;
        for (std::uint64_t i = begin; i < end; ++i) {
            if (i < patterns) {
                const auto bits = static_cast<std::uint32_t>(i * stride);
                const auto divisor_bits = static_cast<std::uint32_t>(i * 0x9e3779b1u);
                const float x = std::bit_cast<float>(bits), y = std::bit_cast<float>(divisor_bits);
                compare(tally, f32_local, [x](DistanceBound b) { return exact::sqrt_midpoint(x, b); },
                        [&] { return hex("sqrt f32", bits); });
                compare(
                    tally, f32_local,
                    [x](DistanceBound b) { return exact::unary_midpoint_f32<exact::UnaryOp::Recip>(x, b); },
                    [&] { return hex("recip f32", bits); });
                compare(tally, f32_local, [x, y](DistanceBound b) { return exact::div_midpoint(x, y, b); },
                        [&] { return pair("div f32", x, y); });
            } else {
                const auto [x, y] = samples::sample(seed, i - patterns);
                compare(tally, f64_local, [x](DistanceBound b) { return exact::sqrt_midpoint(x, b); },
                        [&] { return one("sqrt f64", x); });
                compare(tally, f64_local, [x, y](DistanceBound b) { return exact::div_midpoint(x, y, b); },
                        [&] { return pair("div f64", x, y); });
            }
        }
        f32_stats.merge(f32_local, merge_lock);
        f64_stats.merge(f64_local, merge_lock);
    });
    std::printf("binary32 patterns: %llu (stride %llu); binary64 samples: %llu (seed %llu); %u threads, %.1f s\n",
                static_cast<unsigned long long>(patterns), static_cast<unsigned long long>(stride),
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(seed), threads,
                clock.seconds());
    for (const auto& [name, s] : {std::pair{"binary32", &f32_stats}, std::pair{"binary64", &f64_stats}})
        std::printf("%s: %llu oracle inputs, %llu bounded calls, %llu reports refused by the bound\n", name,
                    static_cast<unsigned long long>(s->inputs), static_cast<unsigned long long>(s->bounded_calls),
                    static_cast<unsigned long long>(s->refused));
    std::printf("mismatches: %llu\n", static_cast<unsigned long long>(tally.failures()));
    return tally.failures() == 0 ? 0 : 1;
}
