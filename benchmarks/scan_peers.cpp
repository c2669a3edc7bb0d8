// Peers for the scan benchmark: plain loops that decide, for n consecutive positive normal floats from lo,
// whether the exact square root lies within tol of a rounding midpoint, with 64-bit integers (binary32)
// or 128-bit integers (binary64), and count the hits. The hardware square root gives the candidate; the
// exact residual of the candidate picks the midpoint on the root's side, and the exact residual of that
// midpoint its distance, measured as the core measures it. Also loops over the C library's binary64
// functions, deciding inputs as the scans' binary64 judgement does (bench_vector_ref.py). Built by the
// benchmarks with the project's flags.
#include <bit>
#include <cmath>
#include <cstdint>

namespace {

// x = mx * 2^ex with mx < 2^p (hidden bit included) for a positive normal x.
template <class Bits, int fraction_bits, int bias>
void split(Bits b, Bits& m, int& e) {
    m = (b & ((Bits{1} << fraction_bits) - 1)) | (Bits{1} << fraction_bits);
    e = static_cast<int>(b >> fraction_bits) - bias - fraction_bits;
}

// 2^e for e in the binary64 normal range.
inline double pow2(int e) { return std::bit_cast<double>(static_cast<std::uint64_t>(e + 1023) << 52); }

// W: signed integer twice as wide as the significand products need.
template <class F, class Bits, class W, int fraction_bits, int bias>
std::uint64_t count_hits(F lo, std::uint64_t n, double tol) {
    const Bits first = std::bit_cast<Bits>(lo);
    std::uint64_t hits = 0;
    const double admit = tol * (1 + 0x1p-16);
    for (std::uint64_t i = 0; i < n; ++i) {
        const Bits b = first + static_cast<Bits>(i);
        const F x = std::bit_cast<F>(b);
        const F r = std::sqrt(x);
        Bits mx, mr;
        int ex, er;
        split<Bits, fraction_bits, bias>(b, mx, ex);
        split<Bits, fraction_bits, bias>(std::bit_cast<Bits>(r), mr, er);
        // In units of 2^(2 er - 4): x is X, r^2 is 16 mr^2; midpoints are Ma * 2^(er - 2).
        // Every multiplier fits 64 bits, so each square is one widening multiplication.
        const W X = static_cast<W>(mx) << (ex - 2 * er + 4);
        const auto R4 = static_cast<std::int64_t>(4 * mr);
        const W at_r = X - static_cast<W>(R4) * R4;
        if (at_r == 0) continue;
        const bool lowest = mr == (Bits{1} << fraction_bits);
        const std::int64_t Ma = at_r > 0 ? R4 + 2 : (lowest ? R4 - 1 : R4 - 2);
        const W d = X - static_cast<W>(Ma) * Ma;
        const double gap = at_r > 0 || !lowest ? 1.0 : 0.5;  // in units of 2^er
        // |x - M^2| / (2 M gap), then the core's factor 2M / (sqrt(x) + M), which is within 2^-22 of 1: a
        // ratio far enough above the tolerance is no hit and is not measured.
        const double magnitude = static_cast<double>(d < 0 ? -d : d);
        const double denominator = 8.0 * static_cast<double>(Ma) * gap;
        if (!(magnitude < admit * denominator)) continue;
        const double q = magnitude / denominator;
        const double midpoint = static_cast<double>(Ma) * pow2(er - 2);
        const double distance = (q + q) / (std::sqrt(static_cast<double>(x)) / midpoint + 1.0);
        hits += distance < tol;
    }
    return hits;
}

}  // namespace

extern "C" std::uint64_t peer_sqrt_f32(float lo, std::uint64_t n, double tol) {
    return count_hits<float, std::uint32_t, std::int64_t, 23, 127>(lo, n, tol);
}

extern "C" std::uint64_t peer_sqrt_f64(double lo, std::uint64_t n, double tol) {
    return count_hits<double, std::uint64_t, __int128, 52, 1023>(lo, n, tol);
}

namespace {

// The binary64 judgement of the scans, in a plain loop: for n consecutive binary32 floats from lo, the C
// library's binary64 f(x), and whether it lies within tol of a binary32 rounding midpoint, measured as the
// core measures it (on magnitudes: the distance does not depend on the sign). Counts the hits.
template <double (*f)(double)>
std::uint64_t count_library_hits(float lo, std::uint64_t n, double tol) {
    const std::uint32_t first = std::bit_cast<std::uint32_t>(lo);
    std::uint64_t hits = 0;
    for (std::uint64_t i = 0; i < n; ++i) {
        const float x = std::bit_cast<float>(static_cast<std::uint32_t>(first + i));
        const double a = std::fabs(f(static_cast<double>(x)));
        if (!std::isfinite(a)) continue;
        const float r = static_cast<float>(a);
        if (!std::isfinite(r)) continue;
        const double rd = r;
        if (a == rd) continue;
        const bool above = a > rd;
        const std::uint32_t rb = std::bit_cast<std::uint32_t>(r);
        const float neighbour = std::bit_cast<float>(above ? rb + 1 : rb - 1);
        const double gap = std::isfinite(neighbour) ? std::fabs(static_cast<double>(neighbour) - rd)
                                                     : rd - static_cast<double>(std::bit_cast<float>(rb - 1));
        const double midpoint = (above ? 0.5 : -0.5) * gap + rd;
        hits += std::fabs(a - midpoint) / gap < tol;
    }
    return hits;
}

double c_exp(double x) { return std::exp(x); }
double c_log(double x) { return std::log(x); }
double c_sin(double x) { return std::sin(x); }
double c_tanh(double x) { return std::tanh(x); }

}  // namespace

extern "C" std::uint64_t peer_exp_f32(float lo, std::uint64_t n, double tol) {
    return count_library_hits<c_exp>(lo, n, tol);
}
extern "C" std::uint64_t peer_log_f32(float lo, std::uint64_t n, double tol) {
    return count_library_hits<c_log>(lo, n, tol);
}
extern "C" std::uint64_t peer_sin_f32(float lo, std::uint64_t n, double tol) {
    return count_library_hits<c_sin>(lo, n, tol);
}
extern "C" std::uint64_t peer_tanh_f32(float lo, std::uint64_t n, double tol) {
    return count_library_hits<c_tanh>(lo, n, tol);
}
