// Distances counted in representable floats, for one pair and elementwise for two sequences.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dtype.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "memory_budget.hpp"

namespace py {

namespace {

constexpr FunctionDescription ulp_distance_description{"ulp_distance", {"a", "b", "dtype"}, 3, 2};
constexpr FunctionDescription ulp_distances_description{"ulp_distances", {"a", "b", "dtype"}, 3, 2};

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

}  // namespace

PyObject* ulp_distance(PyObject*, PyObject* args, PyObject* kwargs) {
    return invoke(
        ulp_distance_description, args, kwargs,
        [](double a, double b, std::string dtype) {
            return on_format(dtype, [&](auto zero) {
                using F = decltype(zero);
                return distance(static_cast<F>(a), static_cast<F>(b));
            });
        },
        FloatParam{}, FloatParam{}, StringParam{"f64"});
}

PyObject* ulp_distances(PyObject*, PyObject* args, PyObject* kwargs) {
    return invoke(
        ulp_distances_description, args, kwargs,
        [](std::vector<double> a, std::vector<double> b, std::string dtype) -> Result<std::vector<Distance>> {
            if (a.size() != b.size())
                return CallError::value_error("length mismatch: " + std::to_string(a.size()) + " vs " +
                                              std::to_string(b.size()));
            auto f32 = is_f32(dtype);
            if (!f32.ok()) return std::move(f32.error());
            if (!fits_in_memory(a.size(), sizeof(Distance))) return CallError::memory_error();
            auto result = f32.value() ? distances<float>(a, b) : distances<double>(a, b);
            // The inputs go before the result list is built from the distances.
            std::vector<double>().swap(a);
            std::vector<double>().swap(b);
            return result;
        },
        FloatSequenceParam{}, FloatSequenceParam{}, StringParam{"f64"});
}

}  // namespace py
