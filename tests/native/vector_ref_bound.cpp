// Checks the vector references of every path this processor has against MPFR, for every library-based
// operation: each value lies within its proven bound of the exact result (vector_ref.hpp's contract), each
// trusted distance estimate within vector_ref_distance_error of the exact result's distance, and every input
// that the scans' binary64 judgement reports as a hit at a tolerance is among the pre-filter's candidates at
// that tolerance (fixed tolerances, plus the smallest reported distance of each block and the binary64
// value just above it). Also reports how far the binary64 judgement strays from the exact distance, the
// assumption (platform_error_ulp) the pre-filter's margin rests on.
//
// Inputs: binary32 ordered values from -inf to +inf in steps of --stride K (1: every one), and windows of 17
// consecutive floats around the hardest trigonometric reductions of every binade (trig_hardest.inc) and
// around the edges where results overflow, underflow or round to a constant.
//
// Usage: vector_ref_bound [--stride K] [--threads N] [--op NAME]. Exit status 0 when everything agrees.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "check_driver.hpp"
#include "exact/prefilter.hpp"
#include "exact/unary_f32.hpp"
#include "mpfr_reference.hpp"

namespace {

using exact::ScanPath;
using exact::UnaryOp;

struct Hardest {
    std::uint32_t bits;
    double distance;
};
constexpr Hardest hardest[] =
#include "trig_hardest.inc"
    ;

constexpr double fixed_tolerances[] = {1e-9, 1e-6, 2e-6, 1e-3, 0.1, 0.3, 0.4999};

// A walk over ordered binary32 values: first, first + step, ... (count of them).
struct Walk {
    std::int32_t first;
    std::uint32_t step;
    std::uint32_t count;
};

struct Stats {
    std::uint64_t inputs = 0, trusted = 0, hits = 0, candidates = 0;
    double worst_estimate = 0;  // largest |estimate - exact distance| seen
    double worst_platform = 0;  // largest |binary64 judgement - exact distance| seen
    void merge(const Stats& o, std::mutex& lock) {
        std::lock_guard<std::mutex> hold(lock);
        inputs += o.inputs;
        trusted += o.trusted;
        hits += o.hits;
        candidates += o.candidates;
        worst_estimate = std::max(worst_estimate, o.worst_estimate);
        worst_platform = std::max(worst_platform, o.worst_platform);
    }
};

std::string where(UnaryOp op, ScanPath path, float x) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s %s(%a)", std::string(exact::scan_path_name(path)).c_str(),
                  std::string(exact::unary_op_name(op)).c_str(), static_cast<double>(x));
    return buf;
}

float at(const Walk& w, std::uint32_t i) {
    return fp::from_ordered<float>(static_cast<std::int32_t>(static_cast<std::uint32_t>(w.first) + i * w.step));
}

