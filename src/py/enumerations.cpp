// Enumerations of floats: every float of a range, the floats around a value, and the floats on either
// side of each power of two.
#include <algorithm>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "dtype.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "memory_budget.hpp"
#include "positional.hpp"
#include "walk.hpp"

namespace py {

namespace {

// Floats held in the format's own type until they become Python floats (binary32 widened exactly).
struct FormatFloats {
    std::variant<std::vector<float>, std::vector<double>> values;
};

PyObject* to_python(const FormatFloats& floats) {
    return std::visit([](const auto& values) { return py::to_python(values); }, floats.values);
}

// Every float of [lo, hi] in the format, widened to binary64; the "more than" error when there are more
// than `limit`. The count is known from the ordered bounds, so the array is allocated once, exactly.
template <class F>
Result<std::vector<double>> floats_in_range(double lo, double hi, std::uint64_t limit) {
    const auto walk = ordered_walk<F>(lo, hi);
    if (!walk) return std::vector<double>{};
    const std::uint64_t count = walk->count(1);
    if (count > limit)
        return CallError::value_error("more than " + std::to_string(limit) + " floats in [" + positional(lo) + ", " +
                                      positional(hi) + "], raise limit or narrow the range");
    if (!fits_in_memory(count, sizeof(double))) return CallError::memory_error();
    std::vector<double> floats(count);
    auto k = walk->first;
    for (std::uint64_t i = 0; i < count; ++i, k = walk->advance(k, 1)) floats[i] = fp::from_ordered<F>(k);
    return floats;
}

// The finite floats whose ordered values lie within k of x's, ascending; x alone when it is not finite.
// Ordered values of finite floats fill [-max, max] (max being the largest finite pattern), so clamping
// the window to that interval drops the infinities, NaNs and, for binary32, -2^31 in one step.
template <class F>
Result<FormatFloats> window_around(F x, std::uint32_t k) {
    if (!fp::is_finite(x)) return FormatFloats{std::vector<F>{x}};
    const auto top = static_cast<std::int64_t>(fp::Format<F>::max_finite_bits);
    const std::int64_t centre = fp::to_ordered(x);  // |centre| + 2^32 fits in 64 bits for both formats
    const std::int64_t low = std::max(centre - std::int64_t{k}, -top);
    const std::int64_t high = std::min(centre + std::int64_t{k}, top);
    const auto count = static_cast<std::uint64_t>(high - low) + 1;
    if (!fits_in_memory(count, sizeof(F))) return CallError::memory_error();
    std::vector<F> floats(count);
    for (std::uint64_t i = 0; i < count; ++i)
        floats[i] = fp::from_ordered<F>(static_cast<typename fp::Format<F>::Ordered>(low + std::int64_t(i)));
    return FormatFloats{std::move(floats)};
}

// For each normal exponent e in [min_exp, max_exp]: the float just below 2^e, then 2^e, from bit patterns.
template <class F>
FormatFloats edges(std::int32_t min_exp, std::int32_t max_exp) {
    using Fmt = fp::Format<F>;
    using Bits = typename Fmt::Bits;
    const int low = std::max<int>(min_exp, Fmt::min_exponent);
    const int high = std::min<int>(max_exp, Fmt::max_exponent);
    std::vector<F> floats;
    if (low <= high) floats.reserve(2 * static_cast<std::size_t>(high - low + 1));
    for (int e = low; e <= high; ++e) {
        const Bits power = static_cast<Bits>(e + Fmt::bias) << Fmt::fraction_bits;
        floats.push_back(fp::from_bits<F>(power - 1));
        floats.push_back(fp::from_bits<F>(power));
    }
    return FormatFloats{std::move(floats)};
}

constexpr Function all_floats_declaration{
    "all_floats",
    Params{Arg<double>{"lo"}, Arg<double>{"hi"}, Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::uint64_t>{"limit", "1000000"}},
    "Every float of the dtype in [lo, hi], ascending. Errors if there are more than `limit`."};

constexpr Function neighbours_declaration{
    "neighbours", Params{Arg<double>{"x"}, Arg<std::uint32_t>{"k", "1"}, Arg<Dtype>{"dtype", "\"f64\""}},
    "The k floats below x, x, and the k floats above it (finite only, ascending)."};

constexpr Function binade_edges_declaration{
    "binade_edges", Params{Arg<std::int32_t>{"min_exp"}, Arg<std::int32_t>{"max_exp"}, Arg<Dtype>{"dtype", "\"f64\""}},
    "For each exponent e in [min_exp, max_exp]: the float just below 2**e and 2**e."};

}  // namespace

const Registration all_floats_binding =
    registered<all_floats_declaration>([](double lo, double hi, Text dtype, std::uint64_t limit) {
        return with_format(dtype, [&](auto format) {
            return floats_in_range<typename decltype(format)::type>(lo, hi, limit);
        });
    });

const Registration neighbours_binding = registered<neighbours_declaration>([](double x, std::uint32_t k, Text dtype) {
    return with_format(dtype, [&](auto format) {
        using F = typename decltype(format)::type;
        return window_around<F>(static_cast<F>(x), k);
    });
});

const Registration binade_edges_binding =
    registered<binade_edges_declaration>([](std::int32_t min_exp, std::int32_t max_exp, Text dtype) {
        return with_format(dtype, [&](auto format) { return edges<typename decltype(format)::type>(min_exp, max_exp); });
    });

}  // namespace py
