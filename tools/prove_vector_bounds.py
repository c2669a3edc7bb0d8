#!/usr/bin/env python3
"""Proves the error bounds of the vector references and writes them into src/exact/vector_ref_constants.hpp.

The vector references (src/exact/vector_ref_lanes.hpp) evaluate the library-based binary32 operations in
binary64 from six polynomials, a few split constants and a table of the bits of 2/pi. This script is the
one place where those numbers come from and where their error bounds are established:

- Approximation. Each polynomial p stands for a power series g(w) = sum a_k w^k with known coefficients
  (exp, expm1(r)/r, 2 atanh(sqrt w)/sqrt w, sin and cos of pi/2 sqrt w, atan(sqrt w)/sqrt w). Over each of
  many small pieces of the domain, p - g_K (g cut after K terms, with K chosen so the tail is below
  2^-90 over the whole domain) is re-expanded around the piece's centre in ball arithmetic (python-flint's
  arb), and |p - g| is bounded by the sum of the magnitudes of the expansion's terms plus the tail. Dividing
  by a lower bound of |g| on the piece gives the relative error.
- Evaluation. Horner's scheme with a rounding after every multiplication and every addition (the bound
  also covers fused multiply-adds): a running bound E_i <= E_(i+1) W (1+u) + (Y_(i+1) + E_(i+1)) W u (1+u)
  + Y_i u on the error of the i-th partial sum, Y_i bounding that partial sum over the domain.
- Sensitivity. How far g moves when its argument carries a relative error, for the squared arguments.
- Composition. Each operation's relative error, combined from the above and the few roundings and split
  constants around the polynomial, exactly as the comments next to the kernels derive it.
- Reduction. The smallest distance from x * 2/pi to an integer over every binary32 x >= 1/2, found by an
  exhaustive search over all 2^23 significands of each binade with the same 128-bit window of 2/pi that the
  kernels use (whose truncation error is bounded); the closest input of every binade goes to
  tests/native/trig_hardest.inc for the native tests.

Usage (python-flint and mpmath; numpy for the search):
    python3 tools/prove_vector_bounds.py            check: re-prove everything, compare with the header
    python3 tools/prove_vector_bounds.py --write    prove and rewrite the header from its coefficients
    python3 tools/prove_vector_bounds.py --fit --write    fit new polynomials (Remez, mpmath), then as --write
    python3 tools/prove_vector_bounds.py --no-search      skip the exhaustive reduction search (about a minute)
"""
from __future__ import annotations

import argparse
import math
import re
import sys
from dataclasses import dataclass
from fractions import Fraction
from pathlib import Path
from typing import Callable, Optional

from flint import arb, ctx, fmpq

ROOT = Path(__file__).resolve().parent.parent
HEADER = ROOT / "src" / "exact" / "vector_ref_constants.hpp"
HARDEST = ROOT / "tests" / "native" / "trig_hardest.inc"

ctx.prec = 320
U = Fraction(1, 2**53)  # unit roundoff of binary64
PIECES = 256
TAIL = Fraction(1, 2**90)
# The estimate's contract below 2^-200 in magnitude is absolute (see vector_ref.hpp).
ABSOLUTE = Fraction(1, 2**200)


def a(q) -> arb:
    """An exact arb from an int, Fraction or float."""
    if isinstance(q, arb):
        return q
    if isinstance(q, float):
        q = Fraction(q)
    if isinstance(q, int):
        return arb(q)
    return arb(fmpq(q.numerator, q.denominator))


def upper(x: arb) -> Fraction:
    """An exact rational upper bound of the ball x."""
    man, exp = x.upper().mid().man_exp()
    return Fraction(int(man)) * (Fraction(2) ** int(exp))


def lower(x: arb) -> Fraction:
    man, exp = x.lower().mid().man_exp()
    return Fraction(int(man)) * (Fraction(2) ** int(exp))


def round_up(q: Fraction, bits: int = 4) -> float:
    """A binary64 value >= q with at most `bits` significant bits (so the header stays readable)."""
    if q <= 0:
        return 0.0
    e = math.floor(math.log2(q))
    while Fraction(2) ** e > q:
        e -= 1
    while Fraction(2) ** (e + 1) <= q:
        e += 1
    step = Fraction(2) ** (e - bits + 1)
    n = math.ceil(q / step)
    return float(n * step)


def comb(*errors) -> arb:
    """(1 + e1)(1 + e2)... - 1: relative errors of consecutive steps combined."""
    p = arb(1)
    for e in errors:
        p *= 1 + a(e)
    return p - 1


