/* An exhaustive ranking of binary32 inputs by how close the exact result of a function lies to a
 * rounding midpoint, computed without the package: the C library's binary64 function filters every
 * input, MPFR decides the ones it leaves.
 *
 *   worst_check OP [K [T]]        prints the K (default 16) inputs closest to a midpoint, closest first
 *   worst_check OP K T LO HI      the same over the binary32 inputs of [LO, HI], 0 <= LO <= HI only
 *
 * Pass 1 visits every binary32 input (the positive half only for odd and even functions: their
 * distances at -x equal those at x) and keeps each one whose binary64 value lies within T binary32
 * ulps of a midpoint (default 2e-5). One binary64 ulp is 2^-29 to 2^-28 binary32 ulps, so an input
 * whose exact result is closer than T - 2^-28 e binary32 ulps to a midpoint is kept as long as the
 * library's error stays below e binary64 ulps: with T = 2e-5 and rows below 1e-6, e may reach about
 * 5000, far beyond the errors the C library documents. Pass 2 evaluates the kept inputs with MPFR at
 * 256 bits: exact results are dropped (they are not ranked), the rest get their rounded value, side
 * and distance. Ties in distance are ranked by ascending x.
 *
 * Output: one line per row, "x_hex rounded_hex distance exact_above", then a line starting with '#'
 * giving the number of inputs kept, decided and the distance of the last row against T.
 *
 * Build: cc -O2 -fopenmp tools/independent/worst_check.c -o worst_check -lmpfr -lgmp -lm
 * (tools/independent/worst_check.py builds it, runs it and compares with the shipped tables)
 */
#define _GNU_SOURCE
#include <float.h>
#include <math.h>
#include <mpfr.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _OPENMP
#include <omp.h>
#endif

#define PREC 256

/* sin(pi x), cos(pi x), tan(pi x) from the library's sin and tan after reductions that are exact in
 * binary64 for a binary32 x, so that the only errors are those of pi r and of the library call:
 * each keeps the argument where an error in it moves the result by a small relative amount. */
static double sinpi_d(double x) {
    double s = x < 0 ? -1.0 : 1.0, r = fmod(fabs(x), 2.0);
    if (r >= 1.0) { r -= 1.0; s = -s; }
    if (r > 0.5) r = 1.0 - r;
    return s * sin(M_PI * r);
}

static double cospi_d(double x) {
    double s = 1.0, r = fmod(fabs(x), 2.0);
    if (r >= 1.0) { r -= 1.0; s = -1.0; }
    return s * sin(M_PI * (0.5 - r)); /* 0.5 - r is exact where r >= 1/4, near the zero at 1/2 */
}

static double tanpi_d(double x) {
    double s = x < 0 ? -1.0 : 1.0, r = fmod(fabs(x), 1.0);
    if (r == 0.5) return NAN;
    if (r < 0.25) return s * tan(M_PI * r);
    if (r <= 0.75) return s / tan(M_PI * (0.5 - r)); /* near the pole, from its distance to 1/2 */
    return -s * tan(M_PI * (1.0 - r));
}

static double lgamma_d(double x) { int sign; return lgamma_r(x, &sign); }

static int mpfr_lgamma_abs(mpfr_ptr r, mpfr_srcptr x, mpfr_rnd_t rnd) { int sign; return mpfr_lgamma(r, &sign, x, rnd); }

typedef double (*f64_fn)(double);
typedef int (*mpfr_fn)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t);

enum parity { NONE, ODD, EVEN };

struct op { const char *name; f64_fn f64; mpfr_fn exact; enum parity parity; };

