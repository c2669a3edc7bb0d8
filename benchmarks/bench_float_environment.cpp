// Nanoseconds per call that the float-environment guard adds to the core's calls: the native work of a
// call run with and without the guard around it, as in a build without the guard, in one binary and one
// interleaved run (the best of several rounds each). Three bodies: the guard alone back to back (the
// control register read, which the processor cannot overlap with anything), the core's cheapest logic
// (next_up) and a midpoint report (the binary64 square-root oracle). In a call from Python, the read
// overlaps with the call's own work, as in the last body.
//
// Built by benchmarks/bench_float_environment.py with the project's compile options.
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "exact/oracles.hpp"
#include "float/ordered.hpp"
#include "py/float_environment.hpp"

namespace {

double nothing(double x) { return x; }
double next_float(double x) { return fp::next_up(x); }
double sqrt_report(double x) { return exact::sqrt_midpoint(x)->distance_ulp; }

// Each body out of line in both variants, so that they differ by the guard alone.
template <double (*Body)(double)>
[[gnu::noinline]] double unguarded(double x) {
    return Body(x);
}

template <double (*Body)(double)>
[[gnu::noinline]] double guarded(double x) {
    const py::DefaultFloatEnvironment environment;
    return Body(x);
}

// The results are combined with integer operations, so no float operation of the loop is in flight.
double nanoseconds_per_call(double (*call)(double), const std::vector<double>& inputs, std::uint64_t calls) {
    std::uint64_t combined = 0;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < calls; ++i) combined ^= std::bit_cast<std::uint64_t>(call(inputs[i % inputs.size()]));
    const auto stop = std::chrono::steady_clock::now();
    volatile std::uint64_t sink = combined;
    (void)sink;
    return std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(calls);
}

struct Case {
    const char* name;
    double (*without)(double);
    double (*with)(double);
    std::uint64_t calls;
    double best_without = 1e300, best_with = 1e300, best_switching = 1e300;
};

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
    std::vector<double> inputs(1021);
    for (std::size_t i = 0; i < inputs.size(); ++i) inputs[i] = 1.0 + static_cast<double>(i) / 1024;
    Case cases[] = {
        {"guard alone, back to back", unguarded<nothing>, guarded<nothing>, 20'000'000},
        {"next_up (cheapest logic)", unguarded<next_float>, guarded<next_float>, 20'000'000},
        {"sqrt midpoint report", unguarded<sqrt_report>, guarded<sqrt_report>, 3'000'000},
    };
#if defined(__x86_64__) || defined(_M_X64)
    const unsigned caller = _mm_getcsr();
    const unsigned flushing = caller | 0x8040;  // flush-to-zero and denormals-are-zero, as -Ofast sets them
#endif
    for (int round = 0; round < rounds; ++round) {
        for (Case& c : cases) {
            const auto calls = static_cast<std::uint64_t>(static_cast<double>(c.calls) * scale) + 1;
            const double without = nanoseconds_per_call(c.without, inputs, calls);
            const double with = nanoseconds_per_call(c.with, inputs, calls);
            if (without < c.best_without) c.best_without = without;
            if (with < c.best_with) c.best_with = with;
#if defined(__x86_64__) || defined(_M_X64)
            _mm_setcsr(flushing);
            const double switching = nanoseconds_per_call(c.with, inputs, calls / 4 + 1);
            _mm_setcsr(caller);
            if (switching < c.best_switching) c.best_switching = switching;
#endif
        }
    }
    std::printf("%-28s %10s %10s %8s %16s\n", "body", "no guard", "guard", "added", "caller flushes");
    for (const Case& c : cases) {
        std::printf("%-28s %7.2f ns %7.2f ns %+5.2f ns", c.name, c.best_without, c.best_with,
                    c.best_with - c.best_without);
        if (c.best_switching < 1e300) std::printf(" %+13.2f ns", c.best_switching - c.best_without);
        std::printf("\n");
    }
    std::printf("(best of %d interleaved rounds; added = guard - no guard, per call)\n", rounds);
    return 0;
}
