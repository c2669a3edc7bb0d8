// Checks the cheap binary64 references of binary32 audits of exp (audit.hpp) against MPFR: where an input
// has one, the series lies within 2^-52.99 of e^x and is its binary64 rounding unless e^x lies within
// 2^-83.8 of a binary64 midpoint, and the infinity or zero beyond the binary64 range is exactly the rounding
// of e^x; a block's cheap references are reference_f32's of each input, and a block gets them only when
// every input has the first one's kind.
//
// Inputs: binary32 ordered values from -inf to +inf in steps of --stride K (1: every one), cut into blocks
// of 256, and windows of 4096 consecutive floats around each edge of the cheap ranges.
//
// Usage: cheap_reference_bound [--stride K] [--threads N]. Exit status 0 when everything agrees.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check_driver.hpp"
#include "exact/audit.hpp"
#include "float/ordered.hpp"
#include "mpfr_reference.hpp"

namespace {

using exact::CheapReference;
using exact::UnaryOp;

constexpr std::size_t block = 256;

std::string describe(const char* what, float x, double v) {
    char text[160];
    std::snprintf(text, sizeof text, "%s: x = %a, reference %a", what, static_cast<double>(x), v);
    return text;
}

// One input against MPFR; returns whether it has a cheap reference.
bool check_input(float x, check::Tally& tally) {
    const CheapReference kind = exact::cheap_reference_of<UnaryOp::Exp>(x);
    if (kind == CheapReference::None) return false;
    const double v = exact::reference_f32<UnaryOp::Exp>(x);
    mpfr_ref::Number t, d;
    mpfr_ref::evaluate(UnaryOp::Exp, x, t);
    const double rounded = mpfr_get_d(t.get(), MPFR_RNDN);
    if (kind != CheapReference::Series) {
        if (std::bit_cast<std::uint64_t>(v) != std::bit_cast<std::uint64_t>(rounded))
            tally.fail(describe("beyond the binary64 range, not the rounding", x, v));
        return true;
    }
    mpfr_sub_d(d.get(), t.get(), v, MPFR_RNDN);
    mpfr_abs(d.get(), d.get(), MPFR_RNDN);
    if (mpfr_cmp_d(d.get(), std::exp2(-52.99)) > 0) tally.fail(describe("series farther than 2^-52.99", x, v));
    if (v != rounded) {
        // e^x within 2^-83.8 of the midpoint between the two.
        mpfr_ref::Number m;
        mpfr_set_d(m.get(), v, MPFR_RNDN);
        mpfr_add_d(m.get(), m.get(), rounded, MPFR_RNDN);
        mpfr_div_2ui(m.get(), m.get(), 1, MPFR_RNDN);
        mpfr_sub(m.get(), m.get(), t.get(), MPFR_RNDN);
        mpfr_abs(m.get(), m.get(), MPFR_RNDN);
        if (mpfr_cmp_d(m.get(), std::exp2(-83.8)) > 0)
            tally.fail(describe("series not the rounding, away from a midpoint", x, v));
    }
    return true;
}

// A block of inputs: each against MPFR, and the block's cheap references against reference_f32's.
std::uint64_t check_block(const float* xs, std::size_t n, check::Tally& tally) {
    std::uint64_t cheap = 0;
    for (std::size_t i = 0; i < n; ++i) cheap += check_input(xs[i], tally);
    double refs[block];
    const CheapReference first = exact::cheap_reference_of<UnaryOp::Exp>(xs[0]);
    bool shared = first != CheapReference::None;
    for (std::size_t i = 0; i < n; ++i) shared &= exact::cheap_reference_of<UnaryOp::Exp>(xs[i]) == first;
    if (exact::cheap_references_f32<UnaryOp::Exp>(xs, refs, n) != shared)
        tally.fail(describe(shared ? "block of one kind refused" : "block of mixed kinds taken", xs[0], 0.0));
    else if (shared)
        for (std::size_t i = 0; i < n; ++i)
            if (std::bit_cast<std::uint64_t>(refs[i]) !=
                std::bit_cast<std::uint64_t>(exact::reference_f32<UnaryOp::Exp>(xs[i])))
                tally.fail(describe("block reference differs", xs[i], refs[i]));
    return cheap;
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t stride = std::max<std::uint64_t>(1, check::option(argc, argv, "--stride", 4093));
    const unsigned threads = check::threads(argc, argv);
    check::Stopwatch clock;
    check::Tally tally;
    std::atomic<std::uint64_t> cheap{0};
    const std::int64_t lowest = fp::to_ordered(-HUGE_VALF), highest = fp::to_ordered(HUGE_VALF);
    const std::uint64_t walk = static_cast<std::uint64_t>(highest - lowest) / stride + 1;
    const std::uint64_t blocks = (walk + block - 1) / block;
    check::parallel_chunks(blocks, threads, [&](std::uint64_t begin, std::uint64_t end) {
        float xs[block];
        for (std::uint64_t b = begin; b < end; ++b) {
            const std::uint64_t first = b * block, n = std::min<std::uint64_t>(block, walk - first);
            for (std::uint64_t i = 0; i < n; ++i)
                xs[i] = fp::from_ordered<float>(static_cast<std::int32_t>(lowest + static_cast<std::int64_t>((first + i) * stride)));
            cheap += check_block(xs, static_cast<std::size_t>(n), tally);
        }
    });
    // Windows across each edge, in blocks that straddle it.
    for (const float edge : {0x1p-16f, -0x1p-16f, 710.0f, -746.0f, 0.0f, HUGE_VALF, -HUGE_VALF}) {
        const std::int64_t centre = fp::to_ordered(edge);
        for (std::int64_t at = centre - 2048; at < centre + 2048; at += block) {
            float xs[block];
            std::size_t n = 0;
            for (std::int64_t k = at; k < at + static_cast<std::int64_t>(block); ++k)
                if (k >= lowest && k <= highest) xs[n++] = fp::from_ordered<float>(static_cast<std::int32_t>(k));
            if (n > 0) cheap += check_block(xs, n, tally);
        }
    }
    std::printf("exp's cheap references: %llu inputs checked against MPFR, %llu mismatches; binary32 stride %llu; "
                "%u threads, %.1f s\n",
                static_cast<unsigned long long>(cheap.load()), static_cast<unsigned long long>(tally.failures()),
                static_cast<unsigned long long>(stride), threads, clock.seconds());
    return tally.failures() == 0 ? 0 : 1;
}
