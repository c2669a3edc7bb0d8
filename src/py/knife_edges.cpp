// The knife-edge scan: every stride-th float of a range handed to the exact oracle, keeping the inputs
// whose exact result lies within a tolerance of a rounding midpoint.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dtype.hpp"
#include "exact/catalogue.hpp"
#include "exact/oracles.hpp"
#include "exact/prefilter.hpp"
#include "exact/unary_f32.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "memory_budget.hpp"
#include "parse_op.hpp"
#include "walk.hpp"

namespace py {

namespace {

// (x, rounded, distance_ulp, exact_above)
using Hit = std::tuple<double, double, double, bool>;
// (hits in ascending x, inputs evaluated, whether the whole range was walked)
using Scan = std::tuple<std::vector<Hit>, std::uint64_t, bool>;

// A hit's cost at its peak: the native record (twice, while the array grows), then the list's pointer,
// a 4-tuple (with its garbage-collector header) and three floats; the bool is shared.
constexpr std::uint64_t hit_bytes = 2 * sizeof(Hit) + 8 + 80 + 3 * 32;

// Holds the interpreter lock released for its lifetime, so that other threads run while a scan walks.
// `poll` takes the lock back at most every `interval` of work to run pending signal handlers (Ctrl-C), and
// hands back whatever a handler raised. Taking the lock back is where the interpreter ends the thread at
// shutdown: the thread then rests there (take_lock_back), in the destructor as in `poll`.
class ReleasedInterpreter {
public:
    static constexpr std::chrono::milliseconds interval{50};

    ReleasedInterpreter() : state_(PyEval_SaveThread()), last_poll_(std::chrono::steady_clock::now()) {}
    ~ReleasedInterpreter() {
        if (state_ != nullptr) take_lock_back(state_);
    }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    std::optional<CallError> poll() {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll_ < interval) return std::nullopt;
        last_poll_ = now;
        // Cleared first: should fetching the handler's exception throw, the destructor must not take the
        // lock a second time.
        take_lock_back(std::exchange(state_, nullptr));
        std::optional<CallError> raised;
        if (exit_safe([] { return PyErr_CheckSignals(); }) != 0) raised.emplace(CallError::fetch());
        state_ = PyEval_SaveThread();
        return raised;
    }

private:
    PyThreadState* state_;
    std::chrono::steady_clock::time_point last_poll_;
};

// Inputs walked between two looks at the clock: a few milliseconds for the costliest operation, and a
// whole number of the pre-filter's blocks.
constexpr std::uint64_t poll_block = 1 << 14;

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
    bool stopped = false;
    const auto visit = [&](F x) {
        const std::optional<exact::MidpointReport> report = oracle(x);
        if (!report || report->exact || !(report->distance_ulp < tol_ulp)) return true;
        if (!hits_in_memory.admits(hits.size() + 1)) {
            out_of_memory = true;
        } else {
            hits.emplace_back(static_cast<double>(x), report->rounded, report->distance_ulp, report->exact_above);
            if (hits.size() != limit) return true;
        }
        stopped = true;
        return false;
    };
    std::uint64_t evaluated = 0;
    // The walk goes in parts of poll_block inputs, with the interpreter lock released: no Python object
    // is touched in it, and the lock is held again when the function returns.
    ReleasedInterpreter released;
    while (evaluated < budget && !stopped) {
        if (auto raised = released.poll()) return std::move(*raised);
        const std::uint64_t end = evaluated + std::min(budget - evaluated, poll_block);
        evaluated = exact::visit_candidates<F>(kernel, walk.first, ordered_step, evaluated, end, tol_ulp, visit);
    }
    if (out_of_memory) return CallError::memory_error();
    return Scan{std::move(hits), evaluated, evaluated == inputs};
}

// The scan of a unary operation: binary32 inputs, or binary64 ones for sqrt (the caller has checked).
Result<Scan> scan_unary(exact::UnaryOp op, bool f32, double lo, double hi, double tol_ulp, std::uint64_t limit,
                        std::uint64_t step, std::uint64_t max_evals) {
    // Only a report whose distance may be below the tolerance can be a hit, so the oracles skip measuring
    // the others; the hit test in the scan still decides on the full report.
    const auto bound = exact::DistanceBound::below(tol_ulp);
    const exact::ScanPath path = exact::scan_path();
    if (!f32) {
        const auto walk = ordered_walk<double>(lo, hi);
        if (!walk) return Scan{std::vector<Hit>{}, 0, true};
        return scan(*walk, step, tol_ulp, limit, max_evals, exact::prefilter_for<double>(op, path),
                    [bound](double x) { return exact::sqrt_midpoint<double>(x, bound); });
    }
    const auto walk = ordered_walk<float>(lo, hi);
    if (!walk) return Scan{std::vector<Hit>{}, 0, true};
    // One scan loop per operation: the choice is made here, once, and the oracle inlines into the loop.
    return exact::with_unary_op(op, [&](auto tag) {
        return scan(*walk, step, tol_ulp, limit, max_evals, exact::prefilter_for<float>(op, path),
                    [bound](float x) { return exact::unary_midpoint_f32<decltype(tag)::value>(x, bound); });
    });
}

