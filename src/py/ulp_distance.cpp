// Distances counted in representable floats, for one pair and elementwise for two sequences.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dtype.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "memory_budget.hpp"

namespace py {

namespace {

using Distance = std::optional<std::uint64_t>;

// |ordered(a) - ordered(b)| in the format, absent when either is NaN. The difference of two ordered
// values of non-NaN floats can exceed the signed range (-inf to +inf), so it is taken as larger minus
// smaller in the unsigned type of the width.
template <class F>
Distance distance(F a, F b) {
    if (fp::is_nan(a) || fp::is_nan(b)) return std::nullopt;
    using Bits = typename fp::Format<F>::Bits;
    const auto oa = fp::to_ordered(a), ob = fp::to_ordered(b);
    const Bits d = oa >= ob ? Bits(Bits(oa) - Bits(ob)) : Bits(Bits(ob) - Bits(oa));
    return static_cast<std::uint64_t>(d);
}

// The distance of every pair (a[i], b[i]) in the format, into a list allocated once at its length.
template <class F>
std::vector<Distance> distances(const std::vector<double>& a, const std::vector<double>& b) {
    std::vector<Distance> out(a.size());
    for (std::size_t i = 0; i < a.size(); ++i) out[i] = distance(static_cast<F>(a[i]), static_cast<F>(b[i]));
    return out;
}

constexpr Function ulp_distance_declaration{
    "ulp_distance", Params{Arg<double>{"a"}, Arg<double>{"b"}, Arg<Dtype>{"dtype", "\"f64\""}},
    "Number of representable floats between a and b, None if either is NaN."};

constexpr Function ulp_distances_declaration{
    "ulp_distances",
    Params{Arg<std::vector<double>>{"a"}, Arg<std::vector<double>>{"b"}, Arg<Dtype>{"dtype", "\"f64\""}},
    "Elementwise ulp_distance over two equally long sequences."};

}  // namespace

const Registration ulp_distance_binding = registered<ulp_distance_declaration>([](double a, double b, Text dtype) {
    return with_format(dtype, [&](auto format) {
        using F = typename decltype(format)::type;
        return distance(static_cast<F>(a), static_cast<F>(b));
    });
});

const Registration ulp_distances_binding = registered<ulp_distances_declaration>(
    [](std::vector<double> a, std::vector<double> b, Text dtype) -> Result<std::vector<Distance>> {
        if (a.size() != b.size())
            return CallError::value_error("length mismatch: " + std::to_string(a.size()) + " vs " +
                                          std::to_string(b.size()));
        return with_format(dtype, [&](auto format) -> Result<std::vector<Distance>> {
            if (!fits_in_memory(a.size(), sizeof(Distance))) return CallError::memory_error();
            auto result = distances<typename decltype(format)::type>(a, b);
            // The inputs go before the result list is built from the distances.
            std::vector<double>().swap(a);
            std::vector<double>().swap(b);
            return result;
        });
    });

}  // namespace py
