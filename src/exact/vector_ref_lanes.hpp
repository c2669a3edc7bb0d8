// The vector references, written once over a lane type V (lanes_*.hpp) and instantiated by one translation
// unit per instruction set, under the same rules as prefilter_lanes.hpp: included only by those units, and
// calling nothing but V's operations and built-in operators (no inline function of another header, which
// the linker could take from a unit compiled for a wider instruction set).
//
// Each value<V, op> turns binary32 inputs (widened to binary64, exactly) into binary64 estimates v of the
// exact results t = op(x) with
//     |v - t| <= eps |t| + 2^-200  wherever |t| <= 2^130,      |v| >= 2^129 where |t| > 2^130,
// NaN where t is NaN, and eps = vref::bounds (vector_ref_constants.hpp). Those bounds are proven by
// tools/prove_vector_bounds.py from the derivations below, which it mirrors step by step. Notation: u = 2^-53
// is the unit roundoff of binary64, fl(.) a rounded operation (|fl(a o b) - a o b| <= u |a o b|), and A, H
// and K a polynomial's proven relative approximation error, the relative error of its Horner evaluation for
// an exact argument (with or without fused multiply-adds: the bound assumes a rounding after every
// multiplication and every addition), and the relative change of its target per relative change of the
// argument. Lanes compute every branch and select; inputs outside an operation's domain are replaced by a
// harmless value first, so that the arithmetic raises no invalid-operation flag for them.
//
// distance<V> then gives the distance the scans measure, |frac(t / g) - 1/2| in units of the binary32 gap
// g at t, from v: D(v) is computed exactly (see below), and |D(v) - D(t)| <= |v - t| / g_low where g_low is
// the smaller of the gaps around t (D is continuous across powers of two, where it is 1/2 from both sides,
// and its slope is 1 / gap on each side). Since |t| < 2^24 g_low (2^23 among subnormals), the contract
// gives |D(v) - D(t)| <= 2^24 eps / (1 - eps) + 2^-200 * 2^149: vector_ref_distance_error.
#pragma once

#include <cstddef>
#include <cstdint>

#include "catalogue.hpp"
#include "vector_ref_constants.hpp"