def to_double(x: arb) -> float:
    """x rounded to the nearest binary64 (x known far more precisely than that)."""
    man, exp = x.mid().man_exp()
    return float(Fraction(int(man)) * Fraction(2) ** int(exp))


# ---------------------------------------------------------------- the series the polynomials stand for

PI = arb.pi()
HALF_PI = PI / 2


def factorial(n: int) -> int:
    return math.factorial(n)


@dataclass
class Series:
    """g(w) = sum_k coef(k) w^k, and a bound rho(K) >= |coef(k + 1) / coef(k)| for every k >= K."""

    coef: Callable[[int], arb]
    rho: Callable[[int], Fraction]


SERIES = {
    "exp": Series(lambda k: a(Fraction(1, factorial(k))), lambda K: Fraction(1, K + 1)),
    "expm1": Series(lambda k: a(Fraction(1, factorial(k + 1))), lambda K: Fraction(1, K + 2)),
    "log": Series(lambda k: a(Fraction(2, 2 * k + 1)), lambda K: Fraction(1)),
    "sin": Series(lambda k: (-1) ** k * HALF_PI ** (2 * k + 1) / factorial(2 * k + 1),
                  lambda K: Fraction(5, 2) / ((2 * K + 2) * (2 * K + 3))),
    "cos": Series(lambda k: (-1) ** k * HALF_PI ** (2 * k) / factorial(2 * k),
                  lambda K: Fraction(5, 2) / ((2 * K + 1) * (2 * K + 2))),
    "atan": Series(lambda k: a(Fraction((-1) ** k, 2 * k + 1)), lambda K: Fraction(1)),
}


@dataclass
class Poly:
    name: str
    degree: int
    lo: Fraction  # domain of the argument the kernels pass
    hi: Fraction
    what: str  # for the header


# Domains, with the slack the kernels' own argument errors need (see vector_ref_lanes.hpp):
# exp and expm1 take r with |r| <= ln2 (1/2 + 2^-44); log takes w = s^2 with |s| <= (3 - 2 sqrt 2)(1 + 4u);
# sin and cos take w = r^2 with |r| <= 1/2 (1 + 2^-100); atan takes w = z^2 with |z| <= 7/16 (1 + 2u).
R_EXP = Fraction(34658, 100000)
POLYS = [
    Poly("exp", 10, -R_EXP, R_EXP, "e^r"),
    Poly("expm1", 10, -R_EXP, R_EXP, "(e^r - 1) / r"),
    Poly("log", 6, Fraction(0), Fraction(2944, 100000), "2 atanh(s) / s at w = s^2"),
    Poly("sin", 6, Fraction(0), Fraction(1, 4) + Fraction(1, 2**40), "sin(pi/2 r) / r at w = r^2"),
    Poly("cos", 6, Fraction(0), Fraction(1, 4) + Fraction(1, 2**40), "cos(pi/2 r) at w = r^2"),
    Poly("atan", 10, Fraction(0), Fraction(49, 256) * (1 + Fraction(1, 2**40)), "atan(z) / z at w = z^2"),
]


def series_terms(series: Series, bound: Fraction) -> tuple[list[arb], arb]:
    """Coefficients a_0..a_(K-1) and a bound of sum_(k>=K) |a_k| bound^k below TAIL."""
    K = 4
    while True:
        rho = series.rho(K) * bound
        if rho < 1:
            tail = abs(series.coef(K)) * a(bound) ** K / (1 - a(rho))
            if upper(tail) < TAIL:
                return [series.coef(k) for k in range(K)], tail
        K += 1


def horner(coeffs: list[arb], x: arb) -> arb:
    y = arb(0)
    for c in reversed(coeffs):
        y = y * x + c
    return y


def taylor_shift(coeffs: list[arb], c: arb) -> list[arb]:
    """Coefficients of q(t) = p(c + t) for p given by ascending coefficients."""
    b = list(coeffs)
    n = len(b)
    for i in range(n):
        for j in range(n - 2, i - 1, -1):
            b[j] = b[j] + c * b[j + 1]
    return b


def pieces(lo: Fraction, hi: Fraction, n: int):
    for i in range(n):
        p, q = lo + (hi - lo) * i / n, lo + (hi - lo) * (i + 1) / n
        yield (p + q) / 2, (q - p) / 2


@dataclass
class PolyBounds:
    approximation: Fraction  # |p - g| <= A |g|
    evaluation: Fraction  # |fl(p) - p| <= H |p| for an exact argument
    sensitivity: Fraction  # |g(w') - g(w)| <= K |w' - w| / |w| |g(w)| ... as K * relative change of w
    g_min: Fraction
    g_max: Fraction


