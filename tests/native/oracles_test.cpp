// Square-root and division oracles: worked examples, domains, ties, the binary64 failure and independence
// from the first guess. Agreement with the integer model over many inputs is left to exhaustive_f32 and
// sampled_f64.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <string>

#include "exact/oracles.hpp"
#include "failure.hpp"
#include "float/ordered.hpp"

namespace {

using exact::MidpointReport;
using Report = std::optional<MidpointReport>;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double min_sub = 5e-324;
constexpr float min_sub_f = 1.401298464324817e-45f;

struct Want {
    double rounded;
    double distance;  // compared with a relative tolerance of 1e-3 unless exact
    bool above;
    bool exact;
};

void expect_report(const Report& got, const std::optional<Want>& want, const std::string& what) {
    ASSERT_EQ(got.has_value(), want.has_value()) << what;
    if (!got) return;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got->rounded), std::bit_cast<std::uint64_t>(want->rounded))
        << what << ": rounded " << got->rounded;
    EXPECT_EQ(got->exact, want->exact) << what;
    EXPECT_EQ(got->exact_above, want->above) << what;
    if (want->exact) {
        EXPECT_EQ(got->distance_ulp, 0.5) << what;
    } else {
        EXPECT_NEAR(got->distance_ulp, want->distance, 1e-3 * want->distance) << what;
    }
}

constexpr Want exact_at(double r) { return {r, 0.5, false, true}; }

struct SqrtCase {
    double x;
    std::optional<Want> want;
};

void PrintTo(const SqrtCase& c, std::ostream* os) { *os << "sqrt(" << c.x << ")"; }

class SqrtF64 : public testing::TestWithParam<SqrtCase> {};

TEST_P(SqrtF64, Reports) {
    expect_report(exact::sqrt_midpoint(GetParam().x), GetParam().want, std::to_string(GetParam().x));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, SqrtF64,
    testing::Values(SqrtCase{4.0, exact_at(2.0)}, SqrtCase{0.0, exact_at(0.0)}, SqrtCase{-0.0, exact_at(-0.0)},
                    SqrtCase{2.0, Want{1.4142135623730951, 0.0646238, false, false}},
                    // the exact root lies 2^-109 below the midpoint 1 - 2^-54
                    SqrtCase{0.9999999999999999, Want{0.9999999999999999, 0x1p-56, true, false}},
                    SqrtCase{0x1p-1074, exact_at(0x1p-537)}, SqrtCase{-1.0, std::nullopt},
                    SqrtCase{-min_sub, std::nullopt}, SqrtCase{nan, std::nullopt}, SqrtCase{-nan, std::nullopt},
                    SqrtCase{inf, std::nullopt}, SqrtCase{-inf, std::nullopt}));

TEST(SqrtF32, Examples) {
    expect_report(exact::sqrt_midpoint(2.0f), Want{1.4142135381698608, 0.296969, true, false}, "2");
    // 2^-75 * sqrt(2), rounded
    expect_report(exact::sqrt_midpoint(min_sub_f), Want{3.743392066509216e-23, 0.296969, true, false}, "min_sub");
    expect_report(exact::sqrt_midpoint(4.0f), exact_at(2.0), "4");
    expect_report(exact::sqrt_midpoint(-0.0f), exact_at(-0.0), "-0");
    expect_report(exact::sqrt_midpoint(-1.0f), std::nullopt, "-1");
}

struct DivCase {
    double x, y;
    std::optional<Want> want;
};

void PrintTo(const DivCase& c, std::ostream* os) { *os << c.x << " / " << c.y; }

class DivF64 : public testing::TestWithParam<DivCase> {};

TEST_P(DivF64, Reports) {
    const DivCase& c = GetParam();
    expect_report(exact::div_midpoint(c.x, c.y), c.want, std::to_string(c.x) + " / " + std::to_string(c.y));
}

INSTANTIATE_TEST_SUITE_P(
    Examples, DivF64,
    testing::Values(DivCase{1.0, 3.0, Want{0.3333333333333333, 1.0 / 6, true, false}},
                    DivCase{1.0, 10.0, Want{0.1, 0.1, false, false}}, DivCase{3.0, 0.5, exact_at(6.0)},
                    // below half the smallest subnormal: rounds to zero, measured against 2^-1075
                    DivCase{min_sub, 4.0, Want{0.0, 0.25, true, false}},
                    // exactly the midpoint between 0 and the smallest subnormal
                    DivCase{min_sub, 2.0, std::nullopt}, DivCase{3 * min_sub, 2.0, std::nullopt},
                    DivCase{1e300, 1e-300, std::nullopt},  // first quotient overflows
                    DivCase{0.0, 1.0, std::nullopt}, DivCase{1.0, 0.0, std::nullopt},
                    DivCase{-1.0, 3.0, std::nullopt}, DivCase{1.0, -3.0, std::nullopt},
                    DivCase{inf, 1.0, std::nullopt}, DivCase{1.0, inf, std::nullopt},
                    DivCase{nan, 1.0, std::nullopt}, DivCase{1.0, nan, std::nullopt}));

TEST(DivF32, Examples) {
    expect_report(exact::div_midpoint(1.0f, 3.0f), Want{0.3333333432674408, 1.0 / 6, false, false}, "1/3");
    expect_report(exact::div_midpoint(1.0f, 10.0f), Want{0.10000000149011612, 0.3, false, false}, "1/10");
    expect_report(exact::div_midpoint(min_sub_f, 2.0f), std::nullopt, "min_sub/2");
    expect_report(exact::div_midpoint(min_sub_f, 4.0f), Want{0.0, 0.25, true, false}, "min_sub/4");
    expect_report(exact::div_midpoint(3e38f, 0.5f), std::nullopt, "overflow");
}

