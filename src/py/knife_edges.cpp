// The knife-edge scan: every stride-th float of a range handed to the exact oracle, keeping the inputs
// whose exact result lies within a tolerance of a rounding midpoint.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "dtype.hpp"
#include "exact/catalogue.hpp"
#include "exact/oracles.hpp"
#include "exact/prefilter.hpp"
#include "exact/unary_f32.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "functions.hpp"
#include "memory_budget.hpp"
#include "parse_op.hpp"
#include "walk.hpp"

namespace py {

namespace {

constexpr FunctionDescription knife_edges_raw_description{
    "knife_edges_raw", {"op", "lo", "hi", "tol_ulp", "dtype", "limit", "stride", "max_evals"}, 8, 3};

// (x, rounded, distance_ulp, exact_above)
using Hit = std::tuple<double, double, double, bool>;
// (hits in ascending x, inputs evaluated, whether the whole range was walked)
using Scan = std::tuple<std::vector<Hit>, std::uint64_t, bool>;

// A hit's cost at its peak: the native record (twice, while the array grows), then the list's pointer,
// a 4-tuple (with its garbage-collector header) and three floats; the bool is shared.
constexpr std::uint64_t hit_bytes = 2 * sizeof(Hit) + 8 + 80 + 3 * 32;

// The walk, calling `oracle` (one operation, fixed at compile time) for each input that the pre-filter
// `kernel` (null: none) passes on. It stops before an input when `max_evals` inputs have been evaluated
// or `limit` hits found, so a walk whose last input is the one that reaches either bound still counts as
// covered. Inputs the pre-filter keeps back are evaluated too: they are certainly not hits. No allocation
// happens per input, only when a hit is appended.
template <class F, class Oracle>
Result<Scan> scan(const OrderedWalk<F>& walk, std::uint64_t step, double tol_ulp, std::uint64_t limit,
                  std::uint64_t max_evals, exact::Candidates<F> kernel, Oracle oracle) {
    const std::uint64_t inputs = walk.count(step);
    const std::uint64_t budget = limit == 0 ? 0 : std::min(inputs, max_evals);
    ElementBudget hits_in_memory(hit_bytes);
    // A step that does not fit the format's width leaves a single input, so the truncated value is
    // never used.
    const auto ordered_step = static_cast<typename OrderedWalk<F>::Bits>(step);
    std::vector<Hit> hits;
    bool out_of_memory = false;
    const std::uint64_t evaluated =
        exact::visit_candidates<F>(kernel, walk.first, ordered_step, 0, budget, tol_ulp, [&](F x) {
            const std::optional<exact::MidpointReport> report = oracle(x);
            if (!report || report->exact || !(report->distance_ulp < tol_ulp)) return true;
            if (!hits_in_memory.admits(hits.size() + 1)) {
                out_of_memory = true;
                return false;
            }
            hits.emplace_back(static_cast<double>(x), report->rounded, report->distance_ulp, report->exact_above);
            return hits.size() != limit;
        });
    if (out_of_memory) return CallError::memory_error();
    return Scan{std::move(hits), evaluated, evaluated == inputs};
}

Result<Scan> knife_edges_raw_logic(std::string op, double lo, double hi, double tol_ulp, std::string dtype,
                                   std::uint64_t limit, std::uint64_t stride, std::uint64_t max_evals) {
    auto parsed = parse_op(op);
    if (!parsed.ok()) return std::move(parsed.error());
    auto f32 = is_f32(dtype);
    if (!f32.ok()) return std::move(f32.error());
    if (!f32.value() && parsed.value() != exact::UnaryOp::Sqrt)
        return CallError::value_error("f64 scans are available for op='sqrt' only");
    const std::uint64_t step = stride == 0 ? 1 : stride;

    // Only a report whose distance may be below the tolerance can be a hit, so the oracles skip measuring
    // the others; the hit test in the scan still decides on the full report.
    const auto bound = exact::DistanceBound::below(tol_ulp);
    const exact::ScanPath path = exact::scan_path();
    if (!f32.value()) {
        const auto walk = ordered_walk<double>(lo, hi);
        if (!walk) return Scan{std::vector<Hit>{}, 0, true};
        return scan(*walk, step, tol_ulp, limit, max_evals, exact::prefilter_for<double>(parsed.value(), path),
                    [bound](double x) { return exact::sqrt_midpoint<double>(x, bound); });
    }
    const auto walk = ordered_walk<float>(lo, hi);
    if (!walk) return Scan{std::vector<Hit>{}, 0, true};
    // One scan loop per operation: the choice is made here, once, and the oracle inlines into the loop.
    return exact::with_unary_op(parsed.value(), [&](auto tag) {
        return scan(*walk, step, tol_ulp, limit, max_evals, exact::prefilter_for<float>(parsed.value(), path),
                    [bound](float x) { return exact::unary_midpoint_f32<decltype(tag)::value>(x, bound); });
    });
}

}  // namespace

PyObject* knife_edges_raw(PyObject*, PyObject* args, PyObject* kwargs) {
    return invoke(knife_edges_raw_description, args, kwargs, knife_edges_raw_logic, StringParam{}, FloatParam{},
                  FloatParam{}, FloatParam{1e-3}, StringParam{"f32"}, SizeParam{100}, SizeParam{1},
                  SizeParam{100000000});
}

}  // namespace py
