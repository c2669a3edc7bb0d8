// An independent whole-range check of binary32 audits of exp and log, against MPFR alone: it shares no code
// with the package, so the package's audit and this count must agree to the last input.
//
// Build and run (outside the package, outside CI; a whole range takes hours of both cores):
//   gcc -O2 -fopenmp check.c -lmpfr -lm -o check
//   ./check OP SOURCE [--from S] [--limit N]
//     OP      exp | log
//     SOURCE  libm   the C library's expf / logf, called here
//             stdin  the implementation's binary32 answers, raw, read from standard input in input order
//                    (dump_numpy_exp.py writes numpy's exp that way)
//     --from S, --limit N  only the inputs S .. S + N - 1 of the order below
// run_checks.sh beside this file builds it and runs the two checks the audits are compared with.
//
// Inputs: every non-NaN binary32 value, in the ordered view from -inf to +inf (one zero, +0.0), then -0.0:
// 4,278,190,082 of them. For each: the exact result from MPFR (64 bits, rounded to nearest, its ternary
// value kept), its correct rounding to binary32 (from that value, unless the value has 26 bits or fewer:
// only then can it be a binary32 midpoint the exact result lies beside, and the rounding is recomputed at
// 24 bits in binary32's exponent range; so there is no double rounding), the special mismatches, and the
// error |y - f| / ulp(f) with ulp(t) = 2^(max(floor(log2 |t|), -126) - 23), 2^-149 for t = 0. Prints the
// counts, the largest error and its input (the first in the order above), and the histogram of errors:
// exactly 0, (0, 0.5], (0.5, 1], (1, 2], ... (2^19, 2^20], beyond.
//
// Bad arguments: a usage line on stderr and exit status 2; a short read from stdin: exit status 1.
#include <math.h>
#include <mpfr.h>
#include <omp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define CHUNK (1 << 20)
#define BINS 24
#define ALL_INPUTS INT64_C(4278190082)

enum { CORRECT, MISROUNDED, SPECIAL };
enum { OP_EXP, OP_LOG };

typedef struct {
    uint64_t inputs, correct, misrounded, special;
    uint64_t histogram[BINS];
    double max_error;
    int64_t max_position;  // -1: none
    int64_t first_special;  // -1: none
} Tally;

static const char usage[] = "usage: check exp|log libm|stdin [--from S] [--limit N]\n";

// The binary32 value at a position of the order above.
static float float_at(int64_t position) {
    const int64_t first = -2139095040;  // ordered value of -inf
    if (position == ALL_INPUTS - 1) return -0.0f;
    const int64_t k = first + position;
    const uint32_t b = k < 0 ? 0x80000000u | (uint32_t)(-k) : (uint32_t)k;
    float f;
    memcpy(&f, &b, sizeof f);
    return f;
}

static int op_mpfr(int op, mpfr_t r, const mpfr_t x, mpfr_rnd_t rounding) {
    return op == OP_EXP ? mpfr_exp(r, x, rounding) : mpfr_log(r, x, rounding);
}

// The correct rounding of op(x) to binary32, computed directly at 24 bits in binary32's exponent range.
static float direct_f32(int op, float x) {
    const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
    mpfr_set_emin(-148);
    mpfr_set_emax(128);
    mpfr_t r, xm;
    mpfr_init2(r, 24);
    mpfr_init2(xm, 24);
    mpfr_set_flt(xm, x, MPFR_RNDN);
    int t = op_mpfr(op, r, xm, MPFR_RNDN);
    t = mpfr_check_range(r, t, MPFR_RNDN);
    mpfr_subnormalize(r, t, MPFR_RNDN);
    const float out = mpfr_get_flt(r, MPFR_RNDN);
    mpfr_clear(r);
    mpfr_clear(xm);
    mpfr_set_emin(emin);
    mpfr_set_emax(emax);
    return out;
}

// The histogram bin of an error: 0 only for 0, then (0, 0.5], (0.5, 1], (1, 2], ... (2^19, 2^20], beyond.
static int bin_of(double e) {
    if (e == 0) return 0;
    if (e <= 0.5) return 1;
    for (int k = 0; k <= 20; ++k)
        if (e <= ldexp(1.0, k)) return 2 + k;
    return BINS - 1;
}

// Whether e is an edge of the bins: 0, 1/2, 1, 2, 4, ... 2^20.
static int on_edge(double e) {
    if (e == 0 || e == 0.5) return 1;
    int k;
    return e >= 1 && e <= 0x1p20 && frexp(e, &k) == 0.5;
}