def prove_poly(poly: Poly, coefficients: list[float]) -> PolyBounds:
    series = SERIES[poly.name]
    W = max(abs(poly.lo), abs(poly.hi))
    g_terms, tail = series_terms(series, W)
    p = [a(c) for c in coefficients]
    n = max(len(p), len(g_terms))
    diff = [(p[k] if k < len(p) else arb(0)) - (g_terms[k] if k < len(g_terms) else arb(0)) for k in range(n)]
    deriv = [k * g_terms[k] for k in range(1, len(g_terms))]
    worst_rel = arb(0)
    g_min: Optional[Fraction] = None
    g_max = Fraction(0)
    g_prime_max = Fraction(0)
    deriv_tail = series_tail_derivative(series, W)
    for centre, radius in pieces(poly.lo, poly.hi, PIECES):
        c, h = a(centre), a(radius)
        shifted = taylor_shift(diff, c)
        err = sum((abs(b) * h ** j for j, b in enumerate(shifted)), arb(0)) + tail
        ball = arb(fmpq(centre.numerator, centre.denominator), radius_arb(radius))
        g = horner(g_terms, ball)
        g_low = lower(abs(g) - tail) if not g.contains(0) else Fraction(0)
        if g_low <= 0:
            raise SystemExit(f"{poly.name}: target not bounded away from zero near {float(centre)}")
        g_min = g_low if g_min is None else min(g_min, g_low)
        g_max = max(g_max, upper(abs(g) + tail))
        g_prime_max = max(g_prime_max, upper(abs(horner(deriv, ball)) + a(deriv_tail)))
        worst_rel = arb.max(worst_rel, err / a(g_low))
    A = upper(worst_rel)
    # Horner's running error bound, for an exact argument.
    ascending = p
    deg = len(ascending) - 1
    centre = (poly.lo + poly.hi) / 2
    whole = arb(fmpq(centre.numerator, centre.denominator), radius_arb((poly.hi - poly.lo) / 2))
    partial_max = []
    for i in range(deg + 1):
        partial_max.append(upper(abs(horner(ascending[i:], whole))))
    u, Wa = a(U), a(W)
    E = arb(0)
    for i in range(deg - 1, -1, -1):
        E = E * Wa * (1 + u) + (a(partial_max[i + 1]) + E) * Wa * u * (1 + u) + a(partial_max[i]) * u
    p_min = a(g_min) * (1 - a(A))
    H = upper(E / p_min)
    K = upper(a(g_prime_max) * Wa / a(g_min))
    return PolyBounds(A, H, K, g_min, g_max)


def radius_arb(r: Fraction) -> arb:
    return arb(fmpq(r.numerator, r.denominator))


def series_tail_derivative(series: Series, W: Fraction) -> Fraction:
    """A bound of sum_(k>=K) k |a_k| W^(k-1) for the K series_terms picked (generous: the terms are tiny)."""
    terms, _ = series_terms(series, W)
    K = len(terms)
    total = arb(0)
    for k in range(K, K + 400):
        total += k * abs(series.coef(k)) * a(W) ** max(k - 1, 0)
    return upper(total * 2)


# ---------------------------------------------------------------- fitting (only with --fit)

def fit(poly: Poly) -> list[float]:
    """A near-minimax polynomial for the relative error (Remez exchange in mpmath), rounded to binary64."""
    import mpmath as mp

    mp.mp.dps = 60
    series = SERIES[poly.name]
    terms = [mp.mpf(to_double_exact(series.coef(k))) for k in range(60)]

    def g(w):
        return mp.fsum(t * w ** k for k, t in enumerate(terms))

    lo, hi = mp.mpf(poly.lo.numerator) / poly.lo.denominator, mp.mpf(poly.hi.numerator) / poly.hi.denominator
    n = poly.degree
    N = n + 2
    grid = [lo + (hi - lo) * mp.mpf(i) / 3000 for i in range(3001)]
    gv = [g(x) for x in grid]
    ref = [(lo + hi) / 2 + (hi - lo) / 2 * mp.cos(mp.pi * (N - 1 - j) / (N - 1)) for j in range(N)]
    coeffs = None
    for _ in range(20):
        A = mp.matrix(N, N)
        rhs = mp.matrix(N, 1)
        for j, x in enumerate(ref):
            gx = g(x)
            for i in range(n + 1):
                A[j, i] = x ** i
            A[j, n + 1] = (-1) ** j * gx
            rhs[j] = gx
        sol = mp.lu_solve(A, rhs)
        coeffs = [sol[i] for i in range(n + 1)]
        err = [mp.polyval(coeffs[::-1], x) / v - 1 for x, v in zip(grid, gv)]
        segments, current = [], [0]
        for k in range(1, len(err)):
            if (err[k] >= 0) == (err[current[-1]] >= 0):
                current.append(k)
            else:
                segments.append(current)
                current = [k]
        segments.append(current)
        extrema = [max(s, key=lambda k: abs(err[k])) for s in segments]
        while len(extrema) > N:
            extrema.pop(0 if abs(err[extrema[0]]) < abs(err[extrema[-1]]) else -1)
        if len(extrema) < N:
            break
        ref = [grid[k] for k in extrema]
    return [float(c) for c in coeffs]


