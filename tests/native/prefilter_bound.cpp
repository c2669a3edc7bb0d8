// Checks the scan pre-filter of every vector path this processor has against the exact oracles: each
// trusted estimate lies within estimate_error of the oracle's distance, and every input that is a hit at a
// tolerance is among the kernel's candidates at that tolerance (fixed tolerances, plus the smallest
// distance reported in each block and the next binary64 above it, where a margin that was too thin would
// show first).
//
// Inputs: binary32 ordered values -2^31 + 1, then every K-th one (--stride K; 1 for all patterns), for the
// square root and the reciprocal; and --count binary64 blocks of 16 inputs from sampled starts, with unit
// or wide steps, half of them next to squares of binary64 midpoints, where distances are tiny.
//
// Usage: prefilter_bound [--stride K] [--count N] [--seed S] [--threads N]. Exit status 0 when all agree.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "check_driver.hpp"
#include "exact/oracles.hpp"
#include "exact/prefilter.hpp"
#include "exact/unary_f32.hpp"
#include "f64_samples.hpp"

namespace {

using exact::ScanPath;
using exact::UnaryOp;
using Report = std::optional<exact::MidpointReport>;

constexpr double fixed_tolerances[] = {1e-9, 1e-6, 1e-3, 0.1, 0.3, 0.4999};

struct Stats {
    std::uint64_t inputs = 0, trusted = 0, hits = 0, candidates = 0;
    void merge(const Stats& o, std::mutex& lock) {
        std::lock_guard<std::mutex> hold(lock);
        inputs += o.inputs;
        trusted += o.trusted;
        hits += o.hits;
        candidates += o.candidates;
    }
};

template <class F>
std::string describe(const char* what, ScanPath path, F x) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s %s %a", std::string(exact::scan_path_name(path)).c_str(), what,
                  static_cast<double>(x));
    return buf;
}

// One block: the inputs, their reports, their estimates, and the candidates kernel at each tolerance.
template <class F, class Candidates, class Oracle>
void check_block(check::Tally& tally, Stats& stats, const char* what, ScanPath path, Candidates candidates,
                 const std::vector<F>& inputs, const double* estimates, typename fp::Format<F>::Ordered first,
                 typename fp::Format<F>::Bits step, Oracle oracle) {
    const auto n = static_cast<std::uint32_t>(inputs.size());
    std::vector<Report> reports(n);
    double smallest = std::numeric_limits<double>::infinity();
    for (std::uint32_t i = 0; i < n; ++i) {
        reports[i] = oracle(inputs[i]);
        ++stats.inputs;
        const double e = estimates[i];
        if (std::isnan(e)) continue;
        ++stats.trusted;
        const Report& r = reports[i];
        if (!r) {
            tally.fail(describe(what, path, inputs[i]) + ": trusted estimate without a report");
        } else if (!(std::fabs(e - r->distance_ulp) <= exact::estimate_error<F>)) {
            char buf[96];
            std::snprintf(buf, sizeof buf, ": estimate %a, oracle %a", e, r->distance_ulp);
            tally.fail(describe(what, path, inputs[i]) + buf);
        }
        if (r && !r->exact) smallest = std::min(smallest, r->distance_ulp);
    }
    std::vector<double> tolerances(std::begin(fixed_tolerances), std::end(fixed_tolerances));
    if (smallest < 1) {
        tolerances.push_back(smallest);
        tolerances.push_back(std::nextafter(smallest, 1.0));
    }
    std::uint32_t offsets[exact::prefilter_block];
    for (double tol : tolerances) {
        const std::uint32_t found =
            candidates.kernel(first, step, n, exact::prefilter_threshold(tol, candidates.margin), offsets);
        stats.candidates += found;
        std::vector<bool> is_candidate(n);
        for (std::uint32_t j = 0; j < found; ++j) {
            if (offsets[j] >= n || (j > 0 && offsets[j] <= offsets[j - 1]))
                tally.fail(describe(what, path, inputs[0]) + ": offsets out of range or not ascending");
            else
                is_candidate[offsets[j]] = true;
        }
        for (std::uint32_t i = 0; i < n; ++i) {
            const Report& r = reports[i];
            if (!(r && !r->exact && r->distance_ulp < tol)) continue;
            ++stats.hits;
            if (!is_candidate[i])
                tally.fail(describe(what, path, inputs[i]) + " tol " + std::to_string(tol) + ": hit not a candidate");
        }
    }
}