static const struct op OPS[] = {
    {"cbrt", cbrt, mpfr_cbrt, ODD},       {"asin", asin, mpfr_asin, ODD},
    {"acos", acos, mpfr_acos, NONE},      {"sinh", sinh, mpfr_sinh, ODD},
    {"cosh", cosh, mpfr_cosh, EVEN},      {"asinh", asinh, mpfr_asinh, ODD},
    {"acosh", acosh, mpfr_acosh, NONE},   {"atanh", atanh, mpfr_atanh, ODD},
    {"exp10", exp10, mpfr_exp10, NONE},   {"erf", erf, mpfr_erf, ODD},
    {"erfc", erfc, mpfr_erfc, NONE},      {"tgamma", tgamma, mpfr_gamma, NONE},
    {"lgamma", lgamma_d, mpfr_lgamma_abs, NONE},
    {"sinpi", sinpi_d, mpfr_sinpi, ODD},  {"cospi", cospi_d, mpfr_cospi, EVEN},
    {"tanpi", tanpi_d, mpfr_tanpi, ODD},
};

static float from_bits(uint32_t b) { float f; memcpy(&f, &b, sizeof f); return f; }

/* Distance in binary32 ulps from a binary64 value to the nearest binary32 midpoint, measured in the
 * gap of the two floats around that midpoint; infinite for no finite result. Past FLT_MAX the
 * midpoint is the one to 2^128, where rounding turns to overflow. */
static double distance_f64(double y) {
    if (!isfinite(y)) return INFINITY;
    double a = fabs(y);
    float r = (float)a;
    double rd = isinf(r) ? (double)FLT_MAX : (double)r;
    if (a == rd) return 0.5;
    double n;
    if (a > rd) n = rd == FLT_MAX ? 0x1p128 : (double)nextafterf((float)rd, INFINITY);
    else n = (double)nextafterf(r, 0.0f);
    return fabs(a - (rd + n) / 2) / fabs(n - rd);
}

struct row { float x; float rounded; double distance; int above; };

struct list { uint32_t *items; size_t size, capacity; };

static void push(struct list *l, uint32_t v) {
    if (l->size == l->capacity) {
        l->capacity = l->capacity ? 2 * l->capacity : 4096;
        l->items = realloc(l->items, l->capacity * sizeof *l->items);
        if (!l->items) { fputs("worst_check: out of memory\n", stderr); exit(1); }
    }
    l->items[l->size++] = v;
}

/* The row of x, or 0 where the exact result is exact, not finite or rounds to infinity. */
static int decide(const struct op *o, float x, mpfr_t t, mpfr_t v, mpfr_t lo, mpfr_t hi, struct row *out) {
    mpfr_set_flt(t, x, MPFR_RNDN); /* exact */
    int ternary = o->exact(v, t, MPFR_RNDN);
    if (mpfr_nan_p(v) || mpfr_inf_p(v) || ternary == 0) return 0;
    int negative = mpfr_sgn(v) < 0;
    mpfr_abs(v, v, MPFR_RNDN);
    /* Bracket |v| between two adjacent binary32 values (2^128 standing beyond FLT_MAX). */
    float r = mpfr_get_flt(v, MPFR_RNDZ);
    if (isinf(r)) return 0;
    mpfr_set_flt(lo, r, MPFR_RNDN);
    if (r == FLT_MAX) mpfr_set_ui_2exp(hi, 1, 128, MPFR_RNDN);
    else mpfr_set_flt(hi, nextafterf(r, INFINITY), MPFR_RNDN);
    mpfr_sub(hi, hi, lo, MPFR_RNDN);          /* the gap, a power of two: exact */
    mpfr_div_2ui(t, hi, 1, MPFR_RNDN);
    mpfr_add(t, t, lo, MPFR_RNDN);            /* the midpoint: exact */
    int above_mid = mpfr_cmp(v, t) > 0;
    if (above_mid && r == FLT_MAX) return 0;  /* rounds to infinity */
    mpfr_sub(t, v, t, MPFR_RNDN);
    mpfr_abs(t, t, MPFR_RNDN);
    mpfr_div(t, t, hi, MPFR_RNDN);
    float rounded = above_mid ? nextafterf(r, INFINITY) : r;
    out->x = x;
    out->rounded = negative ? -rounded : rounded;
    out->distance = mpfr_get_d(t, MPFR_RNDN);
    /* Exact above the rounded value in magnitude when it was rounded down, as a signed value flips. */
    out->above = (!above_mid) != negative;
    return 1;
}