def to_double_exact(x: arb) -> str:
    return x.mid().str(60, radius=False)


# ---------------------------------------------------------------- constants

def split(value: arb, bits: int) -> tuple[float, float, Fraction]:
    """value = hi + lo + err: hi rounded to `bits` significant bits, lo = RN(value - hi), |err| bounded."""
    man, exp = value.mid().man_exp()
    exact = Fraction(int(man)) * Fraction(2) ** int(exp)
    e = math.floor(math.log2(abs(exact)))
    step = Fraction(2) ** (e - bits + 1)
    hi = round(exact / step) * step
    lo = to_double(value - a(hi))
    err = upper(abs(value - a(hi) - a(lo)))
    return float(hi), lo, err


@dataclass
class Constants:
    ln2_hi: float
    ln2_lo: float
    ln2_err: Fraction
    ln2: float
    inv_ln2: float
    inv_ln10: float
    two_over_pi: float
    atan_bases: list[tuple[float, float, Fraction]]  # atan(1/2), atan(1), atan(3/2), pi/2


def constants() -> Constants:
    ln2 = arb(2).log()
    hi, lo, err = split(ln2, 44)
    bases = [split(arb(fmpq(1, 2)).atan(), 53), split(arb(1).atan(), 53), split(arb(fmpq(3, 2)).atan(), 53),
             split(HALF_PI, 53)]
    return Constants(hi, lo, err, to_double(ln2), to_double(1 / ln2), to_double(1 / arb(10).log()),
                     to_double(2 / PI), bases)


def rel_error_of_double(d: float, exact: arb) -> Fraction:
    return upper(abs(a(d) - exact) / abs(exact))


# The window of 2/pi for the binary32 binades from [1/2, 1) (index 0) to [2^127, 2^128) (index 128): for the
# binade whose significands m (2^23 <= m < 2^24) carry weight 2^e, e = index - 24, the bits of 2^e 2/pi of
# weight 2^1 down to 2^-126, as a 128-bit integer: m * window mod 2^128 is x 2/pi mod 4 scaled by 2^126,
# short of it by less than m 2^-126 < 2^-102.
TABLE_SIZE = 129


def two_over_pi_windows() -> list[int]:
    old = ctx.prec
    ctx.prec = 700
    try:
        t = 2 / arb.pi()
        out = []
        for index in range(TABLE_SIZE):
            e = index - 24
            v = (t * a(Fraction(2) ** (e + 126))).floor()
            n = v.unique_fmpz()
            if n is None:
                raise SystemExit("2/pi not known to enough bits")
            out.append(int(n) % (1 << 128))
        return out
    finally:
        ctx.prec = old


TRUNCATION = Fraction(1, 2**102)


def reduction_search(windows: list[int]) -> tuple[Fraction, list[tuple[int, float]]]:
    """Over every binary32 x in [1/2, 2^128): a lower bound of the distance from x 2/pi to the nearest
    integer, and per binade the input that comes closest (its bits and approximate distance)."""
    import numpy as np

    M32 = np.uint64(0xFFFFFFFF)
    best_overall = None
    hardest = []
    for index, w in enumerate(windows):
        limbs = [np.uint64((w >> (32 * j)) & 0xFFFFFFFF) for j in range(4)]
        binade_best = None
        for start in range(1 << 23, 1 << 24, 1 << 21):
            m = np.arange(start, start + (1 << 21), dtype=np.uint64)
            p0 = m * limbs[0]
            s1 = m * limbs[1] + (p0 >> np.uint64(32))
            s2 = m * limbs[2] + (s1 >> np.uint64(32))
            s3 = m * limbs[3] + (s2 >> np.uint64(32))
            top = ((s3 & M32) << np.uint64(32)) | (s2 & M32)  # bits 127..64 of the product
            # The fraction of y mod 4 in its top 62 bits: distance to the nearest integer, from below, in
            # units of 2^-62 (the 64 low bits only move it by less than one unit).
            frac = top & np.uint64((1 << 62) - 1)
            dist = np.minimum(frac, np.uint64((1 << 62) - 1) - frac)
            i = int(np.argmin(dist))
            d = int(dist[i])
            if binade_best is None or d < binade_best[0]:
                binade_best = (d, int(m[i]))
        d, mm = binade_best
        biased = index + 126  # binary32 exponent field of [2^(index-1), 2^index)
        bits = (biased << 23) | (mm - (1 << 23))
        hardest.append((bits, d / 2**62))
        if best_overall is None or d < best_overall:
            best_overall = d
    # Distance of x 2/pi >= (top-bit distance) 2^-62 - (the product's truncation) - (the window's).
    return Fraction(best_overall, 2**62) - TRUNCATION, hardest


