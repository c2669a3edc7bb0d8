// Exact results of the library-based binary32 operations from MPFR, for checking the vector references:
// the result itself to 160 bits, whether a binary64 estimate lies within a relative bound of it, and the
// distance of the result from its rounding midpoint as the scans measure it.
#pragma once

#include <mpfr.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "exact/catalogue.hpp"

namespace mpfr_ref {

constexpr mpfr_prec_t precision = 160;

// An MPFR number with its own storage and the widest exponent range set for the calling thread.
class Number {
public:
    explicit Number(mpfr_prec_t p = precision) {
        widest_range();
        mpfr_init2(v_, p);
    }
    ~Number() { mpfr_clear(v_); }
    Number(const Number&) = delete;
    Number& operator=(const Number&) = delete;
    mpfr_ptr get() { return v_; }
    mpfr_srcptr get() const { return v_; }

private:
    static void widest_range() {
        thread_local bool set = false;
        if (set) return;
        mpfr_set_emin(mpfr_get_emin_min());
        mpfr_set_emax(mpfr_get_emax_max());
        set = true;
    }
    mpfr_t v_;
};

// t = op(x) to `precision` bits, correctly rounded for the single MPFR functions; sigmoid and softplus are
// composed with 64 guard bits (relative error far below 2^-150).
inline void evaluate(exact::UnaryOp op, float x, Number& t) {
    using exact::UnaryOp;
    Number in(24);
    mpfr_set_flt(in.get(), x, MPFR_RNDN);
    mpfr_ptr out = t.get();
    switch (op) {
        case UnaryOp::Rsqrt: mpfr_rec_sqrt(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Exp: mpfr_exp(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Exp2: mpfr_exp2(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Expm1: mpfr_expm1(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Log: mpfr_log(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Log2: mpfr_log2(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Log10: mpfr_log10(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Log1p: mpfr_log1p(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Sin: mpfr_sin(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Cos: mpfr_cos(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Tan: mpfr_tan(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Atan: mpfr_atan(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Tanh: mpfr_tanh(out, in.get(), MPFR_RNDN); return;
        case UnaryOp::Sigmoid: {
            Number w(precision + 64);
            mpfr_neg(w.get(), in.get(), MPFR_RNDN);
            mpfr_exp(w.get(), w.get(), MPFR_RNDN);
            mpfr_add_ui(w.get(), w.get(), 1, MPFR_RNDN);
            mpfr_ui_div(out, 1, w.get(), MPFR_RNDN);
            return;
        }
        case UnaryOp::Softplus: {
            // x + log1p(e^-x) for x > 0, log1p(e^x) otherwise: no overflow either way.
            Number w(precision + 64);
            if (x > 0) mpfr_neg(w.get(), in.get(), MPFR_RNDN);
            else mpfr_set(w.get(), in.get(), MPFR_RNDN);
            mpfr_exp(w.get(), w.get(), MPFR_RNDN);
            mpfr_log1p(w.get(), w.get(), MPFR_RNDN);
            if (x > 0) mpfr_add(w.get(), w.get(), in.get(), MPFR_RNDN);
            mpfr_set(out, w.get(), MPFR_RNDN);
            return;
        }
        default: break;  // square root, reciprocal and the operations without a vector reference
    }
    mpfr_set_nan(out);
}

// Whether v keeps the contract of the vector references against t: |v - t| <= eps |t| + 2^-200 where
// |t| <= 2^130 (widened by 2^-150 |t| for t's own rounding), |v| >= 2^129 with t's sign beyond, NaN
// exactly where t is NaN.
inline bool within(double v, const Number& t, double eps) {
    mpfr_srcptr tt = t.get();
    if (mpfr_nan_p(tt)) return std::isnan(v);
    if (std::isnan(v)) return false;
    Number limit(8);
    mpfr_set_ui_2exp(limit.get(), 1, 130, MPFR_RNDN);
    if (mpfr_cmpabs(tt, limit.get()) > 0) {
        // |t| > 2^130 (infinities included).
        return std::fabs(v) >= 0x1p129 && (v < 0) == (mpfr_sgn(tt) < 0);
    }
    Number diff(precision + 1100), bound(64);
    mpfr_set_d(diff.get(), v, MPFR_RNDN);  // exact: the precision holds any binary64
    mpfr_sub(diff.get(), diff.get(), tt, MPFR_RNDA);
    mpfr_abs(diff.get(), diff.get(), MPFR_RNDN);
    mpfr_abs(bound.get(), tt, MPFR_RNDD);
    mpfr_mul_d(bound.get(), bound.get(), eps + 0x1p-150, MPFR_RNDD);
    Number floor_term(64);
    mpfr_set_ui_2exp(floor_term.get(), 1, -200, MPFR_RNDN);
    mpfr_add(bound.get(), bound.get(), floor_term.get(), MPFR_RNDD);
    return mpfr_lessequal_p(diff.get(), bound.get()) != 0;
}

// The distance of t from the midpoint on its side between the binary32 floats around it, in units of
// their gap (the smallest subnormal among subnormals, past the largest float the gap below it), as the
// scans measure it: 1/2 for a t that is a binary32 value; NaN when t is NaN or rounds to an infinity.
inline double distance(const Number& t) {
    mpfr_srcptr tt = t.get();
    if (mpfr_nan_p(tt)) return std::numeric_limits<double>::quiet_NaN();
    const float r = mpfr_get_flt(tt, MPFR_RNDN);
    if (!std::isfinite(r)) return std::numeric_limits<double>::quiet_NaN();
    Number d(precision + 400);
    mpfr_abs(d.get(), tt, MPFR_RNDN);
    const double mag = std::fabs(static_cast<double>(r));
    const int side = mpfr_cmp_d(d.get(), mag);
    if (side == 0) return 0.5;
    const float neighbour = side > 0 ? std::nextafter(static_cast<float>(mag), std::numeric_limits<float>::infinity())
                                     : std::nextafter(static_cast<float>(mag), 0.0f);
    double gap = std::fabs(static_cast<double>(neighbour) - mag);
    if (!std::isfinite(neighbour)) gap = mag - static_cast<double>(std::nextafter(static_cast<float>(mag), 0.0f));
    const double midpoint = mag + (side > 0 ? 0.5 : -0.5) * gap;  // exact: 25 significant bits at most
    mpfr_sub_d(d.get(), d.get(), midpoint, MPFR_RNDN);
    mpfr_abs(d.get(), d.get(), MPFR_RNDN);
    mpfr_div_d(d.get(), d.get(), gap, MPFR_RNDN);
    return mpfr_get_d(d.get(), MPFR_RNDN);
}

}  // namespace mpfr_ref