void check_walk(check::Tally& tally, Stats& stats, UnaryOp op, const std::vector<ScanPath>& paths, const Walk& w) {
    const std::uint32_t n = w.count;
    std::vector<float> inputs(n);
    for (std::uint32_t i = 0; i < n; ++i) inputs[i] = at(w, i);
    // Per path: values and estimates.
    std::vector<std::vector<double>> values(paths.size(), std::vector<double>(n)),
        estimates(paths.size(), std::vector<double>(n));
    for (std::size_t p = 0; p < paths.size(); ++p) {
        exact::values_f32(op, paths[p])(inputs.data(), n, values[p].data());
        exact::estimates_f32(op, paths[p])(w.first, w.step, n, estimates[p].data());
    }
    const double eps = exact::vector_ref_relative_error(op);
    const double allowed = exact::vector_ref_distance_error(op) + 0x1p-60;
    std::vector<std::optional<exact::MidpointReport>> reports(n);
    double smallest = std::numeric_limits<double>::infinity();
    mpfr_ref::Number t;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float x = inputs[i];
        mpfr_ref::evaluate(op, x, t);
        const double exact_distance = mpfr_ref::distance(t);
        reports[i] = exact::unary_midpoint_f32(op, x);
        const auto& r = reports[i];
        if (r && !r->exact) smallest = std::min(smallest, r->distance_ulp);
        if (r && !std::isnan(exact_distance))
            stats.worst_platform = std::max(stats.worst_platform, std::fabs(r->distance_ulp - exact_distance));
        ++stats.inputs;
        for (std::size_t p = 0; p < paths.size(); ++p) {
            if (!mpfr_ref::within(values[p][i], t, eps)) {
                char buf[64];
                std::snprintf(buf, sizeof buf, ": value %a outside the bound", values[p][i]);
                tally.fail(where(op, paths[p], x) + buf);
            }
            const double e = estimates[p][i];
            if (std::isnan(e)) continue;
            ++stats.trusted;
            if (std::isnan(exact_distance)) {
                if (e != std::numeric_limits<double>::infinity())
                    tally.fail(where(op, paths[p], x) + ": finite estimate of a result that is no float");
                continue;
            }
            const double off = std::fabs(e - exact_distance);
            stats.worst_estimate = std::max(stats.worst_estimate, off);
            if (!(off <= allowed)) {
                char buf[96];
                std::snprintf(buf, sizeof buf, ": estimate %.17g, exact distance %.17g", e, exact_distance);
                tally.fail(where(op, paths[p], x) + buf);
            }
        }
    }
    std::vector<double> tolerances(std::begin(fixed_tolerances), std::end(fixed_tolerances));
    if (smallest < 1) {
        tolerances.push_back(smallest);
        tolerances.push_back(std::nextafter(smallest, 1.0));
    }
    std::uint32_t offsets[exact::prefilter_block];
    for (ScanPath path : paths) {
        const auto filter = exact::prefilter_for<float>(op, path);
        for (double tol : tolerances) {
            const std::uint32_t found =
                filter.kernel(w.first, w.step, n, exact::prefilter_threshold(tol, filter.margin), offsets);
            stats.candidates += found;
            std::vector<bool> candidate(n);
            for (std::uint32_t j = 0; j < found; ++j) {
                if (offsets[j] >= n || (j > 0 && offsets[j] <= offsets[j - 1]))
                    tally.fail(where(op, path, inputs[0]) + ": offsets out of range or not ascending");
                else
                    candidate[offsets[j]] = true;
            }
            for (std::uint32_t i = 0; i < n; ++i) {
                const auto& r = reports[i];
                if (!(r && !r->exact && r->distance_ulp < tol)) continue;
                ++stats.hits;
                if (!candidate[i])
                    tally.fail(where(op, path, inputs[i]) + " tol " + std::to_string(tol) + ": hit not a candidate");
            }
        }
    }
}

