// Exact shifts and residuals: aligned values, signs, the two failures at the edge of 128 bits, and the
// bounded residuals against the checked ones.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <ostream>
#include <string>

#include "exact/residual.hpp"
#include "failure.hpp"

namespace {

using exact::Residual;
using exact::u128;

constexpr u128 pow2(int k) { return u128{1} << k; }
constexpr u128 u128_max = ~u128{0};
const std::string overflow = "exact residual overflowed u128";
const std::string lost = "exact residual lost bits";

struct ShiftCase {
    u128 v;
    std::int32_t s;
    u128 expected;
    std::string failure;
};

void PrintTo(const ShiftCase& c, std::ostream* os) {
    *os << "shift_exact(" << static_cast<std::uint64_t>(c.v >> 64) << ":" << static_cast<std::uint64_t>(c.v) << ", "
        << c.s << ")";
}

class ShiftExact : public testing::TestWithParam<ShiftCase> {};

TEST_P(ShiftExact, ShiftsOrFails) {
    const ShiftCase& c = GetParam();
    u128 got = 0;
    EXPECT_EQ(failure_message([&] { got = exact::shift_exact(c.v, c.s); }), c.failure);
    if (c.failure.empty()) {
        EXPECT_TRUE(got == c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShiftExact,
    testing::Values(ShiftCase{1, 127, pow2(127), ""}, ShiftCase{u128_max, 0, u128_max, ""},
                    ShiftCase{3, 126, 3 * pow2(126), ""}, ShiftCase{2, 127, 0, overflow},
                    ShiftCase{0, 128, 0, overflow}, ShiftCase{1, INT32_MAX, 0, overflow},
                    ShiftCase{pow2(127), 1, 0, overflow}, ShiftCase{4, -2, 1, ""}, ShiftCase{5, -2, 0, lost},
                    ShiftCase{0, -200, 0, ""}, ShiftCase{pow2(127), -200, 1, ""},
                    ShiftCase{pow2(127) + 1, -127, 0, lost}, ShiftCase{1, INT32_MIN, 0, lost},
                    ShiftCase{u128_max, -64, u128_max >> 64, lost}));

struct ResidualCase {
    const char* name;
    Residual (*call)();
    Residual expected;
    std::string failure;
};

void PrintTo(const ResidualCase& c, std::ostream* os) { *os << c.name; }

class Residuals : public testing::TestWithParam<ResidualCase> {};

TEST_P(Residuals, MatchesExactDifference) {
    const ResidualCase& c = GetParam();
    Residual got{};
    EXPECT_EQ(failure_message([&] { got = c.call(); }), c.failure) << c.name;
    if (!c.failure.empty()) return;
    EXPECT_EQ(got.sign, c.expected.sign) << c.name;
    EXPECT_TRUE(got.magnitude == c.expected.magnitude) << c.name;
    EXPECT_EQ(got.exponent, c.expected.exponent) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Residuals,
    testing::Values(
        // 1 < 2
        ResidualCase{"sq_below", [] { return exact::residual_sq(2, 0, 1, 0); }, {1, -1, 0}, ""},
        // (1 * 2)^2 == 4
        ResidualCase{"sq_equal", [] { return exact::residual_sq(4, 0, 1, 1); }, {0, 0, 0}, ""},
        // (3/2)^2 - 1 = 5/4: the square has the smaller exponent
        ResidualCase{"sq_target_shifted", [] { return exact::residual_sq(1, 0, 3, -1); }, {5, 1, -2}, ""},
        // m^2 near 2^128 is still exact
        ResidualCase{"sq_wide", [] { return exact::residual_sq(0, 0, u128{~std::uint64_t{0}}, 0); },
                     {u128{~std::uint64_t{0}} * u128{~std::uint64_t{0}}, 1, 0}, ""},
        // exponents 128 apart
        ResidualCase{"sq_far", [] { return exact::residual_sq(1, 128, 1, 0); }, {}, overflow},
        // aligned target no longer fits
        ResidualCase{"sq_target_overflows", [] { return exact::residual_sq(pow2(120), 10, 1, 0); }, {}, overflow},
        // aligned square no longer fits
        ResidualCase{"sq_square_overflows", [] { return exact::residual_sq(1, 0, pow2(60), 5); }, {}, overflow},
        // 9/4 - 1 = 5/4
        ResidualCase{"mul_above", [] { return exact::residual_mul(1, 0, 3, -2, 3, 0); }, {5, 1, -2}, ""},
        // 0 * 2^127 < 1
        ResidualCase{"mul_zero_far", [] { return exact::residual_mul(1, 0, 0, -1074, 1, 1201); }, {1, -1, 0}, ""},
        // 0 * 2^128: the amount alone fails, whatever the values
        ResidualCase{"mul_zero_too_far", [] { return exact::residual_mul(1, 0, 0, -1074, 1, 1202); }, {}, overflow},
        // 3 * 5 * 2^-1 against 7.5
        ResidualCase{"mul_equal", [] { return exact::residual_mul(15, -1, 3, 0, 5, -1); }, {0, 0, -1}, ""},
        // the product is aligned up to the target's exponent
        ResidualCase{"mul_product_overflows", [] { return exact::residual_mul(1, -100, pow2(40), 0, pow2(40), 0); },
                     {}, overflow}),
    [](const testing::TestParamInfo<ResidualCase>& info) { return std::string(info.param.name); });

// The bounded residuals skip the shift checks up to the edge of their word and defer to the checked residual
// past it. For the largest and smallest operands the bounds allow, and every exponent difference from far
// below to far above the range the word covers, both must give the checked residual or its failure.
void expect_same(const std::string& bounded_failure, const Residual& bounded, const std::string& failure,
                 const Residual& checked, const std::string& what) {
    EXPECT_EQ(bounded_failure, failure) << what;
    if (!failure.empty() || !bounded_failure.empty()) return;
    EXPECT_EQ(bounded.sign, checked.sign) << what;
    EXPECT_TRUE(bounded.magnitude == checked.magnitude) << what;
    EXPECT_EQ(bounded.exponent, checked.exponent) << what;
}

template <int a_bits, int m_bits>
void sq_bounded_agrees() {
    for (std::uint64_t a : {std::uint64_t{1}, (std::uint64_t{1} << a_bits) - 1})
        for (std::uint64_t m : {std::uint64_t{1}, (std::uint64_t{1} << m_bits) - 1})
            for (std::int32_t ea = -160; ea <= 160; ++ea) {
                Residual bounded{}, checked{};
                const std::string bf =
                    failure_message([&] { bounded = exact::residual_sq_bounded<a_bits, m_bits>(a, ea, m, 3); });
                const std::string cf = failure_message([&] { checked = exact::residual_sq(a, ea, m, 3); });
                expect_same(bf, bounded, cf, checked,
                            "sq<" + std::to_string(a_bits) + "," + std::to_string(m_bits) + "> a " + std::to_string(a) +
                                " m " + std::to_string(m) + " ea " + std::to_string(ea));
            }
}

template <int a_bits, int q_bits, int b_bits>
void mul_bounded_agrees() {
    for (std::uint64_t a : {std::uint64_t{1}, (std::uint64_t{1} << a_bits) - 1})
        for (std::uint64_t q : {std::uint64_t{0}, (std::uint64_t{1} << q_bits) - 1})
            for (std::uint64_t b : {std::uint64_t{1}, (std::uint64_t{1} << b_bits) - 1})
                for (std::int32_t ea = -160; ea <= 160; ++ea) {
                    Residual bounded{}, checked{};
                    const std::string bf = failure_message(
                        [&] { bounded = exact::residual_mul_bounded<a_bits, q_bits, b_bits>(a, ea, q, -5, b, 2); });
                    const std::string cf = failure_message([&] { checked = exact::residual_mul(a, ea, q, -5, b, 2); });
                    expect_same(bf, bounded, cf, checked,
                                "mul<" + std::to_string(a_bits) + "> a " + std::to_string(a) + " q " +
                                    std::to_string(q) + " b " + std::to_string(b) + " ea " + std::to_string(ea));
                }
}

TEST(BoundedResiduals, AgreeWithCheckedAcrossTheWordEdges) {
    sq_bounded_agrees<24, 25>();  // binary32: one 64-bit word
    sq_bounded_agrees<53, 54>();  // binary64: 128 bits
    mul_bounded_agrees<24, 25, 24>();
    mul_bounded_agrees<53, 54, 53>();
}

}  // namespace
