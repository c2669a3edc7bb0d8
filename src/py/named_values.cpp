// The named edge values of a format: stored bit patterns, and boundaries found by binary searches that
// run the format's own arithmetic.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "dtype.hpp"
#include "float/ordered.hpp"
#include "float_environment.hpp"
#include "frame.hpp"
#include "registry.hpp"

namespace py {

namespace {

constexpr std::array<std::string_view, 29> names = {
    "zero", "neg_zero", "min_subnormal", "neg_min_subnormal", "max_subnormal", "min_normal", "neg_min_normal",
    "reciprocal_overflows", "square_underflows_to_zero", "square_is_subnormal", "tenth", "third", "half",
    "one_minus_ulp", "one", "one_plus_ulp", "neg_one", "two", "e", "pi", "integer_limit", "sqrt_max",
    "square_just_finite", "square_overflows", "max", "neg_max", "inf", "neg_inf", "nan",
};

// Patterns of the constants that have no simpler description in the format: the values nearest to 1/10,
// 1/3, e and pi, and the largest float not above the square root of the largest finite value.
template <class F>
struct StoredPatterns;

template <>
struct StoredPatterns<float> {
    static constexpr std::uint32_t tenth = 0x3dcccccd, third = 0x3eaaaaab, e = 0x402df854, pi = 0x40490fdb,
                                   sqrt_max = 0x5f7fffff;
};

template <>
struct StoredPatterns<double> {
    static constexpr std::uint64_t tenth = 0x3fb999999999999a, third = 0x3fd5555555555555, e = 0x4005bf0a8b145769,
                                   pi = 0x400921fb54442d18, sqrt_max = 0x5fefffffffffffff;
};

// The boundaries depend on the format's own rounding: a binary32 square evaluated in binary64 or in
// extended precision, constant-folded by the compiler, or flushed to zero by a process-wide
// flush-to-zero mode would move them. So the operands pass through volatile objects, which keeps the
// operations at run time and in the format, and the table is built in the default floating-point
// environment (round to nearest, subnormals kept), whatever mode some other library left behind; that
// also keeps the widening of binary32 subnormals from reading them as zero. The frame's entry already
// installs it; the table says so itself as well, at no cost when it is in place.
template <class F>
F square(F x) {
    volatile F a = x;
    volatile F product = a * a;
    return product;
}

template <class F>
F reciprocal(F x) {
    volatile F one = F(1), a = x;
    volatile F quotient = one / a;
    return quotient;
}

// The last float in [from_ordered(lo), from_ordered(hi)) for which `holds` is true, given that it holds
// at lo, fails at hi, and fails from some point on. All values searched are positive.
template <class F, class Predicate>
F last_holding(typename fp::Format<F>::Ordered lo, typename fp::Format<F>::Ordered hi, Predicate holds) {
    auto width = hi - lo;
    while (width > 1) {
        const auto mid = lo + width / 2;
        (holds(fp::from_ordered<F>(mid)) ? lo : hi) = mid;
        width = hi - lo;
    }
    return fp::from_ordered<F>(lo);
}

template <class F>
std::vector<std::tuple<std::string_view, double>> table() {
    using Fmt = fp::Format<F>;
    using Bits = typename Fmt::Bits;
    using Ordered = typename Fmt::Ordered;
    using Stored = StoredPatterns<F>;
    const auto bits = [](Bits b) { return fp::from_bits<F>(b); };
    const F one = bits(Fmt::one_bits);
    const F min_normal = bits(Fmt::hidden_bit);
    const auto is_infinite = [](F v) { return (fp::to_bits(v) & Fmt::magnitude_mask) == Fmt::inf_bits; };
    const auto one_ordered = static_cast<Ordered>(Fmt::one_bits);
    const auto max_ordered = static_cast<Ordered>(Fmt::max_finite_bits);

    DefaultFloatEnvironment environment;
    const F square_to_zero = last_holding<F>(1, one_ordered, [](F x) { return square(x) == F(0); });
    const F square_subnormal = last_holding<F>(fp::to_ordered(fp::next_up(square_to_zero)), one_ordered,
                                               [&](F x) { return square(x) < min_normal; });
    const F square_finite = last_holding<F>(one_ordered, max_ordered, [](F x) { return fp::is_finite(square(x)); });
    const F reciprocal_infinite = last_holding<F>(1, one_ordered, [&](F x) { return is_infinite(reciprocal(x)); });

    const std::array<F, 29> values = {
        bits(0),
        bits(Fmt::sign_mask),
        bits(1),
        bits(Fmt::sign_mask | 1),
        bits(Fmt::fraction_mask),
        min_normal,
        bits(Fmt::sign_mask | Fmt::hidden_bit),
        reciprocal_infinite,
        square_to_zero,
        square_subnormal,
        bits(Stored::tenth),
        bits(Stored::third),
        bits(Fmt::one_bits - (Bits{1} << Fmt::fraction_bits)),  // 0.5
        fp::next_down(one),
        one,
        fp::next_up(one),
        bits(Fmt::sign_mask | Fmt::one_bits),
        bits(Fmt::one_bits + (Bits{1} << Fmt::fraction_bits)),  // 2.0
        bits(Stored::e),
        bits(Stored::pi),
        bits(Fmt::one_bits + (Bits(Fmt::precision) << Fmt::fraction_bits)),  // 2^precision
        bits(Stored::sqrt_max),
        square_finite,
        fp::next_up(square_finite),
        bits(Fmt::max_finite_bits),
        bits(Fmt::sign_mask | Fmt::max_finite_bits),
        bits(Fmt::inf_bits),
        bits(Fmt::sign_mask | Fmt::inf_bits),
        bits(Fmt::quiet_nan_bits),
    };
    std::vector<std::tuple<std::string_view, double>> entries;
    entries.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) entries.emplace_back(names[i], static_cast<double>(values[i]));
    return entries;
}

constexpr Function special_declaration{"special", Params{Arg<Dtype>{"dtype", "\"f32\""}},
                                       "Named edge values of the dtype as (name, value) pairs."};

}  // namespace

const Registration special_binding = registered<special_declaration>(
    [](Text dtype) { return with_format(dtype, [](auto format) { return table<typename decltype(format)::type>(); }); });

}  // namespace py