// Inputs around which every operation is checked float by float: where results overflow, underflow to
// zero, round to a constant, or change binade in ways the kernels treat apart.
std::vector<float> edges() {
    std::vector<float> out = {0.0f,       1.0f,       0.5f,        2.0f,        0x1p-126f,   0x1p-149f,
                              0x1p-24f,   0x1p-12f,   0x1.fffffep127f, 88.72283f, 89.0f,     100.0f,
                              103.97208f, 87.33655f,  128.0f,      149.0f,      150.0f,      220.0f,
                              60.0f,      30.0f,      9.010913f,   17.0f,       0.34657359f, 1.0397208f,
                              0.4375f,    0.6875f,    1.1875f,     2.4375f,     0x1p100f,    0x1p24f,
                              0.70710677f, 1.4142135f, 0.41421357f, 0.29289323f, 10.0f,      1e10f};
    const std::size_t base = out.size();
    for (std::size_t i = 0; i < base; ++i) out.push_back(-out[i]);
    for (const Hardest& h : hardest) {
        out.push_back(std::bit_cast<float>(h.bits));
        out.push_back(-std::bit_cast<float>(h.bits));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = std::max<std::uint64_t>(1, check::option(argc, argv, "--stride", 4093));
    const unsigned threads = check::threads(argc, argv);
    std::string only;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--op") == 0) only = argv[i + 1];

    std::vector<ScanPath> paths;
    for (ScanPath p : {ScanPath::Sse2, ScanPath::Avx2, ScanPath::Avx512})
        if (exact::scan_path_available(p) && exact::values_f32(UnaryOp::Exp, p) != nullptr) paths.push_back(p);
    if (paths.empty()) {
        std::printf("no vector path on this build and processor: nothing to check\n");
        return 0;
    }
    // Every operation with a proven bound must have its kernels on every path.
    std::vector<UnaryOp> ops;
    for (std::size_t i = 0; i < exact::unary_op_count; ++i) {
        const auto op = static_cast<UnaryOp>(i);
        if (!exact::has_vector_ref(op) || !(only.empty() || exact::unary_op_name(op) == only)) continue;
        for (ScanPath p : paths) {
            if (exact::values_f32(op, p) == nullptr || exact::estimates_f32(op, p) == nullptr ||
                exact::prefilter_for<float>(op, p).kernel == nullptr) {
                std::printf("%s has a bound but no kernels on %s\n", std::string(exact::unary_op_name(op)).c_str(),
                            std::string(exact::scan_path_name(p)).c_str());
                return 1;
            }
        }
        ops.push_back(op);
    }
    if (ops.empty()) {
        std::printf("no operation to check\n");
        return 1;
    }

    // The strided walk in blocks, then one window per edge.
    constexpr std::int64_t lowest = -0x7f800000;
    const std::uint64_t walk_inputs = (std::uint64_t{2} * 0x7f800000) / stride + 1;
    const std::uint64_t blocks = (walk_inputs + exact::prefilter_block - 1) / exact::prefilter_block;
    const std::vector<float> windows = edges();
    auto walk_of = [&](std::uint64_t b) {
        if (b < blocks) {
            const std::uint64_t start = b * exact::prefilter_block;
            return Walk{static_cast<std::int32_t>(lowest + static_cast<std::int64_t>(start * stride)),
                        static_cast<std::uint32_t>(stride),
                        static_cast<std::uint32_t>(std::min<std::uint64_t>(exact::prefilter_block, walk_inputs - start))};
        }
        const std::int64_t centre = fp::to_ordered(windows[b - blocks]);
        const std::int64_t first = std::clamp<std::int64_t>(centre - 8, lowest, -lowest - 16);
        return Walk{static_cast<std::int32_t>(first), 1, 17};
    };

    check::Tally tally;
    std::vector<Stats> stats(ops.size());
    std::mutex merge_lock;
    const check::Stopwatch clock;
    check::parallel_chunks(blocks + windows.size(), threads, [&](std::uint64_t begin, std::uint64_t end) {
        std::vector<Stats> local(ops.size());
        for (std::uint64_t b = begin; b < end; ++b)
            for (std::size_t o = 0; o < ops.size(); ++o) check_walk(tally, local[o], ops[o], paths, walk_of(b));
        for (std::size_t o = 0; o < ops.size(); ++o) stats[o].merge(local[o], merge_lock);
    });
    std::printf("paths:");
    for (ScanPath p : paths) std::printf(" %s", std::string(exact::scan_path_name(p)).c_str());
    std::printf("; binary32 stride %llu and %zu edge windows; %u threads, %.1f s\n",
                static_cast<unsigned long long>(stride), windows.size(), threads, clock.seconds());
    bool vacuous = false;
    for (std::size_t o = 0; o < ops.size(); ++o) {
        const Stats& s = stats[o];
        std::printf("%-8s %llu inputs, %llu trusted estimates, worst %.3g of bound %.3g; binary64 judgement off "
                    "by %.3g at most; %llu hits, %llu candidates\n",
                    std::string(exact::unary_op_name(ops[o])).c_str(), static_cast<unsigned long long>(s.inputs),
                    static_cast<unsigned long long>(s.trusted), s.worst_estimate,
                    exact::vector_ref_distance_error(ops[o]), s.worst_platform,
                    static_cast<unsigned long long>(s.hits), static_cast<unsigned long long>(s.candidates));
        vacuous = vacuous || s.trusted == 0;
    }
    if (vacuous) std::printf("an operation had no trusted estimate: the check is vacuous\n");
    std::printf("mismatches: %llu\n", static_cast<unsigned long long>(tally.failures()));
    return tally.failures() == 0 && !vacuous ? 0 : 1;
}
