// The pre-filtered walk: on every path it visits every hit, in order; stopping early reports the position
// after the input where the visitor stopped; and a walk split into consecutive parts visits exactly what
// one call visits.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "exact/oracles.hpp"
#include "exact/prefilter.hpp"
#include "exact/unary_f32.hpp"

namespace {

using exact::ScanPath;
using exact::UnaryOp;

std::vector<ScanPath> paths() {
    std::vector<ScanPath> out;
    for (ScanPath p : {ScanPath::Scalar, ScanPath::Sse2, ScanPath::Avx2, ScanPath::Avx512})
        if (exact::scan_path_available(p)) out.push_back(p);
    return out;
}

struct Walk {
    std::int32_t first;
    std::uint32_t step;
    std::uint64_t count;
};

// The binary32 square roots from `first` (ordered) in `step`s, as hit positions at tol, by the oracle alone.
std::vector<std::uint64_t> hits_by_oracle(const Walk& w, double tol) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t i = 0; i < w.count; ++i) {
        const auto k = static_cast<std::int32_t>(static_cast<std::uint32_t>(w.first) + static_cast<std::uint32_t>(i) * w.step);
        const auto r = exact::sqrt_midpoint(fp::from_ordered<float>(k));
        if (r && !r->exact && r->distance_ulp < tol) out.push_back(i);
    }
    return out;
}

// Positions of the visited inputs that are hits, over [begin, end) in parts of the given sizes (cycled).
std::vector<std::uint64_t> hits_by_walk(ScanPath path, const Walk& w, double tol, std::vector<std::uint64_t> parts) {
    const auto kernel = exact::prefilter_for<float>(UnaryOp::Sqrt, path);
    std::vector<std::uint64_t> out;
    std::uint64_t position = 0;
    for (std::size_t p = 0; position < w.count; ++p) {
        const std::uint64_t end = std::min(w.count, position + parts[p % parts.size()]);
        const std::uint64_t stopped =
            exact::visit_candidates<float>(kernel, w.first, w.step, position, end, tol, [&](float x) {
                const auto r = exact::sqrt_midpoint(x);
                if (r && !r->exact && r->distance_ulp < tol) {
                    const auto i = static_cast<std::uint64_t>(
                        static_cast<std::uint32_t>(fp::to_ordered(x) - w.first) / w.step);
                    out.push_back(i);
                }
                return true;
            });
        EXPECT_EQ(stopped, end);
        position = end;
    }
    return out;
}

TEST(PrefilterWalk, PartsVisitTheHitsOfOneCall) {
    const Walk walks[] = {{0x3f800000, 1, 50000}, {-5, 1, 30000}, {0x00700000, 97, 40000}, {0x7f000000, 3, 20000}};
    for (const Walk& w : walks)
        for (double tol : {1e-3, 0.2, 0.5})
            for (ScanPath path : paths()) {
                SCOPED_TRACE(std::string(exact::scan_path_name(path)) + " tol " + std::to_string(tol));
                const auto want = hits_by_oracle(w, tol);
                EXPECT_EQ(hits_by_walk(path, w, tol, {w.count}), want);
                EXPECT_EQ(hits_by_walk(path, w, tol, {1, 2047, 2049, 5000, 3}), want);
            }
}

TEST(PrefilterWalk, StoppingReportsThePositionAfterTheStop) {
    std::mt19937_64 rng(7);
    const Walk w{0x3f800000, 1, 20000};
    const double tol = 0.05;
    const auto want = hits_by_oracle(w, tol);
    ASSERT_GT(want.size(), 100u);
    for (ScanPath path : paths()) {
        const auto kernel = exact::prefilter_for<float>(UnaryOp::Sqrt, path);
        for (int trial = 0; trial < 50; ++trial) {
            const std::uint64_t begin = rng() % 10000, stop_after = 1 + rng() % 40;
            std::uint64_t seen = 0;
            const std::uint64_t stopped =
                exact::visit_candidates<float>(kernel, w.first, w.step, begin, w.count, tol, [&](float x) {
                    const auto r = exact::sqrt_midpoint(x);
                    return !(r && !r->exact && r->distance_ulp < tol && ++seen == stop_after);
                });
            std::uint64_t expected = w.count;
            std::uint64_t counted = 0;
            for (std::uint64_t i : want)
                if (i >= begin && ++counted == stop_after) {
                    expected = i + 1;
                    break;
                }
            EXPECT_EQ(stopped, expected) << exact::scan_path_name(path) << " from " << begin;
        }
    }
}

}  // namespace
