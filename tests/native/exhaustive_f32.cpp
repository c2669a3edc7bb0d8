// Checks the binary32 square-root oracle and the binary32 reciprocal against the independent integer model
// for every bit pattern, or, with --stride K, for every K-th pattern plus every pattern of the boundary
// binades (subnormals, the two lowest normal binades, the two highest finite ones), both signs.
//
// Usage: exhaustive_f32 [--stride K] [--boundary 0|1] [--threads N]. --boundary 0 leaves out the boundary
// binades of a strided run. Exit status 0 when everything agrees.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "check_driver.hpp"
#include "exact/oracles.hpp"
#include "exact/unary_f32.hpp"
#include "exact_model.hpp"

namespace {

struct Segment {
    std::uint64_t first;
    std::uint64_t step;
    std::uint64_t count;
};

std::vector<Segment> patterns(std::uint64_t stride, bool boundary) {
    constexpr std::uint64_t all = std::uint64_t{1} << 32;
    if (stride <= 1) return {{0, 1, all}};
    std::vector<Segment> out{{0, stride, (all + stride - 1) / stride}};
    if (!boundary) return out;
    constexpr std::uint64_t binade = std::uint64_t{1} << 23;
    for (std::uint64_t sign : {std::uint64_t{0}, std::uint64_t{1} << 31})
        for (std::uint64_t biased : {0, 1, 2, 253, 254}) out.push_back({sign | (biased << 23), 1, binade});
    return out;
}

// Runs one oracle on one pattern, compares it with the model and counts the kind of report.
template <class Oracle, class Answer>
void check_one(check::Tally& tally, check::Counts& counts, const char* name, std::uint32_t bits, Oracle oracle,
               Answer answer) {
    const float x = std::bit_cast<float>(bits);
    std::string bad;
    try {
        const auto got = oracle(x);
        counts.add(got);
        bad = model::mismatch(got, answer(x));
    } catch (const exact::InternalFailure& f) {
        bad = f.message;
    }
    if (bad.empty()) return;
    char where[48];
    std::snprintf(where, sizeof where, "%s 0x%08x: ", name, bits);
    tally.fail(where + bad);
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = check::option(argc, argv, "--stride", 1);
    const unsigned threads = check::threads(argc, argv);
    const bool boundary = check::option(argc, argv, "--boundary", 1) != 0;
    const std::vector<Segment> segments = patterns(stride, boundary);
    std::uint64_t total = 0;
    for (const Segment& s : segments) total += s.count;

    check::Tally tally;
    check::Counts sqrt_counts, recip_counts;
    std::mutex merge_lock;
    const check::Stopwatch clock;
    check::parallel_chunks(total, threads, [&](std::uint64_t begin, std::uint64_t end) {
        check::Counts sqrt_local, recip_local;
        for (std::uint64_t index = begin; index < end; ++index) {
            std::uint64_t i = index;
            const Segment* s = segments.data();
            while (i >= s->count) i -= s++->count;
            const auto bits = static_cast<std::uint32_t>(s->first + i * s->step);
            check_one(tally, sqrt_local, "sqrt", bits, [](float x) { return exact::sqrt_midpoint(x); },
                      [](float x) { return model::sqrt_answer(x); });
            check_one(tally, recip_local, "recip", bits,
                      [](float x) { return exact::unary_midpoint_f32<exact::UnaryOp::Recip>(x); },
                      model::recip_answer);
        }
        sqrt_counts.merge(sqrt_local, merge_lock);
        recip_counts.merge(recip_local, merge_lock);
    });
    std::printf("binary32 patterns checked: %llu (stride %llu, %u threads) in %.1f s\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(stride), threads,
                clock.seconds());
    sqrt_counts.print("sqrt");
    recip_counts.print("recip");
    std::printf("mismatches: %llu\n", static_cast<unsigned long long>(tally.failures()));
    return tally.failures() == 0 ? 0 : 1;
}