static int by_rank(const void *pa, const void *pb) {
    const struct row *a = pa, *b = pb;
    if (a->distance != b->distance) return a->distance < b->distance ? -1 : 1;
    return (a->x > b->x) - (a->x < b->x);
}

int main(int argc, char **argv) {
    if (argc < 2 || argc > 6 || argc == 5) {
        fputs("usage: worst_check OP [K [T [LO HI]]]\n", stderr);
        return 2;
    }
    const struct op *o = NULL;
    for (size_t i = 0; i < sizeof OPS / sizeof OPS[0]; i++)
        if (strcmp(OPS[i].name, argv[1]) == 0) o = &OPS[i];
    if (!o) { fprintf(stderr, "worst_check: unknown op %s\n", argv[1]); return 2; }
    long k = argc > 2 ? strtol(argv[2], NULL, 10) : 16;
    double tol = argc > 3 ? strtod(argv[3], NULL) : 2e-5;
    if (k < 1 || !(tol > 0 && tol < 0.5)) { fputs("worst_check: K >= 1 and 0 < T < 0.5\n", stderr); return 2; }

    uint64_t begin = 0, end = o->parity == NONE ? (1ull << 32) : (1ull << 31);
    enum parity mirror = o->parity;
    if (argc == 6) { /* a range of non-negative floats: its bit patterns ascend with the values */
        float lo = strtof(argv[4], NULL), hi = strtof(argv[5], NULL);
        if (!(0 <= lo && lo <= hi) || isinf(hi)) { fputs("worst_check: 0 <= LO <= HI < inf\n", stderr); return 2; }
        uint32_t a, b;
        memcpy(&a, &lo, sizeof a);
        memcpy(&b, &hi, sizeof b);
        begin = a & 0x7fffffffu; /* -0.0 as +0.0 */
        end = (uint64_t)b + 1;
        mirror = NONE;
    }
    struct list kept = {0};
#pragma omp parallel
    {
        struct list mine = {0};
#pragma omp for schedule(dynamic, 1 << 20)
        for (uint64_t i = begin; i < end; i++) {
            uint32_t b = (uint32_t)i;
            if ((b & 0x7f800000u) == 0x7f800000u && (b & 0x007fffffu)) continue; /* NaN */
            if (distance_f64(o->f64((double)from_bits(b))) < tol) {
                push(&mine, b);
                if (mirror != NONE) push(&mine, b | 0x80000000u);
            }
        }
#pragma omp critical
        for (size_t j = 0; j < mine.size; j++) push(&kept, mine.items[j]);
        free(mine.items);
    }

    struct row *rows = malloc((kept.size + 1) * sizeof *rows);
    size_t decided = 0;
#pragma omp parallel
    {
        mpfr_t t, v, lo, hi;
        mpfr_inits2(PREC, t, v, lo, hi, (mpfr_ptr)0);
#pragma omp for schedule(dynamic, 64)
        for (size_t j = 0; j < kept.size; j++) {
            struct row row;
            if (decide(o, from_bits(kept.items[j]), t, v, lo, hi, &row)) {
#pragma omp critical
                rows[decided++] = row;
            }
        }
        mpfr_clears(t, v, lo, hi, (mpfr_ptr)0);
        mpfr_free_cache();
    }
    qsort(rows, decided, sizeof *rows, by_rank);
    size_t shown = decided < (size_t)k ? decided : (size_t)k;
    for (size_t j = 0; j < shown; j++)
        printf("%a %a %.17g %d\n", (double)rows[j].x, (double)rows[j].rounded, rows[j].distance, rows[j].above);
    printf("# %s kept %zu decided %zu last %.17g tol %g\n", o->name, kept.size, decided,
           shown ? rows[shown - 1].distance : 0.0, tol);
    free(rows);
    free(kept.items);
    return 0;
}
