// The floating-point environment every call computes in: round to nearest, subnormals kept (no
// flush-to-zero, no denormals-are-zero), no trapping exceptions. A library built with fast-math that the
// process loads, a framework's "flush denormals" switch or fesetround would otherwise change answers
// without a word: binary32 subnormals widened as zero, quotients flushed, library results rounded the
// wrong way. The guard switches to that environment only when the caller's differs, and then puts the
// caller's back exactly, sticky exception flags included. In the default environment it reads the
// control register once and writes nothing: flags the call raises stay raised, as after any float
// operation of the interpreter's own.
//
// Free of interpreter types, so the benchmark can time it on its own.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(_M_X64)
#include <xmmintrin.h>
#elif defined(__aarch64__)
#else
#include <cfenv>
#endif

namespace py {

#if defined(__x86_64__) || defined(_M_X64)

// The SSE control and status register holds the whole environment of float and double arithmetic (the
// x87 unit is used for neither, so its control word is left alone). Bits 0-5 are the sticky flags,
// bit 6 denormals-are-zero, 7-12 the exception masks, 13-14 the rounding mode, 15 flush-to-zero.
class DefaultFloatEnvironment {
public:
    static constexpr unsigned control_mask = 0xffc0;
    static constexpr unsigned default_control = 0x1f80;  // all exceptions masked, to nearest, no FTZ/DAZ

    DefaultFloatEnvironment() noexcept : saved_(_mm_getcsr()) {
        if (switched()) _mm_setcsr((saved_ & ~control_mask) | default_control);
    }
    ~DefaultFloatEnvironment() {
        if (switched()) _mm_setcsr(saved_);
    }
    DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
    DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

private:
    bool switched() const { return (saved_ & control_mask) != default_control; }

    unsigned saved_;
};

#elif defined(__aarch64__)

// The control register holds the trap enables (bits 8-12, 15), the rounding mode (22-23), flush-to-zero
// (24) and default-NaN (25), all clear by default; the status register holds the sticky flags.
class DefaultFloatEnvironment {
public:
    static constexpr std::uint64_t control_mask = 0x9f00 | (std::uint64_t{3} << 22) | (std::uint64_t{1} << 24) |
                                                  (std::uint64_t{1} << 25);

    DefaultFloatEnvironment() noexcept : control_(read_control()) {
        if (switched()) {
            status_ = read_status();
            write_control(control_ & ~control_mask);
        }
    }
    ~DefaultFloatEnvironment() {
        if (switched()) {
            write_control(control_);
            write_status(status_);
        }
    }
    DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
    DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

private:
    static std::uint64_t read_control() noexcept {
        std::uint64_t v;
        asm volatile("mrs %0, fpcr" : "=r"(v));
        return v;
    }
    static void write_control(std::uint64_t v) noexcept { asm volatile("msr fpcr, %0" : : "r"(v)); }
    static std::uint64_t read_status() noexcept {
        std::uint64_t v;
        asm volatile("mrs %0, fpsr" : "=r"(v));
        return v;
    }
    static void write_status(std::uint64_t v) noexcept { asm volatile("msr fpsr, %0" : : "r"(v)); }
    bool switched() const { return (control_ & control_mask) != 0; }

    std::uint64_t control_;
    std::uint64_t status_ = 0;
};

#else

// Elsewhere the C library's environment: saved whole, the default installed, the saved one restored.
// Platform flush-to-zero bits outside <cfenv> are covered as far as the platform's default environment
// covers them.
class DefaultFloatEnvironment {
public:
    DefaultFloatEnvironment() noexcept {
        std::fegetenv(&saved_);
        std::fesetenv(FE_DFL_ENV);
    }
    ~DefaultFloatEnvironment() { std::fesetenv(&saved_); }
    DefaultFloatEnvironment(const DefaultFloatEnvironment&) = delete;
    DefaultFloatEnvironment& operator=(const DefaultFloatEnvironment&) = delete;

private:
    std::fenv_t saved_;
};

#endif

}  // namespace py