// The scan of an operation of two arguments over its first, binary32, with the second fixed at y.
Result<Scan> scan_binary(exact::BinaryOp op, float y, double lo, double hi, double tol_ulp, std::uint64_t limit,
                         std::uint64_t step, std::uint64_t max_evals) {
    const auto bound = exact::DistanceBound::below(tol_ulp);
    const auto walk = ordered_walk<float>(lo, hi);
    if (!walk) return Scan{std::vector<Hit>{}, 0, true};
    return exact::with_binary_op(op, [&](auto tag) {
        return scan(*walk, step, tol_ulp, limit, max_evals, exact::Candidates<float>{},
                    [bound, y](float x) { return exact::binary_midpoint_f32<decltype(tag)::value>(x, y, bound); });
    });
}

CallError f64_scans_refused() { return CallError::value_error("f64 scans are available for op='sqrt' only"); }

Result<Scan> knife_edges_raw_logic(std::string_view op, double lo, double hi, double tol_ulp, std::string_view dtype,
                                   std::uint64_t limit, std::uint64_t stride, std::uint64_t max_evals) {
    auto parsed = parse_op(op);
    if (!parsed.ok()) return std::move(parsed.error());
    auto f32 = is_f32(dtype);
    if (!f32.ok()) return std::move(f32.error());
    if (!f32.value() && parsed.value() != exact::UnaryOp::Sqrt) return f64_scans_refused();
    return scan_unary(parsed.value(), f32.value(), lo, hi, tol_ulp, limit, stride == 0 ? 1 : stride, max_evals);
}

// `knife_edges_raw` for every operation of the catalogue; an operation of two arguments takes y, which
// stays fixed while the first walks the range, and a unary one refuses it. The checks and their words are
// those of knife_edges_raw and midpoint.
Result<Scan> private_knife_edges_logic(std::string_view op, double lo, double hi, double tol_ulp,
                                       std::string_view dtype, std::uint64_t limit, std::uint64_t stride,
                                       std::uint64_t max_evals, std::optional<double> y) {
    auto found = find_op(op, exact::Scope::Private);
    if (!found.ok()) return std::move(found.error());
    auto f32 = is_f32(dtype);
    if (!f32.ok()) return std::move(f32.error());
    const auto unary = exact::unary_op_at(found.value());
    if (!f32.value() && unary != exact::UnaryOp::Sqrt) return f64_scans_refused();
    const std::uint64_t step = stride == 0 ? 1 : stride;
    if (unary) {
        if (y) return CallError::value_error("op='" + std::string(op) + "' takes no y");
        return scan_unary(*unary, f32.value(), lo, hi, tol_ulp, limit, step, max_evals);
    }
    if (!y) return CallError::value_error("op='" + std::string(op) + "' needs y");
    return scan_binary(*exact::binary_op_at(found.value()), fp::narrow(*y), lo, hi, tol_ulp, limit, step, max_evals);
}

constexpr Function knife_edges_raw_declaration{
    "knife_edges_raw",
    Params{Arg<Op>{"op"}, Arg<double>{"lo"}, Arg<double>{"hi"}, Arg<double>{"tol_ulp", "1e-3"},
           Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::uint64_t>{"limit", "100"}, Arg<std::uint64_t>{"stride", "1"},
           Arg<std::uint64_t>{"max_evals", "100000000"}},
    "Up to `limit` inputs in [lo, hi] whose exact `op` result is within `tol_ulp` of a rounding\n"
    "midpoint, as (x, rounded, distance_ulp, exact_above), plus the number of inputs evaluated and\n"
    "whether the whole range was covered. Scans every `stride`-th float, at most `max_evals`."};

constexpr Function private_knife_edges_declaration{
    "_knife_edges",
    Params{Arg<Op>{"op"}, Arg<double>{"lo"}, Arg<double>{"hi"}, Arg<double>{"tol_ulp", "1e-3"},
           Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::uint64_t>{"limit", "100"}, Arg<std::uint64_t>{"stride", "1"},
           Arg<std::uint64_t>{"max_evals", "100000000"}, Arg<std::optional<double>>{"y", "None"}},
    "Private: `knife_edges_raw` for every operation of the catalogue, those only the package names\n"
    "included; an operation of two arguments walks its first over [lo, hi] with the second fixed at y."};

}  // namespace

const Registration knife_edges_raw_binding = registered<knife_edges_raw_declaration>(
    [](Text op, double lo, double hi, double tol_ulp, Text dtype, std::uint64_t limit, std::uint64_t stride,
       std::uint64_t max_evals) { return knife_edges_raw_logic(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals); });

const Registration private_knife_edges_binding = registered<private_knife_edges_declaration>(
    [](Text op, double lo, double hi, double tol_ulp, Text dtype, std::uint64_t limit, std::uint64_t stride,
       std::uint64_t max_evals, std::optional<double> y) {
        return private_knife_edges_logic(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals, y);
    });

}  // namespace py