static int same_bits(float a, float b) { return memcmp(&a, &b, sizeof a) == 0; }

// One input: its outcome, and its error and bin (for CORRECT and MISROUNDED).
static int judge(int op, float x, float y, mpfr_t xm, mpfr_t f, mpfr_t d, double* error, int* bin) {
    *error = 0.0;
    *bin = 0;
    mpfr_set_flt(xm, x, MPFR_RNDN);
    const int t = op_mpfr(op, f, xm, MPFR_RNDN);
    if (mpfr_nan_p(f)) return isnan(y) ? CORRECT : SPECIAL;
    if (isnan(y)) return SPECIAL;
    if (mpfr_inf_p(f)) return (isinf(y) && (y < 0) == (mpfr_sgn(f) < 0)) ? CORRECT : SPECIAL;
    // The correct rounding to binary32: one rounding of f's value (subnormals and overflow included)
    // wherever f cannot be a binary32 midpoint.
    const float r = mpfr_zero_p(f) || mpfr_min_prec(f) <= 26 ? direct_f32(op, x) : mpfr_get_flt(f, MPFR_RNDN);
    if (isinf(r) || isinf(y)) return same_bits(r, y) ? CORRECT : SPECIAL;  // an overflow to the right infinity
    if (y == 0 && r == 0 && signbit(y) != signbit(r)) return SPECIAL;
    long e2;  // log2 of the ulp of the exact result
    if (mpfr_zero_p(f) && t != 0) {
        // Below MPFR's own range (e^-3e38 is 2^-4.9e38): a nonzero whose error against 0 is 0 to the last
        // digit, in the histogram's (0, 0.5].
        if (y == 0) {
            *bin = 1;
            return CORRECT;
        }
        e2 = -149;
    } else if (mpfr_zero_p(f)) {
        e2 = -149;
    } else {
        // The binade of the exact result lies below that of f when f is a power of two rounded up in
        // magnitude.
        long e = mpfr_get_exp(f) - 1;  // floor(log2 |f|)
        if (t != 0 && mpfr_min_prec(f) == 1 && ((mpfr_sgn(f) > 0) == (t > 0))) e -= 1;
        e2 = (e > -126 ? e : -126) - 23;
    }
    // At 600 bits the difference is exact wherever the exponents of y and f lie within 500 of each other;
    // farther apart (a nonzero y against a result below 2^-685) it is y itself, rounded.
    mpfr_set_flt(d, y, MPFR_RNDN);
    const int rounded_difference = mpfr_sub(d, d, f, MPFR_RNDN) != 0;
    mpfr_abs(d, d, MPFR_RNDN);
    mpfr_mul_2si(d, d, -e2, MPFR_RNDN);
    *error = mpfr_get_d(d, MPFR_RNDN);
    *bin = bin_of(*error);
    if (on_edge(*error) && (t != 0 || rounded_difference)) {
        // The computed error is an edge of the bins and the exact one lies a little off it. An answer equal
        // to f errs by a little, in (0, 0.5]. Beside a negligible result the exact error is |y| less or
        // more its magnitude, by the signs. Otherwise |y - f| is exact and the exact error lies just above
        // it when the exact result lies on the other side of f than y, else just below.
        if (*error == 0) {
            *bin = 1;
        } else if (rounded_difference) {
            if ((mpfr_sgn(f) < 0) != (y < 0)) *bin += 1;
        } else if ((mpfr_cmp_d(f, (double)y) < 0) == (t > 0)) {
            *bin += 1;
        }
    }
    return same_bits(y, r) || y == r ? CORRECT : MISROUNDED;
}

static void add(Tally* t, int64_t position, int outcome, double error, int bin) {
    t->inputs++;
    if (outcome == SPECIAL) {
        t->special++;
        if (t->first_special < 0) t->first_special = position;
        return;
    }
    if (outcome == CORRECT)
        t->correct++;
    else
        t->misrounded++;
    t->histogram[bin]++;
    if (error > t->max_error || t->max_position < 0) {
        t->max_error = error;
        t->max_position = position;
    }
}

// b after a in input order: a keeps its maximum on ties.
static void merge(Tally* a, const Tally* b) {
    a->inputs += b->inputs;
    a->correct += b->correct;
    a->misrounded += b->misrounded;
    a->special += b->special;
    for (int i = 0; i < BINS; ++i) a->histogram[i] += b->histogram[i];
    if (b->max_position >= 0 && (a->max_position < 0 || b->max_error > a->max_error)) {
        a->max_error = b->max_error;
        a->max_position = b->max_position;
    }
    if (a->first_special < 0) a->first_special = b->first_special;
}