namespace exact::vref_lanes {
namespace {

namespace c = exact::vref;

constexpr double shifter = 0x1.8p52;  // adding it rounds |a| < 2^51 to an integer held in the low bits
constexpr std::uint64_t shifter_bits = 0x4338000000000000;
constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;
constexpr std::uint64_t fraction_mask = 0x000fffffffffffff;
constexpr std::uint64_t one_bits = 0x3ff0000000000000;
constexpr std::uint64_t two52_bits = 0x4330000000000000;
constexpr std::uint64_t exponent_of_2p23 = std::uint64_t{1023 + 23} << 52;
constexpr double inf = __builtin_inf();
constexpr double nan = __builtin_nan("");
// The binary32 rounding boundary of overflow, 2^128 - 2^103, less a relative 2^-28: below it, t rounds to a
// finite float and so does the binary64 judgement.
constexpr double overflow_edge = (0x1p128 - 0x1p103) * (1 - 0x1p-28);

template <class V, std::size_t N>
typename V::D horner(typename V::D w, const double (&coefficients)[N]) {
    typename V::D y = V::set1(coefficients[N - 1]);
    for (std::size_t i = N - 1; i-- > 0;) y = V::fma(y, w, V::set1(coefficients[i]));
    return y;
}

template <class V>
typename V::D clamp(typename V::D x, double lo, double hi) {
    return V::min(V::max(x, V::set1(lo)), V::set1(hi));
}

// 2^kd from t = kd + 1.5 * 2^52 (|kd| <= 1022): the integer kd sits in the low bits of t's pattern.
template <class V>
typename V::D pow2_of_shifted(typename V::D t) {
    const typename V::I64 k = V::add64(V::as_int(t), V::set64(std::uint64_t{1023} - shifter_bits));
    return V::as_double(V::template shl64<52>(k));
}

// Exponential. x is clamped to [-150, 100]: below, t < 2^-216 and v is too; above, t > 2^144 and so is v.
// kd = round(x / ln2) through fl(x RN(1/ln2)) (fused or not), within 1/2 + 2^-44 of x / ln2, so the
// reduced r = x - kd ln2 has |r| <= ln2/2 + 2^-44, |kd| <= 217. r1 = x - kd ln2_hi is exact: ln2_hi has 44
// significant bits, so kd ln2_hi is exact, and when kd != 0 both x (|x| > 0.34, a multiple of 2^-25) and
// kd ln2_hi are multiples of 2^-44 with a difference below 1/2. Then r^ = fl(r1 - fl(kd ln2_lo)) differs
// from r by D <= |kd| |ln2 - ln2_hi - ln2_lo| + u |kd ln2_lo| (1 + u) + u (|r| + |kd ln2_lo|). The
// polynomial gives p = e^(r^) (1 + a)(1 + h), |a| <= A, |h| <= H, and e^(r^) = e^r e^(+-D); scaling by 2^kd
// is exact. eps_exp = (1 + H)(1 + A) e^D - 1.
template <class V>
typename V::D exp_value(typename V::D x) {
    using D = typename V::D;
    const D xc = clamp<V>(x, -150.0, 100.0);
    const D t = V::fma(xc, V::set1(c::inv_ln2), V::set1(shifter));
    const D kd = V::sub(t, V::set1(shifter));
    const D r = V::sub(V::sub(xc, V::mul(kd, V::set1(c::ln2_hi))), V::mul(kd, V::set1(c::ln2_lo)));
    return V::mul(horner<V>(r, c::exp_poly), pow2_of_shifted<V>(t));
}

// 2^x. x is clamped to [-220, 150]; kd = round(x) and r = x - kd are exact (|r| <= 1/2), z = fl(r RN(ln2))
// is within (1 + u)^2 - 1 relative of r ln2, so |z - r ln2| <= 2.0001 u ln2/2 = D, and as for exp
// eps_exp2 = (1 + H)(1 + A) e^D - 1, with the exponential's polynomial.
template <class V>
typename V::D exp2_value(typename V::D x) {
    using D = typename V::D;
    const D xc = clamp<V>(x, -220.0, 150.0);
    const D t = V::add(xc, V::set1(shifter));
    const D r = V::sub(xc, V::sub(t, V::set1(shifter)));
    return V::mul(horner<V>(V::mul(r, V::set1(c::ln2)), c::exp_poly), pow2_of_shifted<V>(t));
}

// e^x - 1. x is clamped to [-60, 100] (below, t is within e^-60 < 2^-86 |t| of -1 + e^-60). kd and r^ as for
// exp (|kd| <= 145; kd = 0 gives r^ = x exactly). E = fl(r^ fl(G(r^))) = expm1(r^)(1 + e_E) with
// eps_E = (1 + H)(1 + A)(1 + u) - 1. For kd = 0, v = E: eps_E. Otherwise v = fl(T + 2^kd E) with
// T = fl(2^kd - 1) (exact for |kd| <= 53), and t = (2^kd - 1) + 2^kd expm1(r):
// |v - t| <= 2^kd (eps_E (e^R - 1) + (1 + eps_E) e^R D) + u |2^kd - 1| + u |v|, R the polynomial's
// half-width. Over |t|: for kd >= 1, t >= 2^kd e^-R - 1, so 2^kd / |t| <= 2 / (2 e^-R - 1) and
// |2^kd - 1| / |t| <= 1 / (2 e^-R - 1); for kd <= -1, |t| >= 1 - e^R / 2, so 2^kd / |t| <= 1 / (2 - e^R)
// and |2^kd - 1| / |t| <= 1 / (1 - e^R / 2). eps_expm1 is the larger of the two cases' sums.
template <class V>
typename V::D expm1_value(typename V::D x) {
    using D = typename V::D;
    const D xc = clamp<V>(x, -60.0, 100.0);
    const D t = V::fma(xc, V::set1(c::inv_ln2), V::set1(shifter));
    const D kd = V::sub(t, V::set1(shifter));
    const D r = V::sub(V::sub(xc, V::mul(kd, V::set1(c::ln2_hi))), V::mul(kd, V::set1(c::ln2_lo)));
    const D e = V::mul(r, horner<V>(r, c::expm1_poly));
    const D scale = pow2_of_shifted<V>(t);
    const D v = V::add(V::sub(scale, V::set1(1.0)), V::mul(scale, e));
    return V::select(V::eq(kd, V::set1(0.0)), e, v);  // also keeps expm1(-0) = -0
}

// y = 2^ed m with m in [c, 2c), c = RN(sqrt(2)/2), so that sqrt(2)/2 < m < sqrt(2) (no binary64 lies
// between sqrt(2) and 2c = RN(sqrt 2)), for positive normal binary64 y; ed exactly, as a binary64 integer.
// ed is floor((bits(y) - bits(c)) / 2^52), with an offset of 1024 << 52 that keeps the shifted value
// non-negative; m has y's pattern less ed << 52.
template <class V>
void decompose(typename V::D y, typename V::D& ed, typename V::D& m) {
    using I = typename V::I64;
    constexpr std::uint64_t offset = (std::uint64_t{1024} << 52) - 0x3fe6a09e667f3bcd;
    const I b = V::as_int(y);
    const I n = V::template shr64<52>(V::add64(b, V::set64(offset)));  // ed + 1024
    m = V::as_double(V::sub64(b, V::template shl64<52>(V::sub64(n, V::set64(1024)))));
    ed = V::sub(V::as_double(V::or64(n, V::set64(two52_bits))), V::set1(0x1p52 + 1024));
}

// log(m) = 2 atanh(s), s = (m - 1) / (m + 1), |s| <= 3 - 2 sqrt 2: L = fl(s Q(fl(s^2))). With s^ within
// relative d of s, w = fl(s^ s^) is within (1 + d)^2 (1 + u) - 1 = d_w of s^2, and
// eps_L = (1 + d)(1 + H)(1 + A)(1 + K d_w)(1 + u) - 1.
template <class V>
typename V::D log_of_ratio(typename V::D s) {
    return V::mul(s, horner<V>(V::mul(s, s), c::log_poly));
}

// ed ln2 + L as fl(ed ln2_hi + fl(ed ln2_lo + L)) (fused or not: ed ln2_hi is exact, with the 44-bit ln2_hi
// and |ed| <= 150, and the inner sum rounds at least as well fused). With |L| <= ln2/2 <= |t| and
// |t| >= |ed| ln2/2 for ed != 0:
// eps <= eps_L + u (1 + eps_L)(1 + u) + (u |ln2_lo| (1 + u) + |ln2 - ln2_hi - ln2_lo|) / (ln2/2) + u, all
// over 1 - u; for ed = 0 it is exactly L (but for the sign of a zero, which `keep_zero` keeps).
template <class V, bool keep_zero = false>
typename V::D add_exponent(typename V::D ed, typename V::D l) {
    const typename V::D v = V::fma(ed, V::set1(c::ln2_hi), V::fma(ed, V::set1(c::ln2_lo), l));
    if constexpr (keep_zero) return V::select(V::eq(ed, V::set1(0.0)), l, v);
    return v;
}

// log x for x > 0 finite: m - 1 and m + 1 are exact (m has at most 24 significant bits), so d = u.
// log 0 = -inf, log inf = inf, NaN below 0.
template <class V, class Combine>
typename V::D log_family(typename V::D x, Combine combine) {
    using D = typename V::D;
    const typename V::M ok = V::both(V::gt(x, V::set1(0.0)), V::lt(x, V::set1(inf)));
    D ed, m;
    decompose<V>(V::select(ok, x, V::set1(1.0)), ed, m);
    const D one = V::set1(1.0);
    const D l = log_of_ratio<V>(V::div(V::sub(m, one), V::add(m, one)));
    const D above = V::select(V::eq(x, V::set1(inf)), V::set1(inf), V::set1(nan));
    return V::select(ok, combine(ed, l), V::select(V::eq(x, V::set1(0.0)), V::set1(-inf), above));
}

template <class V>
typename V::D log_value(typename V::D x) {
    return log_family<V>(x, [](typename V::D ed, typename V::D l) { return add_exponent<V>(ed, l); });
}

// log2 x = fl(ed + L RN(1/ln2)) (the product rounded first where there is no fused multiply-add): the
// product is within (1 + eps_L)(1 + u)^2 - 1 of L / ln2, and for ed != 0, |L / ln2| <= 1/2 <= |t|, so the
// sum adds one rounding over 1 - u. Powers of two give ed exactly.
template <class V>
typename V::D log2_value(typename V::D x) {
    return log_family<V>(x, [](typename V::D ed, typename V::D l) { return V::fma(l, V::set1(c::inv_ln2), ed); });
}

// log10 x = fl(log x RN(1/ln10)): eps_log10 = (1 + eps_log)(1 + u)^2 - 1.
template <class V>
typename V::D log10_value(typename V::D x) {
    return log_family<V>(x, [](typename V::D ed, typename V::D l) {
        return V::mul(add_exponent<V>(ed, l), V::set1(c::inv_ln10));
    });
}

// log(1 + x) for any binary64 x > -1 (binary32 inputs, and the e^-|x| of softplus). y = fl(1 + x) is
// decomposed; for ed = 0, s = fl(x / fl(2 + x)) (= (y - 1) / (y + 1) for the exact 1 + x, whose s stays
// within the polynomial's domain), otherwise s = fl(fl(m - 1) / fl(m + 1)): d = (1 + u)^2 / (1 - u) - 1
// either way. For ed != 0, |t| >= ln2/2 and rounding y moves log y by at most u (1 + u), which adds
// u (1 + u)^2 / (ln2/2) to the bound of log. log1p(-1) = -inf, log1p(inf) = inf, NaN below -1.
template <class V>
typename V::D log1p_value(typename V::D x) {
    using D = typename V::D;
    const typename V::M ok = V::both(V::gt(x, V::set1(-1.0)), V::lt(x, V::set1(inf)));
    const D xs = V::select(ok, x, V::set1(0.0));
    const D one = V::set1(1.0);
    D ed, m;
    decompose<V>(V::add(one, xs), ed, m);
    const typename V::M near_one = V::eq(ed, V::set1(0.0));
    const D num = V::select(near_one, xs, V::sub(m, one));
    const D den = V::select(near_one, V::add(V::set1(2.0), xs), V::add(m, one));
    const D v = add_exponent<V, true>(ed, log_of_ratio<V>(V::div(num, den)));
    const D above = V::select(V::eq(x, V::set1(inf)), V::set1(inf), V::set1(nan));
    return V::select(ok, v, V::select(V::eq(x, V::set1(-1.0)), V::set1(-inf), above));
}

// tanh |x| = E / (E + 2) with E = expm1(min(2|x|, 60)) (2|x| exact; past 30, t is within 2e^-60 < 2^-85 of
// tanh 30): E^ = E (1 + e), |e| <= eps_expm1, fl(E^ + 2) = (E + 2)(1 + e')(1 + d) with |e'| <= |e|, and
// one more rounding for the quotient: eps_tanh = (1 + eps_expm1)(1 + u) / ((1 - u)(1 - eps_expm1)) - 1
// + 2^-85. The sign is x's.
template <class V, bool with_sign>
typename V::D tanh_value(typename V::D x) {
    using D = typename V::D;
    const D a = V::abs(x);
    const D e = expm1_value<V>(V::min(V::add(a, a), V::set1(60.0)));
    const D v = V::div(e, V::add(e, V::set1(2.0)));
    if constexpr (!with_sign) return v;
    return V::as_double(V::or64(V::as_int(v), V::and64(V::as_int(x), V::set64(sign_bit))));
}

// 1 / (1 + w) for x >= 0 and w / (1 + w) for x < 0, w = e^-|x| (the exponential's clamp at -150 leaves
// t within 2^-216 of v for |x| > 150): w^ = w (1 + e), fl(1 + w^) has relative error at most
// eps_exp / 2 + u since w <= 1, so eps_sigmoid = (1 + eps_exp)(1 + u) / ((1 - u)(1 - eps_exp / 2)) - 1.
template <class V>
typename V::D sigmoid_value(typename V::D x) {
    using D = typename V::D;
    const D w = exp_value<V>(V::sub(V::set1(0.0), V::abs(x)));
    const D numerator = V::select(V::lt(x, V::set1(0.0)), w, V::set1(1.0));
    return V::div(numerator, V::add(V::set1(1.0), w));
}

// max(x, 0) + log1p(w), w = e^-|x|. log1p moves by at most the relative error of its argument (its
// relative condition number w / ((1 + w) log1p w) is below 1), so log1p(w^) = log1p(w)(1 + p) with
// 1 + p <= (1 + eps_log1p)(1 + eps_exp (1 + u)); for x > 0 both terms are positive and the sum rounds once:
// eps_softplus = (1 + p)(1 + u) - 1 (+2^-200 for the clamp at |x| = 150).
template <class V>
typename V::D softplus_value(typename V::D x) {
    using D = typename V::D;
    const D w = exp_value<V>(V::sub(V::set1(0.0), V::abs(x)));
    return V::add(V::max(x, V::set1(0.0)), log1p_value<V>(w));
}

// atan |x| = atan(c) + atan(z), z = (a - c) / (1 + c a) for c = 0, 1/2, 1, 3/2 on a < 7/16, 11/16, 19/16,
// 39/16, and pi/2 + atan(-1/a) beyond (a clamped to 2^100: t moves by 2^-100). The numerator and
// denominator a p1 + p0, a q1 + q0 are exact (3a has at most 26 significant bits, and each sum at most 27),
// so z^ = z (1 + d), |d| <= u, and |z| <= 7/16. atan(z^) is within u |z| <= u (7/16) / atan(7/16) |atan z|
// of atan z; w = fl(z^2) within (1 + u)^3 - 1, A = fl(z^ T(w)) = atan(z)(1 + phi) with
// phi = (1 + 1.06 u)(1 + H)(1 + A)(1 + K d_w)(1 + u) - 1. For c != 0, v = fl(hi + fl(lo + A)) and
// eps <= (phi r + e_c / t_min + u (|lo| / t_min + r)(1 + phi) + u) / (1 - u) on each range, t_min =
// atan(range start), r = atan(max |z|) / t_min, e_c the split's error. The sign is x's.
template <class V, bool with_sign>
typename V::D atan_value(typename V::D x) {
    using D = typename V::D;
    using M = typename V::M;
    const D a = V::min(V::abs(x), V::set1(0x1p100));
    D p1 = V::set1(0.0), p0 = V::set1(-1.0), q1 = V::set1(1.0), q0 = V::set1(0.0);
    D hi = V::set1(c::atan_base_hi[3]), lo = V::set1(c::atan_base_lo[3]);
    const auto range = [&](double below, double np1, double np0, double nq1, double nq0, int base) {
        const M in = V::lt(a, V::set1(below));
        p1 = V::select(in, V::set1(np1), p1);
        p0 = V::select(in, V::set1(np0), p0);
        q1 = V::select(in, V::set1(nq1), q1);
        q0 = V::select(in, V::set1(nq0), q0);
        if (base >= 0) {
            hi = V::select(in, V::set1(c::atan_base_hi[base]), hi);
            lo = V::select(in, V::set1(c::atan_base_lo[base]), lo);
        }
        return in;
    };
    range(39.0 / 16, 2, -3, 3, 2, 2);
    range(19.0 / 16, 1, -1, 1, 1, 1);
    range(11.0 / 16, 2, -1, 1, 2, 0);
    const M small = range(7.0 / 16, 1, 0, 0, 1, -1);
    const D z = V::div(V::fma(a, p1, p0), V::fma(a, q1, q0));
    const D at = V::mul(z, horner<V>(V::mul(z, z), c::atan_poly));
    const D v = V::select(small, at, V::add(hi, V::add(lo, at)));
    if constexpr (!with_sign) return v;
    return V::as_double(V::or64(V::as_int(v), V::and64(V::as_int(x), V::set64(sign_bit))));
}

// 1 / sqrt x: fl(1 / fl(sqrt x)), eps = (1 + u) / (1 - u) - 1. Negative x give NaN (without taking the
// root of a negative number), +0 gives inf, -0 gives -inf, inf gives 0.
template <class V>
typename V::D rsqrt_value(typename V::D x) {
    using D = typename V::D;
    const D safe = V::select(V::lt(x, V::set1(0.0)), V::set1(nan), x);
    return V::div(V::set1(1.0), V::sqrt(safe));
}

// The 2/pi window (see reduce_quadrant) of a group of inputs that all lie in one binade, as most groups of
// a walk do: then two loads serve the group and no lane gathers its own.
template <class V>
struct Window {
    bool uniform = false;
    typename V::I64 high{}, low{};
};

template <class V>
Window<V> window_of(typename V::I32 pattern) {
    Window<V> w;
    const typename V::I32 exponents = V::and32(pattern, 0x7f800000);
    if (!V::uniform32(exponents)) return w;
    const int biased = static_cast<int>(V::lane0_32(exponents) >> 23);
    const int entry = biased < 126 ? 0 : biased - 126 > 128 ? 128 : biased - 126;
    w.uniform = true;
    w.high = V::set64(c::two_over_pi_high[entry]);
    w.low = V::set64(c::two_over_pi_low[entry]);
    return w;
}

// Argument reduction for a = |x|: y = a 2/pi = q + r with q an integer and |r| <= 1/2, r in quarter turns.
//
// For a < 1/2, r = fl(a RN(2/pi)), within (1 + u)^2 - 1 relative, and q = 0.
//
// Otherwise a = m 2^e exactly, m < 2^24 an integer (the binary32 significand), and the table holds W, the bits
// of 2^e 2/pi of weight 2^1 down to 2^-126 as a 128-bit integer: m W mod 2^128, read with 126 fraction bits,
// is y mod 4 less something below m 2^-126 < 2^-102 (the bits of 2^e 2/pi below 2^-126, times m); the bits
// above 2^1 only add multiples of 4. The product takes four 32 x 32 -> 64-bit multiplications and three
// carries, each below 2^57: exact, whatever the size of a, so 2^100 costs what 1 does. Of the product,
// bits 127-126 are floor(y) mod 4 and bit 125 says whether the fraction f >= 1/2, which makes
// q = floor(y) + 1 and r = f - 1 < 0. The fraction's limbs of weight 2^-30 (bits 125-96), 2^-62 and 2^-94
// convert to binary64 exactly; the first, less 1 when bit 125 is set, gives r_hi exactly, the other two are
// summed with an error below u 2^-30 = 2^-83, the limb of weight 2^-126 is dropped (below 2^-94), and
// r = fl(r_hi + rest). With r_min the smallest |r| of any binary32 a >= 1/2 (an exhaustive search), |r|
// carries a relative error of at most (1 + u)(1 + (2^-102 + 2^-94 + 2^-83) / r_min) - 1.
//
// `code` returns bits 127-96 of the product in its top half (zero for a < 1/2): bits 63 and 62 hold
// floor(y) mod 4, bit 61 the sign of r.
template <class V>
typename V::D reduce_quadrant(typename V::D a, typename V::I64& code, const Window<V>& window) {
    using D = typename V::D;
    using I = typename V::I64;
    const typename V::M direct = V::lt(a, V::set1(0.5));
    const D near = V::mul(a, V::set1(c::two_over_pi));

    const I b = V::as_int(a);
    // The binary32 significand: the top 23 fraction bits of the widened value, and the hidden bit.
    const I m = V::or64(V::and64(V::template shr64<29>(b), V::set64(0x7fffff)), V::set64(0x800000));
    I high = window.high, low = window.low;
    if (!window.uniform) {
        // Table entry: the binary64 exponent field less 1022, clamped to the table (for a >= 1/2 it is the
        // binary32 binade; other lanes read any entry and are discarded).
        const D field =
            V::sub(V::as_double(V::or64(V::template shr64<52>(b), V::set64(two52_bits))), V::set1(0x1p52));
        const D entry = clamp<V>(V::sub(field, V::set1(1022.0)), 0.0, 128.0);
        const I index = V::and64(V::as_int(V::add(entry, V::set1(0x1p52))), V::set64(0xff));
        high = V::gather64(c::two_over_pi_high, index);
        low = V::gather64(c::two_over_pi_low, index);
    }
    const I mask32 = V::set64(0xffffffff);
    const I p0 = V::mul32(m, low);
    const I s1 = V::add64(V::mul32(m, V::template shr64<32>(low)), V::template shr64<32>(p0));
    const I s2 = V::add64(V::mul32(m, high), V::template shr64<32>(s1));
    const I s3 = V::add64(V::mul32(m, V::template shr64<32>(high)), V::template shr64<32>(s2));
    // The fraction's 32-bit limbs of weight 2^-30 (30 bits), 2^-62 and 2^-94, each made exact binary64 by
    // ORing it into the significand of the power of two whose last place is its weight.
    const auto limb = [](I bits, std::uint64_t power_bits, double power) {
        return V::sub(V::as_double(V::or64(bits, V::set64(power_bits))), V::set1(power));
    };
    const D f_high = limb(V::and64(s3, V::set64(0x3fffffff)), 0x4150000000000000, 0x1p22);
    const D rest = V::add(limb(V::and64(s2, mask32), 0x3f50000000000000, 0x1p-10),
                          limb(V::and64(s1, mask32), 0x3d50000000000000, 0x1p-42));
    const typename V::M half = V::top_mask(V::template shl64<34>(s3));
    const D r = V::add(V::select(half, V::sub(f_high, V::set1(1.0)), f_high), rest);
    code = V::as_int(V::select(direct, V::set1(0.0), V::as_double(V::template shl64<32>(s3))));
    return V::select(direct, near, V::abs(r));
}

// sin, cos and tan from the reduced r >= 0 (relative error rho, see reduce_quadrant): S = fl(r Ps(fl(r^2)))
// and C = Pc(fl(r^2)). sin(pi/2 r) moves by at most rho relative when r does (it is concave on [0, 1]), so
// eps_S = (1 + rho)(1 + H)(1 + A)(1 + K u (1 + u))(1 + u) - 1; C's argument is within (1 + rho)^2 (1 + u) - 1
// = d_w of r^2, so eps_C = (1 + H)(1 + A)(1 + K d_w) - 1. |sin x| is S for even q and C for odd q, |cos x|
// the other way round: eps_sin = eps_cos = max(eps_S, eps_C); |tan x| = fl(S / C) or fl(C / S),
// eps_tan = (1 + eps_sin)(1 + u) / (1 - eps_sin) - 1. Signs: with q mod 4 and the sign of r from `code`.
enum class Trig { Sin, Cos, Tan };

template <class V, Trig op, bool with_sign>
typename V::D trig_value(typename V::D x, const Window<V>& window) {
    using D = typename V::D;
    using I = typename V::I64;
    const D a = V::abs(x);  // inf and NaN compute on their patterns and end as NaN
    I code;
    const D r = reduce_quadrant<V>(a, code, window);
    const D w = V::mul(r, r);
    const D s = V::mul(r, horner<V>(w, c::sin_poly));
    const D cosine = horner<V>(w, c::cos_poly);
    // Bit 63 of each: q mod 4 (high, low bit) and r < 0.
    const I b126 = V::template shl64<1>(code), r_negative = V::template shl64<2>(code);
    const I q_low = V::xor64(b126, r_negative);
    const typename V::M odd = V::top_mask(q_low);
    D magnitude;
    if constexpr (op == Trig::Sin) magnitude = V::select(odd, cosine, s);
    else if constexpr (op == Trig::Cos) magnitude = V::select(odd, s, cosine);
    else magnitude = V::div(V::select(odd, cosine, s), V::select(odd, s, cosine));
    const typename V::M finite = V::lt(a, V::set1(inf));
    if constexpr (!with_sign) return V::select(finite, magnitude, V::set1(nan));
    const I q_high = V::xor64(code, V::and64(b126, r_negative));
    I negative;
    if constexpr (op == Trig::Sin) {
        // q = 0: sign of r; 1: +; 2: minus the sign of r; 3: -.
        negative = V::xor64(V::xor64(q_high, V::xor64(r_negative, V::and64(q_low, r_negative))), V::as_int(x));
    } else if constexpr (op == Trig::Cos) {
        // q = 0: +; 1: minus the sign of r; 2: -; 3: sign of r.
        negative = V::xor64(q_high, V::xor64(q_low, V::and64(q_low, r_negative)));
    } else {
        negative = V::xor64(V::xor64(q_low, r_negative), V::as_int(x));
    }
    const D v = V::as_double(V::or64(V::as_int(magnitude), V::and64(negative, V::set64(sign_bit))));
    return V::select(finite, v, V::set1(nan));
}

template <UnaryOp>
constexpr bool no_reference = false;

constexpr bool is_trig(UnaryOp op) { return op == UnaryOp::Sin || op == UnaryOp::Cos || op == UnaryOp::Tan; }

// The estimate of op(x) for lanes of binary32 inputs widened to binary64 (with the 2/pi window of their
// group, for the trigonometric operations), or only its magnitude, which is all a distance needs. NaN
// inputs are the values kernel's to handle: walks over ordered values meet none.
template <class V, UnaryOp op, bool with_sign>
typename V::D value(typename V::D x, const Window<V>& window) {
    typename V::D v;
    if constexpr (op == UnaryOp::Exp) v = exp_value<V>(x);
    else if constexpr (op == UnaryOp::Log) v = log_value<V>(x);
    else if constexpr (op == UnaryOp::Log2) v = log2_value<V>(x);
    else if constexpr (op == UnaryOp::Log10) v = log10_value<V>(x);
    else if constexpr (op == UnaryOp::Log1p) v = log1p_value<V>(x);
    else if constexpr (op == UnaryOp::Sin) v = trig_value<V, Trig::Sin, with_sign>(x, window);
    else if constexpr (op == UnaryOp::Cos) v = trig_value<V, Trig::Cos, with_sign>(x, window);
    else if constexpr (op == UnaryOp::Tan) v = trig_value<V, Trig::Tan, with_sign>(x, window);
    else if constexpr (op == UnaryOp::Expm1) v = expm1_value<V>(x);
    else if constexpr (op == UnaryOp::Tanh) v = tanh_value<V, with_sign>(x);
    else if constexpr (op == UnaryOp::Exp2) v = exp2_value<V>(x);
    else if constexpr (op == UnaryOp::Atan) v = atan_value<V, with_sign>(x);
    else if constexpr (op == UnaryOp::Rsqrt) v = rsqrt_value<V>(x);
    else if constexpr (op == UnaryOp::Sigmoid) v = sigmoid_value<V>(x);
    else if constexpr (op == UnaryOp::Softplus) v = softplus_value<V>(x);
    else static_assert(no_reference<op>, "no vector reference for this operation");
    return v;
}

// Whether some result of op lies below 2^-126 in magnitude without being zero. The others' results are
// at least 2^-26 (log of binary32 values other than 1, cos of them), or 2^-64 (rsqrt), or exactly 0.
constexpr bool may_underflow(UnaryOp op) {
    return !(op == UnaryOp::Log || op == UnaryOp::Log2 || op == UnaryOp::Log10 || op == UnaryOp::Cos ||
             op == UnaryOp::Rsqrt);
}

// The distance D(v) for an estimate v, and which lanes not to trust. D is computed exactly: |v| is rescaled
// to [2^23, 2^24) by replacing its exponent (normal binary32 range; an exact 0 becomes 2^23) or multiplied
// by 2^149 (below 2^-126, where the gap is the smallest subnormal; |v| * 2^149 < 2^23 is exact), so the
// binary32 gap becomes 1 and u' - round(u') and 1/2 minus its magnitude are exact. |v| >= 2^129 (and NaN)
// means t overflows binary32 (or is NaN) and so does the binary64 judgement: no report, never a hit,
// estimate +inf. Between the edge of overflow (less a relative 2^-28) and 2^129 nothing is trusted.
template <class V, UnaryOp op>
typename V::D distance(typename V::D v, typename V::M& untrusted) {
    using D = typename V::D;
    const D mag = V::abs(v);
    const typename V::M finite = V::lt(mag, V::set1(0x1p129));
    untrusted = V::both(V::ge(mag, V::set1(overflow_edge)), finite);
    D scaled = V::or_bits(V::and_bits(mag, fraction_mask), exponent_of_2p23);
    if constexpr (may_underflow(op))
        scaled = V::select(V::lt(mag, V::set1(0x1p-126)), V::mul(mag, V::set1(0x1p149)), scaled);
    const D d = V::sub(V::set1(0.5), V::abs(V::sub(scaled, V::round(scaled))));
    return V::select(finite, d, V::set1(inf));
}

// The lanes of a group, low bit first, that hold one of the `left` inputs still to examine.
unsigned lanes_left(std::uint32_t left, unsigned group) {
    return left >= group ? (group == 32 ? ~0u : (1u << group) - 1) : (1u << left) - 1;
}

// Kernels over the walk of prefilter_kernels.hpp (ordered values first + i * step); the candidates kernel
// keeps an input back when its estimate is trusted and at or above the threshold.
template <class V, UnaryOp op>
std::uint32_t candidates(std::int32_t first, std::uint32_t step, std::uint32_t count, double threshold,
                         std::uint32_t* out) {
    constexpr unsigned group = 2 * V::width;
    typename V::I32 k = V::iota32(first, step);
    const typename V::I32 advance = V::set32(step * group);
    const typename V::D at_least = V::set1(threshold);
    std::uint32_t found = 0;
    for (std::uint32_t base = 0; base < count; base += group) {
        typename V::D low, high;
        const typename V::I32 pattern = V::pattern32(k);
        V::widen_f32(pattern, low, high);
        const Window<V> window = is_trig(op) ? window_of<V>(pattern) : Window<V>{};
        typename V::M untrusted_low, untrusted_high;
        const typename V::D d_low = distance<V, op>(value<V, op, false>(low, window), untrusted_low);
        const typename V::D d_high = distance<V, op>(value<V, op, false>(high, window), untrusted_high);
        const unsigned kept = V::bits(V::but_not(V::ge(d_low, at_least), untrusted_low)) |
                              (V::bits(V::but_not(V::ge(d_high, at_least), untrusted_high)) << V::width);
        unsigned passed = lanes_left(count - base, group) & ~kept;
        while (passed != 0) {
            out[found++] = base + static_cast<std::uint32_t>(__builtin_ctz(passed));
            passed &= passed - 1;
        }
        k = V::add32(k, advance);
    }
    return found;
}

template <class V, UnaryOp op>
void estimates(std::int32_t first, std::uint32_t step, std::uint32_t count, double* out) {
    constexpr unsigned group = 2 * V::width;
    typename V::I32 k = V::iota32(first, step);
    const typename V::I32 advance = V::set32(step * group);
    double lane[group];
    for (std::uint32_t base = 0; base < count; base += group) {
        typename V::D low, high;
        const typename V::I32 pattern = V::pattern32(k);
        V::widen_f32(pattern, low, high);
        const Window<V> window = is_trig(op) ? window_of<V>(pattern) : Window<V>{};
        typename V::M untrusted_low, untrusted_high;
        const typename V::D d_low = distance<V, op>(value<V, op, false>(low, window), untrusted_low);
        const typename V::D d_high = distance<V, op>(value<V, op, false>(high, window), untrusted_high);
        V::store(lane, V::select(untrusted_low, V::set1(nan), d_low));
        V::store(lane + V::width, V::select(untrusted_high, V::set1(nan), d_high));
        for (unsigned i = 0; i < group && base + i < count; ++i) out[base + i] = lane[i];
        k = V::add32(k, advance);
    }
}

template <class V, UnaryOp op>
void values(const float* x, std::uint32_t count, double* out) {
    constexpr unsigned group = 2 * V::width;
    float in[group];
    double lane[group];
    for (std::uint32_t base = 0; base < count; base += group) {
        const unsigned n = count - base < group ? count - base : group;
        for (unsigned i = 0; i < group; ++i) in[i] = i < n ? x[base + i] : 0.0f;
        typename V::D low, high;
        const typename V::I32 pattern = V::load32(in);
        V::widen_f32(pattern, low, high);
        const Window<V> window = is_trig(op) ? window_of<V>(pattern) : Window<V>{};
        V::store(lane, V::select(V::is_nan(low), low, value<V, op, true>(low, window)));
        V::store(lane + V::width, V::select(V::is_nan(high), high, value<V, op, true>(high, window)));
        for (unsigned i = 0; i < n; ++i) out[base + i] = lane[i];
    }
}

template <class V, class Kernels, UnaryOp op>
constexpr void add(Kernels& k) {
    const auto i = static_cast<std::size_t>(op);
    k.candidates[i] = candidates<V, op>;
    k.estimates[i] = estimates<V, op>;
    k.values[i] = values<V, op>;
}

// The kernels of one instruction set, for every operation with a vector reference.
template <class V, class Kernels>
constexpr Kernels kernels_for() {
    Kernels k{};
    add<V, Kernels, UnaryOp::Exp>(k);
    add<V, Kernels, UnaryOp::Log>(k);
    add<V, Kernels, UnaryOp::Log2>(k);
    add<V, Kernels, UnaryOp::Log10>(k);
    add<V, Kernels, UnaryOp::Log1p>(k);
    add<V, Kernels, UnaryOp::Sin>(k);
    add<V, Kernels, UnaryOp::Cos>(k);
    add<V, Kernels, UnaryOp::Tan>(k);
    add<V, Kernels, UnaryOp::Expm1>(k);
    add<V, Kernels, UnaryOp::Tanh>(k);
    add<V, Kernels, UnaryOp::Exp2>(k);
    add<V, Kernels, UnaryOp::Atan>(k);
    add<V, Kernels, UnaryOp::Rsqrt>(k);
    add<V, Kernels, UnaryOp::Sigmoid>(k);
    add<V, Kernels, UnaryOp::Softplus>(k);
    return k;
}

}  // namespace
}  // namespace exact::vref_lanes