// A binary64 square of a midpoint between two binary64 values, rounded: its root lies within about 2^-53
// of the gap from the midpoint.
double near_midpoint_square(std::uint64_t seed, std::uint64_t index) {
    samples::Rng rng(seed * 0x9e3779b97f4a7c15 + index);
    const std::uint64_t m = (std::uint64_t{1} << 53) | (rng.next() & ((std::uint64_t{1} << 53) - 1)) | 1;
    const unsigned __int128 square = static_cast<unsigned __int128>(m) * m;  // below 2^108
    const double rounded = static_cast<double>(square);
    return std::ldexp(rounded, 2 * static_cast<int>(rng.between(-400, 400)) - 106);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = std::max<std::uint64_t>(1, check::option(argc, argv, "--stride", 4093));
    const std::uint64_t count = check::option(argc, argv, "--count", 100'000);
    const std::uint64_t seed = check::option(argc, argv, "--seed", 1);
    const unsigned threads = check::threads(argc, argv);

    std::vector<ScanPath> paths;
    for (ScanPath p : {ScanPath::Sse2, ScanPath::Avx2, ScanPath::Avx512})
        if (exact::scan_path_available(p) && exact::estimates_f64(p) != nullptr) paths.push_back(p);
    if (paths.empty()) {
        std::printf("no vector path on this build and processor: nothing to check\n");
        return 0;
    }

    // Binary32 blocks of consecutive walk positions over the ordered values.
    const std::uint64_t f32_inputs = ((std::uint64_t{1} << 32) - 1 + stride - 1) / stride;
    const std::uint64_t f32_blocks = (f32_inputs + exact::prefilter_block - 1) / exact::prefilter_block;
    constexpr std::uint32_t f64_block = 16;

    check::Tally tally;
    Stats f32_stats, f64_stats;
    std::mutex merge_lock;
    const check::Stopwatch clock;
    check::parallel_chunks(f32_blocks + count, threads, [&](std::uint64_t begin, std::uint64_t end) {
        Stats f32_local, f64_local;
        std::vector<double> estimates(exact::prefilter_block);
        for (std::uint64_t b = begin; b < end; ++b) {
            for (ScanPath path : paths) {
                if (b < f32_blocks) {
                    const std::uint64_t start = b * exact::prefilter_block;
                    const auto n = static_cast<std::uint32_t>(
                        std::min<std::uint64_t>(exact::prefilter_block, f32_inputs - start));
                    const auto step = static_cast<std::uint32_t>(stride);
                    const auto first = static_cast<std::int32_t>(
                        static_cast<std::uint32_t>(-0x7fffffff) + static_cast<std::uint32_t>(start) * step);
                    std::vector<float> inputs(n);
                    for (std::uint32_t i = 0; i < n; ++i)
                        inputs[i] = fp::from_ordered<float>(
                            static_cast<std::int32_t>(static_cast<std::uint32_t>(first) + i * step));
                    exact::estimates_f32(UnaryOp::Sqrt, path)(first, step, n, estimates.data());
                    check_block<float>(tally, f32_local, "sqrt", path, exact::prefilter_for<float>(UnaryOp::Sqrt, path),
                                       inputs, estimates.data(), first, step,
                                       [](float x) { return exact::sqrt_midpoint(x); });
                    exact::estimates_f32(UnaryOp::Recip, path)(first, step, n, estimates.data());
                    check_block<float>(tally, f32_local, "recip", path,
                                       exact::prefilter_for<float>(UnaryOp::Recip, path), inputs, estimates.data(),
                                       first, step,
                                       [](float x) { return exact::unary_midpoint_f32<UnaryOp::Recip>(x); });
                } else {
                    const std::uint64_t i = b - f32_blocks;
                    const double x = i % 2 ? near_midpoint_square(seed, i) : samples::sample(seed, i).first;
                    const std::int64_t first = fp::to_ordered(x);
                    const std::uint64_t step = i % 4 < 2 ? 1 : (samples::Rng(i).next() >> 12) | 1;
                    std::vector<double> inputs(f64_block);
                    for (std::uint32_t j = 0; j < f64_block; ++j)
                        inputs[j] = fp::from_ordered<double>(
                            static_cast<std::int64_t>(static_cast<std::uint64_t>(first) + j * step));
                    exact::estimates_f64(path)(first, step, f64_block, estimates.data());
                    check_block<double>(tally, f64_local, "sqrt", path,
                                        exact::prefilter_for<double>(UnaryOp::Sqrt, path), inputs, estimates.data(),
                                        first, step, [](double v) { return exact::sqrt_midpoint(v); });
                }
            }
        }
        f32_stats.merge(f32_local, merge_lock);
        f64_stats.merge(f64_local, merge_lock);
    });
    std::printf("paths:");
    for (ScanPath p : paths) std::printf(" %s", std::string(exact::scan_path_name(p)).c_str());
    std::printf("; binary32 stride %llu, binary64 blocks %llu (seed %llu); %u threads, %.1f s\n",
                static_cast<unsigned long long>(stride), static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(seed), threads, clock.seconds());
    for (const auto& [name, s] : {std::pair{"binary32", &f32_stats}, std::pair{"binary64", &f64_stats}})
        std::printf("%s: %llu inputs, %llu trusted estimates, %llu hits, %llu candidates\n", name,
                    static_cast<unsigned long long>(s->inputs), static_cast<unsigned long long>(s->trusted),
                    static_cast<unsigned long long>(s->hits), static_cast<unsigned long long>(s->candidates));
    const bool vacuous = f32_stats.trusted == 0 || f64_stats.trusted == 0;
    if (vacuous) std::printf("no estimate was trusted: the check is vacuous\n");
    std::printf("mismatches: %llu\n", static_cast<unsigned long long>(tally.failures()));
    return tally.failures() == 0 && !vacuous ? 0 : 1;
}