# ---------------------------------------------------------------- composition per operation

def compose(b: dict[str, PolyBounds], k: Constants, r_min: Fraction) -> dict[str, Fraction]:
    u = a(U)
    eps: dict[str, arb] = {}
    R = a(R_EXP)

    # exp: r1 = x - kd ln2_hi exact; r = fl(r1 - fl(kd ln2_lo)); |kd| <= 217 (x clamped to [-150, 100]).
    def reduction_error(kd_max: int) -> arb:
        kd = a(kd_max)
        return kd * a(k.ln2_err) + u * kd * abs(a(k.ln2_lo)) * (1 + u) + u * (R + kd * abs(a(k.ln2_lo)))

    d_exp = reduction_error(217)
    eps["exp"] = comb(b["exp"].evaluation, b["exp"].approximation, d_exp.exp() - 1)
    # exp2: r = x - kd exact, z = fl(r RN(ln2)) with |z - r ln2| <= 2.0001 u |r ln2| <= 2.0001 u R.
    ln2c = rel_error_of_double(k.ln2, arb(2).log())
    d_exp2 = comb(ln2c, u) * R
    eps["exp2"] = comb(b["exp"].evaluation, b["exp"].approximation, d_exp2.exp() - 1)

    # expm1: E = fl(r fl(G(r))) approximates expm1(r) for the computed r.
    eps_E = comb(b["expm1"].evaluation, b["expm1"].approximation, u)
    d_m1 = reduction_error(145)
    # kd != 0: |v - t| <= 2^kd (eps_E (e^R - 1) + (1 + eps_E) e^R D) + u |2^kd - 1| + u |v|, over |t|:
    # kd >= 1: 2^kd / |t| <= 2 / (2 e^-R - 1), |2^kd - 1| / |t| <= 1 / (2 e^-R - 1);
    # kd <= -1: 2^kd / |t| <= (1/2) / (1 - e^R / 2), |2^kd - 1| / |t| <= 1 / (1 - e^R / 2).
    eR = R.exp()
    up_t = 2 * (-R).exp() - 1
    down_t = 1 - eR / 2
    m1 = arb.max(2 / up_t, (1 / down_t) / 2)
    m2 = arb.max(1 / up_t, 1 / down_t)
    body = m1 * (eps_E * (eR - 1) + (1 + eps_E) * eR * d_m1) + m2 * u
    eps["expm1"] = arb.max(eps_E, (body + u) / (1 - u))

    # tanh: E = expm1(2|x|) (1 + theta), v = fl(E / fl(E + 2)).
    em = eps["expm1"]
    eps["tanh"] = (1 + em) * (1 + u) / ((1 - u) * (1 - em)) - 1 + a(Fraction(1, 2**85))

    # sigmoid: w = exp(-|x|) (1 + theta); d = fl(1 + w) has relative error <= eps_exp / 2 + u.
    ee = eps["exp"]
    eps["sigmoid"] = (1 + ee) * (1 + u) / ((1 - u) * (1 - ee / 2)) - 1 + a(Fraction(1, 2**200))

    # log: s = fl((m - 1) / (m + 1)) relative u; w = fl(s^2) relative (1+u)^3 - 1; L = fl(s Q(w)).
    lb = b["log"]

    def log_body(s_err: arb) -> arb:
        w_err = (1 + s_err) ** 2 * (1 + u) - 1
        return comb(s_err, lb.evaluation, lb.approximation, a(lb.sensitivity) * w_err, u)

    eps_L = log_body(u)
    # v = fl(Ed ln2_hi + fl(fl(Ed ln2_lo) + L)); for Ed != 0, |L| <= |t| and |t| >= (ln2/2)|Ed|.
    half_ln2 = arb(2).log() / 2

    def log_total(e_L: arb) -> arb:
        per_ed = (u * abs(a(k.ln2_lo)) * (1 + u) + a(k.ln2_err)) / half_ln2
        ed_nonzero = (e_L + u * (1 + e_L) * (1 + u) + per_ed * (1 + u) + u) / (1 - u)
        return arb.max(e_L, ed_nonzero)

    eps["log"] = log_total(eps_L)
    # log2: v = fl(Ed + fl(L RN(1/ln2))); for Ed != 0, |L / ln2| <= |t|.
    inv_ln2c = rel_error_of_double(k.inv_ln2, 1 / arb(2).log())
    term = comb(eps_L, inv_ln2c, u)
    eps["log2"] = arb.max(term, (term + u) / (1 - u))
    inv_ln10c = rel_error_of_double(k.inv_ln10, 1 / arb(10).log())
    eps["log10"] = comb(eps["log"], inv_ln10c, u)
    # log1p: s from fl(2 + x) or fl(m + 1): relative (1+u)^2/(1-u) - 1; the rounding of y = 1 + x moves
    # log(y) by at most u (1 + u) absolute, over |t| >= ln2/2 when Ed != 0.
    s_err = (1 + u) / (1 - u) * (1 + u) - 1
    eps_L1 = log_body(s_err)
    eps["log1p"] = log_total(eps_L1) + u * (1 + u) / half_ln2 * (1 + u)
    # softplus: w = exp(-|x|) (1 + theta); log1p(w(1 + theta)) moves by at most |theta| relative.
    psi = comb(eps["log1p"], eps["exp"] * (1 + u))
    eps["softplus"] = comb(psi, u) + a(Fraction(1, 2**200))

    # atan: z = fl(num / den) relative u; w = fl(z^2); A = fl(z T(w)) ~ atan(z) (1 + phi).
    tb = b["atan"]
    z_over_atan = a(Fraction(7, 16)) / a(Fraction(7, 16)).atan()
    w_err = (1 + u) ** 3 - 1
    phi = comb(u * z_over_atan, tb.evaluation, tb.approximation, a(tb.sensitivity) * w_err, u)
    worst = phi
    # c != 0: t = atan(c) + atan(z) >= t_min and |atan z| <= z_max over each range.
    ranges = [(Fraction(7, 16), Fraction(11, 16), fmpq(1, 2)), (Fraction(11, 16), Fraction(19, 16), fmpq(1)),
              (Fraction(19, 16), Fraction(39, 16), fmpq(3, 2))]
    for (lo_a, hi_a, c), base in zip(ranges, k.atan_bases[:3]):
        ca = arb(c)
        zs = [abs((a(v) - ca) / (1 + ca * a(v))) for v in (lo_a, hi_a)]
        z_max = arb.max(zs[0], zs[1]) * (1 + u)
        t_min = a(lo_a).atan()
        ratio = z_max.atan() / t_min
        rel = (phi * ratio + a(base[2]) / t_min + u * (abs(a(base[1])) / t_min + ratio) * (1 + phi) + u) / (1 - u)
        worst = arb.max(worst, rel)
    base = k.atan_bases[3]
    t_min = a(Fraction(39, 16)).atan()
    ratio = (a(Fraction(16, 39)) * (1 + u)).atan() / t_min
    rel = (phi * ratio + a(base[2]) / t_min + u * (abs(a(base[1])) / t_min + ratio) * (1 + phi) + u) / (1 - u)
    eps["atan"] = arb.max(worst, rel)

    # rsqrt: v = fl(1 / fl(sqrt x)).
    eps["rsqrt"] = (1 + u) / (1 - u) - 1

    # sin, cos, tan: r relative rho; S = fl(r Ps(fl(r^2))), C = Pc(fl(r^2)).
    two_pi_c = rel_error_of_double(k.two_over_pi, 2 / PI)
    rho_direct = comb(two_pi_c, u)
    rho_int = (1 + u) * (1 + (a(TRUNCATION) + a(Fraction(1, 2**94)) + a(Fraction(1, 2**83))) / a(r_min)) - 1
    rho = arb.max(rho_direct, rho_int)
    sb, cb = b["sin"], b["cos"]
    eps_S = comb(rho, sb.evaluation, sb.approximation, a(sb.sensitivity) * u * (1 + u), u)
    w_err = (1 + rho) ** 2 * (1 + u) - 1
    eps_C = comb(cb.evaluation, cb.approximation, a(cb.sensitivity) * w_err)
    eps["sin"] = arb.max(eps_S, eps_C)
    eps["cos"] = eps["sin"]
    eps["tan"] = (1 + eps["sin"]) * (1 + u) / (1 - eps["sin"]) - 1
    return {name: upper(value) for name, value in eps.items()}


