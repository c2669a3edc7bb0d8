// The binary32 unary oracle: catalogue examples, the reciprocal's sign handling, and the gap chosen
// around powers of two, zeros and the overflow threshold, checked against a long double model.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "exact/unary_f32.hpp"

namespace {

using exact::MidpointReport;
using exact::UnaryOp;
using Report = std::optional<MidpointReport>;

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

struct Want {
    double rounded;
    double distance;  // relative tolerance 1e-3 unless exact
    bool above;
    bool exact;
};
constexpr Want exact_at(double r) { return {r, 0.5, false, true}; }

struct UnaryCase {
    UnaryOp op;
    float x;
    std::optional<Want> want;
};

void PrintTo(const UnaryCase& c, std::ostream* os) { *os << exact::unary_op_name(c.op) << "(" << c.x << ")"; }

class UnaryF32 : public testing::TestWithParam<UnaryCase> {};

TEST_P(UnaryF32, Reports) {
    const UnaryCase& c = GetParam();
    const std::string what = std::string(exact::unary_op_name(c.op)) + "(" + std::to_string(c.x) + ")";
    const Report got = exact::unary_midpoint_f32(c.op, c.x);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << what;
    if (!got) return;
    EXPECT_EQ(std::signbit(got->rounded), std::signbit(c.want->rounded)) << what;
    EXPECT_EQ(got->rounded, c.want->rounded) << what;
    EXPECT_EQ(got->exact, c.want->exact) << what;
    EXPECT_EQ(got->exact_above, c.want->above) << what;
    if (c.want->exact) {
        EXPECT_EQ(got->distance_ulp, 0.5) << what;
    } else if (c.want->distance >= 0) {
        EXPECT_NEAR(got->distance_ulp, c.want->distance, 1e-3 * c.want->distance) << what;
    }
}

constexpr double any = -1;  // distance not checked

INSTANTIATE_TEST_SUITE_P(
    Examples, UnaryF32,
    testing::Values(
        UnaryCase{UnaryOp::Sqrt, 4.0f, exact_at(2.0)}, UnaryCase{UnaryOp::Sqrt, -1.0f, std::nullopt},
        UnaryCase{UnaryOp::Rsqrt, 4.0f, exact_at(0.5)},
        UnaryCase{UnaryOp::Rsqrt, 2.0f, Want{0.7071067690849304, 0.296969, true, false}},
        UnaryCase{UnaryOp::Rsqrt, 0.0f, std::nullopt}, UnaryCase{UnaryOp::Rsqrt, -2.0f, std::nullopt},
        UnaryCase{UnaryOp::Recip, -4.0f, exact_at(-0.25)},
        UnaryCase{UnaryOp::Recip, 3.0f, Want{0.3333333432674408, 1.0 / 6, false, false}},
        // exact_above compares magnitudes for a negative input
        UnaryCase{UnaryOp::Recip, -3.0f, Want{-0.3333333432674408, 1.0 / 6, false, false}},
        UnaryCase{UnaryOp::Recip, 0.0f, std::nullopt}, UnaryCase{UnaryOp::Recip, -0.0f, std::nullopt},
        UnaryCase{UnaryOp::Recip, nan, std::nullopt}, UnaryCase{UnaryOp::Recip, inf, std::nullopt},
        UnaryCase{UnaryOp::Recip, -inf, std::nullopt},
        UnaryCase{UnaryOp::Recip, 1e-45f, std::nullopt},  // 1/x overflows binary32
        UnaryCase{UnaryOp::Exp, 0.0f, exact_at(1.0)}, UnaryCase{UnaryOp::Log, 1.0f, exact_at(0.0)},
        UnaryCase{UnaryOp::Exp2, 3.0f, exact_at(8.0)}, UnaryCase{UnaryOp::Log2, 8.0f, exact_at(3.0)},
        UnaryCase{UnaryOp::Log, -1.0f, std::nullopt}, UnaryCase{UnaryOp::Log, 0.0f, std::nullopt},
        UnaryCase{UnaryOp::Exp, 89.0f, std::nullopt},
        UnaryCase{UnaryOp::Exp, 88.0f, Want{1.6516362661361307e38, any, false, false}},
        // about 6.8e-46, measured against 2^-150 with gap 2^-149
        UnaryCase{UnaryOp::Exp, -104.0f, Want{0.0, 0.0137683, true, false}},
        UnaryCase{UnaryOp::Sin, nan, std::nullopt}, UnaryCase{UnaryOp::Sin, -0.0f, exact_at(-0.0)},
        UnaryCase{UnaryOp::Sigmoid, 0.0f, exact_at(0.5)}, UnaryCase{UnaryOp::Sigmoid, -0.0f, exact_at(0.5)},
        UnaryCase{UnaryOp::Sigmoid, 100.0f, exact_at(1.0)}, UnaryCase{UnaryOp::Sigmoid, nan, std::nullopt},
        UnaryCase{UnaryOp::Tanh, 20.0f, exact_at(1.0)}, UnaryCase{UnaryOp::Softplus, 100.0f, exact_at(100.0)},
        UnaryCase{UnaryOp::Softplus, 0.0f, Want{0.6931471824645996, any, false, false}},
        UnaryCase{UnaryOp::Softplus, -200.0f, Want{0.0, any, true, false}},
        UnaryCase{UnaryOp::Sin, 1.0f, Want{0.8414709568023682, any, true, false}}),
    [](const testing::TestParamInfo<UnaryCase>& info) {
        return std::string(exact::unary_op_name(info.param.op)) + "_" + std::to_string(info.index);
    });

TEST(Catalogue, DispatchReachesEveryOperation) {
    for (std::size_t i = 0; i < exact::all_unary_op_count; ++i) {
        const auto op = static_cast<UnaryOp>(i);
        EXPECT_EQ(exact::with_unary_op(op, [](auto tag) { return decltype(tag)::value; }), op);
        EXPECT_EQ(exact::unary_op_at(exact::index_of(op)), op);
    }
    for (std::size_t i = 0; i < exact::binary_op_count; ++i) {
        const auto op = static_cast<exact::BinaryOp>(i);
        EXPECT_EQ(exact::with_binary_op(op, [](auto tag) { return decltype(tag)::value; }), op);
        EXPECT_EQ(exact::binary_op_at(exact::index_of(op)), op);
        EXPECT_EQ(exact::operations[exact::index_of(op)].arity, 2);
    }
}

TEST(Catalogue, SigmoidAndSoftplusBranches) {
    EXPECT_EQ(exact::evaluate_f64(UnaryOp::Softplus, 0.0), std::log1p(1.0));
    EXPECT_EQ(exact::evaluate_f64(UnaryOp::Sigmoid, -0.0), 0.5);
    // Large magnitudes stay finite in both directions.
    EXPECT_EQ(exact::evaluate_f64(UnaryOp::Sigmoid, -1000.0), 0.0);
    EXPECT_EQ(exact::evaluate_f64(UnaryOp::Sigmoid, 1000.0), 1.0);
    EXPECT_EQ(exact::evaluate_f64(UnaryOp::Softplus, 1000.0), 1000.0);
    EXPECT_TRUE(std::isnan(exact::evaluate_f64(UnaryOp::Softplus, std::nan(""))));
}

// Where a binary64 value e lies against the binary32 midpoints, measured in long double with the library's
// nextafterf: an independent statement of which gap applies next to powers of two, zero and the top.
Report report_model(double e) {
    if (!std::isfinite(e)) return std::nullopt;
    const float r = static_cast<float>(e);
    if (std::isinf(r)) return std::nullopt;
    if (e == r) return exact::exact_report(r);
    const bool above = e > r;
    const float n = std::nextafterf(r, above ? inf : -inf);
    // Beyond the largest finite value the gap below it continues.
    const long double gap = std::isinf(n) ? std::fabs(r) - std::nextafterf(std::fabs(r), 0.0f)
                                          : std::fabs(static_cast<long double>(n) - r);
    const long double mid = r + (above ? gap : -gap) / 2;
    return MidpointReport{r, static_cast<double>(std::fabs(e - mid) / gap), above, false};
}

TEST(ReportAgainstF32, MatchesModelAroundEdges) {
    std::mt19937_64 rng(7);
    std::vector<double> values;
    for (int binade : {-149, -127, -126, -125, -1, 0, 1, 126, 127}) {
        const double p = std::ldexp(1.0, binade);
        for (double rel : {0x1p-26, 0x1p-25, 0x1p-24, 0x1p-23, 3e-8, 1e-9})
            for (double v : {p * (1 - rel), p * (1 + rel), -p * (1 - rel), -p * (1 + rel)}) values.push_back(v);
    }
    const double max = std::numeric_limits<float>::max();
    for (double v : {max * (1 + 0x1p-26), max * (1 + 0x1p-25), 0x1p-151, 0x1p-150 * 1.5, 0x1p-160, -0x1p-160})
    {
        values.push_back(v);
        values.push_back(-v);
    }
    std::uniform_real_distribution<double> mantissa(1.0, 2.0);
    std::uniform_int_distribution<int> exponent(-155, 128);
    for (int i = 0; i < 5000; ++i) values.push_back(std::ldexp(mantissa(rng), exponent(rng)) * (i % 2 ? -1 : 1));
    for (double e : values) {
        const Report got = exact::detail::report_against_f32(e);
        const Report want = report_model(e);
        ASSERT_EQ(got.has_value(), want.has_value()) << e;
        if (!got) continue;
        EXPECT_EQ(got->rounded, want->rounded) << e;
        EXPECT_EQ(got->exact, want->exact) << e;
        EXPECT_EQ(got->exact_above, want->exact_above) << e;
        EXPECT_NEAR(got->distance_ulp, want->distance_ulp, 1e-15 * want->distance_ulp) << e;
    }
}

}  // namespace