static void clear(Tally* t) {
    memset(t, 0, sizeof *t);
    t->max_position = t->first_special = -1;
}

// A count from the command line: decimal digits only, at most ALL_INPUTS; -1 otherwise.
static int64_t count_arg(const char* s) {
    if (*s == '\0') return -1;
    int64_t v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9') return -1;
        v = v * 10 + (*s - '0');
        if (v > ALL_INPUTS) return -1;
    }
    return v;
}

int main(int argc, char** argv) {
    if (argc < 3 || argc % 2 == 0) {
        fputs(usage, stderr);
        return 2;
    }
    const int op = strcmp(argv[1], "exp") == 0 ? OP_EXP : strcmp(argv[1], "log") == 0 ? OP_LOG : -1;
    const int from_stdin = strcmp(argv[2], "stdin") == 0;
    if (op < 0 || (!from_stdin && strcmp(argv[2], "libm") != 0)) {
        fputs(usage, stderr);
        return 2;
    }
    int64_t first = 0, total = ALL_INPUTS;
    for (int i = 3; i + 1 < argc; i += 2) {
        const int64_t v = count_arg(argv[i + 1]);
        if (v < 0 || (strcmp(argv[i], "--from") != 0 && strcmp(argv[i], "--limit") != 0)) {
            fprintf(stderr, "check: bad option %s %s\n", argv[i], argv[i + 1]);
            fputs(usage, stderr);
            return 2;
        }
        if (strcmp(argv[i], "--from") == 0)
            first = v;
        else
            total = v;
    }
    if (first + total > ALL_INPUTS) total = ALL_INPUTS - first;
    const int threads = omp_get_max_threads();
    float* ys = malloc(sizeof(float) * CHUNK);
    Tally* parts = calloc((size_t)threads, sizeof(Tally));
    if (ys == NULL || parts == NULL) {
        fputs("check: out of memory\n", stderr);
        return 1;
    }
    Tally all;
    clear(&all);
    for (int64_t start = 0; start < total; start += CHUNK) {
        const int64_t n = total - start < CHUNK ? total - start : CHUNK;
        if (from_stdin && fread(ys, sizeof(float), (size_t)n, stdin) != (size_t)n) {
            fprintf(stderr, "check: short read at input %lld\n", (long long)(first + start));
            return 1;
        }
        for (int i = 0; i < threads; ++i) clear(&parts[i]);
#pragma omp parallel
        {
            mpfr_set_emin(mpfr_get_emin_min());  // per thread: no underflow or overflow in MPFR itself
            mpfr_set_emax(mpfr_get_emax_max());
            mpfr_t xm, f, d;
            mpfr_init2(xm, 24);
            mpfr_init2(f, 64);
            mpfr_init2(d, 600);
            Tally* mine = &parts[omp_get_thread_num()];
#pragma omp for schedule(static)
            for (int64_t i = 0; i < n; ++i) {
                const float x = float_at(first + start + i);
                const float y = from_stdin ? ys[i] : (op == OP_EXP ? expf(x) : logf(x));
                double error;
                int bin;
                const int outcome = judge(op, x, y, xm, f, d, &error, &bin);
                add(mine, first + start + i, outcome, error, bin);
            }
            mpfr_clear(xm);
            mpfr_clear(f);
            mpfr_clear(d);
        }
        // A static schedule gives thread i inputs that precede thread i + 1's: merged in that order, ties
        // keep the first input.
        for (int i = 0; i < threads; ++i) merge(&all, &parts[i]);
        if ((start / CHUNK) % 256 == 0) {
            fprintf(stderr, "check: %lld of %lld\n", (long long)(start + n), (long long)total);
            fflush(stderr);
        }
    }
    printf("op %s source %s\n", argv[1], argv[2]);
    printf("inputs %llu\ncorrectly_rounded %llu\nmisrounded %llu\nspecial_mismatches %llu\n",
           (unsigned long long)all.inputs, (unsigned long long)all.correct, (unsigned long long)all.misrounded,
           (unsigned long long)all.special);
    if (all.max_position >= 0)
        printf("max_error %.17g\nmax_error_x %a\n", all.max_error, (double)float_at(all.max_position));
    if (all.first_special >= 0) printf("first_special_x %a\n", (double)float_at(all.first_special));
    printf("histogram");
    for (int i = 0; i < BINS; ++i) printf(" %llu", (unsigned long long)all.histogram[i]);
    printf("\n");
    free(ys);
    free(parts);
    return 0;
}