// Quotients far below the smallest subnormal, in both formats: the search's own answer just above the
// early exit, the same answer below it, and no failure anywhere down to the smallest quotients.
template <class F>
void expect_far_below_reports_zero(F x, F y, const std::string& label) {
    Report got;
    EXPECT_EQ(failure_message([&] { got = exact::div_midpoint(x, y); }), "") << label;
    expect_report(got, Want{0.0, 0.5, true, false}, label);
}

TEST(DivF64, QuotientsFarBelowTheSmallestSubnormalRoundToZero) {
    for (int k = 56; k <= 1023; ++k)
        expect_far_below_reports_zero(min_sub, std::ldexp(1.0, k), "2^-1074 / 2^" + std::to_string(k));
    for (int k = 0; k <= 1023; k += 7) {
        const double x = std::ldexp(1.0, -1022 - k % 53) * (1 + std::ldexp(1.0, -52));
        expect_far_below_reports_zero(x, std::numeric_limits<double>::max(), "max quotient " + std::to_string(k));
    }
    expect_far_below_reports_zero(1e-300, 1e300, "1e-300 / 1e300");
    expect_far_below_reports_zero(min_sub, std::numeric_limits<double>::max(), "min_sub / max");
    // Just above the smallest quotient of the early exit, the search still answers, and the same.
    expect_far_below_reports_zero(std::ldexp(1.0, -1022), std::ldexp(1.0, 112), "2^-1022 / 2^112");
    // A bound below 1/2 drops the report, as it does for the search's answers.
    EXPECT_FALSE(exact::div_midpoint(1e-300, 1e300, exact::DistanceBound::below(0.25)).has_value());
    EXPECT_TRUE(exact::div_midpoint(1e-300, 1e300, exact::DistanceBound::below(0.5)).has_value());
}

TEST(DivF32, QuotientsFarBelowTheSmallestSubnormalRoundToZero) {
    for (int k = 56; k <= 127; ++k)
        expect_far_below_reports_zero(min_sub_f, std::ldexp(1.0f, k), "2^-149 / 2^" + std::to_string(k));
    expect_far_below_reports_zero(std::ldexp(1.0f, -126), std::numeric_limits<float>::max(), "2^-126 / max");
}

// The platform's result only seeds the search: any guess within a few units in the last place, including
// one on the wrong side of a power of two, leads to the same report.
TEST(Search, IndependentOfTheFirstGuess) {
    // sqrt(4 - 2^-51) lies between 2 - 2^-52 and the midpoint 2 - 2^-53 below 2.0, so a guess of 2.0 is
    // only rejected when the midpoint below it uses the halved gap.
    const double xs[] = {2.0, 3.0, std::nextafter(4.0, 0.0), std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), 0x1p-1074, 0x1p-1022,
                         std::nextafter(0x1p-1020, 0.0), 1e300};
    for (double x : xs) {
        const Report reference = exact::sqrt_midpoint(x);
        ASSERT_TRUE(reference) << x;
        double guess = std::sqrt(x);
        for (int i = 0; i < 3; ++i) guess = fp::next_down(guess);
        for (int offset = -3; offset <= 3; ++offset, guess = fp::next_up(guess)) {
            const Report got = exact::detail::sqrt_search(x, guess);
            ASSERT_TRUE(got) << x << " offset " << offset;
            EXPECT_EQ(got->rounded, reference->rounded) << x << " offset " << offset;
            EXPECT_EQ(got->exact_above, reference->exact_above);
            EXPECT_NEAR(got->distance_ulp, reference->distance_ulp, 1e-12 * reference->distance_ulp);
        }
    }
    // 2 / (2 + 2^-22) is about 1 - 2^-23 + 2^-46: guesses up to two units above must step down to it.
    const float y = std::nextafter(2.0f, 3.0f);
    const Report reference = exact::div_midpoint(2.0f, y);
    ASSERT_TRUE(reference);
    for (float guess : {1.0f, std::nextafter(1.0f, 2.0f), std::nextafter(std::nextafter(1.0f, 0.0f), 0.0f)}) {
        const Report got = exact::detail::div_search(2.0f, y, guess);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->rounded, reference->rounded);
    }
}

TEST(Search, HalvesTheGapBelowPowersOfTwoButNotTheSmallestNormal) {
    using exact::detail::midpoint_toward;
    // 1.0 = 2^52 * 2^-52 approached from above: midpoint 1 - 2^-54 = (2^54 - 1) * 2^-54, gap 2^-53
    const auto one = midpoint_toward<double>({std::uint64_t{1} << 52, -52}, +1);
    EXPECT_TRUE(one.m == (exact::u128{1} << 54) - 1);
    EXPECT_EQ(one.e, -54);
    EXPECT_EQ(one.gap_e, -53);
    // The smallest normal 2^-1022 = 2^52 * 2^-1074 has the largest subnormal 2^-1074 below it.
    const auto min_normal = midpoint_toward<double>({std::uint64_t{1} << 52, -1074}, +1);
    EXPECT_TRUE(min_normal.m == (exact::u128{1} << 53) - 1);
    EXPECT_EQ(min_normal.e, -1075);
    EXPECT_EQ(min_normal.gap_e, -1074);
    // Twice the smallest normal already halves.
    const auto next_binade = midpoint_toward<float>({std::uint32_t{1} << 23, -148}, +1);
    EXPECT_TRUE(next_binade.m == (exact::u128{1} << 25) - 1);
    EXPECT_EQ(next_binade.gap_e, -149);
}

}  // namespace