OPS = ["rsqrt", "exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "sin", "cos", "tan", "atan", "tanh",
       "sigmoid", "softplus"]


def distance_error(eps: Fraction) -> Fraction:
    """Bound of |D(v) - D(t)| in units of the binary32 gap, for |v - t| <= eps |t| + 2^-200."""
    return Fraction(2**24) * eps / (1 - eps) + ABSOLUTE * 2**149


# ---------------------------------------------------------------- the header

def hexd(x: float) -> str:
    return float.hex(x).replace("+", "")


def render(coefficients: dict[str, list[float]], k: Constants, windows: list[int], proofs: dict[str, PolyBounds],
           eps: dict[str, Fraction], r_min: Fraction) -> str:
    out = []
    w = out.append
    w("// Generated by tools/prove_vector_bounds.py --write: the polynomials, constants and proven error bounds of")
    w("// the vector references (vector_ref_lanes.hpp). Edit the coefficients only by refitting; the script checks")
    w("// every other number here against its own proof.")
    w("#pragma once")
    w("")
    w("#include <cstdint>")
    w("")
    w("namespace exact::vref {")
    w("")
    w("// Polynomial coefficients, constant term first, and each one's proven relative approximation error.")
    for poly in POLYS:
        cs = coefficients[poly.name]
        pb = proofs[poly.name]
        lo, hi = float(poly.lo), float(poly.hi)
        w(f"// {poly.what}, argument in [{lo!r}, {hi!r}]: relative error <= {hexd(round_up(pb.approximation))},")
        w(f"// Horner rounding <= {hexd(round_up(pb.evaluation))}, sensitivity to the argument's relative error"
          f" <= {hexd(round_up(pb.sensitivity))}.")
        w(f"inline constexpr double {poly.name}_poly[{len(cs)}] = {{")
        for i in range(0, len(cs), 4):
            w("    " + ", ".join(hexd(c) for c in cs[i:i + 4]) + ",")
        w("};")
    w("")
    w("// ln 2 = ln2_hi + ln2_lo + e, ln2_hi with 44 significant bits (so kd ln2_hi is exact for |kd| < 2^9),")
    w(f"// |e| <= {hexd(round_up(k.ln2_err))}.")
    w(f"inline constexpr double ln2_hi = {hexd(k.ln2_hi)};")
    w(f"inline constexpr double ln2_lo = {hexd(k.ln2_lo)};")
    w(f"inline constexpr double ln2 = {hexd(k.ln2)};  // rounded to nearest, as are the three below")
    w(f"inline constexpr double inv_ln2 = {hexd(k.inv_ln2)};")
    w(f"inline constexpr double inv_ln10 = {hexd(k.inv_ln10)};")
    w(f"inline constexpr double two_over_pi = {hexd(k.two_over_pi)};")
    w("// atan(1/2), atan(1), atan(3/2) and pi/2 as hi + lo (each rounded to nearest).")
    w("inline constexpr double atan_base_hi[4] = {" + ", ".join(hexd(b[0]) for b in k.atan_bases) + "};")
    w("inline constexpr double atan_base_lo[4] = {" + ", ".join(hexd(b[1]) for b in k.atan_bases) + "};")
    w("")
    w("// Bits of 2^e 2/pi of weight 2^1 down to 2^-126, for the binary32 binade [2^(i-1), 2^i) (entry i), whose")
    w("// significands carry weight e = i - 24: high and low 64 bits.")
    w(f"inline constexpr std::uint64_t two_over_pi_high[{TABLE_SIZE}] = {{")
    for i in range(0, TABLE_SIZE, 4):
        w("    " + ", ".join(f"0x{v >> 64:016x}" for v in windows[i:i + 4]) + ",")
    w("};")
    w(f"inline constexpr std::uint64_t two_over_pi_low[{TABLE_SIZE}] = {{")
    for i in range(0, TABLE_SIZE, 4):
        w("    " + ", ".join(f"0x{v & ((1 << 64) - 1):016x}" for v in windows[i:i + 4]) + ",")
    w("};")
    w(f"// No binary32 x >= 1/2 has x 2/pi within {hexd(float(r_min) if r_min > 0 else 0.0)} of an integer"
      " (exhaustive search).")
    w(f"inline constexpr double reduction_minimum = {hexd(round_down(r_min))};")
    w("")
    w("// Proven: |estimate - op(x)| <= relative_error * |op(x)| + 2^-200 wherever |op(x)| <= 2^130.")
    w("struct Bound {")
    w("    const char* op;")
    w("    double relative_error;")
    w("};")
    w(f"inline constexpr Bound bounds[{len(OPS)}] = {{")
    for name in OPS:
        w(f"    {{\"{name}\", {hexd(round_up(eps[name]))}}},")
    w("};")
    w("")
    w("}  // namespace exact::vref")
    w("")
    return "\n".join(out)


def round_down(q: Fraction, bits: int = 4) -> float:
    if q <= 0:
        return 0.0
    e = math.floor(math.log2(q))
    step = Fraction(2) ** (e - bits + 1)
    return float(math.floor(q / step) * step)


def read_coefficients(text: str) -> dict[str, list[float]]:
    out = {}
    for poly in POLYS:
        m = re.search(rf"inline constexpr double {poly.name}_poly\[\d+\] = \{{(.*?)\}};", text, re.S)
        if m is None:
            raise SystemExit(f"{HEADER}: no {poly.name}_poly")
        out[poly.name] = [float.fromhex(t.strip()) for t in m.group(1).split(",") if t.strip()]
    return out


def read_reduction_minimum(text: str) -> Fraction:
    m = re.search(r"inline constexpr double reduction_minimum = (\S+);", text)
    if m is None:
        raise SystemExit(f"{HEADER}: no reduction_minimum")
    return Fraction(float.fromhex(m.group(1)))


def render_hardest(hardest: list[tuple[int, float]]) -> str:
    lines = ["// Generated by tools/prove_vector_bounds.py: per binary32 binade from [1/2, 1) to [2^127, 2^128), the input",
             "// x whose x 2/pi lies closest to an integer (bits, then that distance), for the trigonometric checks.",
             "{"]
    for bits, d in hardest:
        lines.append(f"    {{0x{bits:08x}u, {d!r}}},")
    lines.append("}")
    return "\n".join(lines) + "\n"


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="rewrite the header (and the hardest inputs)")
    parser.add_argument("--fit", action="store_true", help="fit new coefficients first")
    parser.add_argument("--no-search", action="store_true", help="take the reduction minimum from the header")
    args = parser.parse_args(argv)

    existing = HEADER.read_text(encoding="utf-8") if HEADER.exists() else None
    if args.fit or existing is None:
        if not args.write:
            raise SystemExit("no header yet: run with --fit --write")
        coefficients = {poly.name: fit(poly) for poly in POLYS}
    else:
        coefficients = read_coefficients(existing)
    k = constants()
    windows = two_over_pi_windows()
    proofs = {}
    for poly in POLYS:
        pb = prove_poly(poly, coefficients[poly.name])
        proofs[poly.name] = pb
        print(f"{poly.name:6} degree {len(coefficients[poly.name]) - 1:2}: approximation 2^{math.log2(pb.approximation):.1f}, "
              f"Horner 2^{math.log2(pb.evaluation):.1f}, sensitivity {float(pb.sensitivity):.3g}")
    hardest = None
    if args.no_search:
        if existing is None:
            raise SystemExit("--no-search needs an existing header")
        r_min = read_reduction_minimum(existing)
        print(f"reduction minimum from the header: 2^{math.log2(r_min):.2f}")
    else:
        r_min, hardest = reduction_search(windows)
        print(f"reduction: no binary32 x >= 1/2 has x 2/pi within 2^{math.log2(r_min):.2f} of an integer")
        r_min = Fraction(round_down(r_min))
    eps = compose(proofs, k, r_min)
    for name in OPS:
        print(f"{name:8} relative 2^{math.log2(eps[name]):.2f}  distance {float(distance_error(Fraction(round_up(eps[name])))):.3g} ulp")
    text = render(coefficients, k, windows, proofs, eps, r_min)
    if args.write:
        HEADER.write_text(text, encoding="utf-8")
        if hardest is not None:
            HARDEST.write_text(render_hardest(hardest), encoding="utf-8")
        print(f"wrote {HEADER}" + (f" and {HARDEST}" if hardest else ""))
        return 0
    if text != existing:
        print(f"{HEADER} differs from what the proofs give: run with --write", file=sys.stderr)
        return 1
    if hardest is not None and HARDEST.read_text(encoding="utf-8") != render_hardest(hardest):
        print(f"{HARDEST} differs from the search: run with --write", file=sys.stderr)
        return 1
    print("header and proofs agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())
