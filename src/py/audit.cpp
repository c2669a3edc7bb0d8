// Private entry points of accuracy audits: filling a chunk of inputs, calling a native implementation
// over it, and judging its answers. Arrays are passed as addresses of contiguous buffers the package
// has checked (dtype, length) and keeps alive for the call; the limited API of 3.9 has no buffer protocol.
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "dtype.hpp"
#include "exact/audit.hpp"
#include "exact/audit_kernels.hpp"
#include "float/ordered.hpp"
#include "frame.hpp"
#include "parse_op.hpp"
#include "registry.hpp"
#include "thread_exit.hpp"

namespace py {

namespace {

template <class T>
T* buffer(std::uint64_t address) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

// (inputs, correctly rounded, misrounded, special, histogram, [(binade, max error)],
//  [(position, x, y, ordered x, error, expected)] best first, [(position, x, y, expected)],
//  [(position, x, y) undecided])
using Tally = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t, std::vector<std::uint64_t>,
                         std::vector<std::tuple<std::uint64_t, double>>,
                         std::vector<std::tuple<std::uint64_t, double, double, std::int64_t, double, double>>,
                         std::vector<std::tuple<std::uint64_t, double, double, double>>,
                         std::vector<std::tuple<std::uint64_t, double, double>>>;

Tally tally_tuple(exact::AuditTally& tally) {
    std::vector<std::uint64_t> histogram(tally.histogram.begin(), tally.histogram.end());
    std::vector<std::tuple<std::uint64_t, double>> binades;
    for (std::size_t i = 0; i < tally.binade_max.size(); ++i)
        if (tally.binade_max[i] >= 0) binades.emplace_back(i, tally.binade_max[i]);
    std::vector<std::tuple<std::uint64_t, double, double, std::int64_t, double, double>> worst;
    for (const auto& w : tally.worst) worst.emplace_back(w.position, w.x, w.y, w.key, w.error, w.expected);
    std::vector<std::tuple<std::uint64_t, double, double, double>> examples;
    for (const auto& e : tally.examples) examples.emplace_back(e.position, e.x, e.y, e.expected);
    std::vector<std::tuple<std::uint64_t, double, double>> uncertain;
    for (const auto& u : tally.uncertain) uncertain.emplace_back(u.position, u.x, u.y);
    return Tally{tally.inputs,       tally.correctly_rounded, tally.misrounded, tally.special,
                 std::move(histogram), std::move(binades),  std::move(worst),  std::move(examples),
                 std::move(uncertain)};
}

// Inputs from the array at xs, or n floats from lo on, `step` apart in the ordered view; answers from the
// array at ys, or from the C function `float function(float)`.
Result<Tally> audit_logic(std::string_view op, std::uint64_t n, std::uint64_t xs, std::uint64_t ys,
                          std::uint64_t function, double lo, std::uint64_t step, std::uint64_t worst) {
    // Any unary operation, C's others among them: the package audits those too.
    auto found = find_op(op, exact::Scope::Private);
    if (!found.ok()) return std::move(found.error());
    const auto unary = exact::unary_op_at(found.value());
    if (!unary) return CallError::value_error("_audit_f32 takes an operation of one argument");
    if (n != 0 && ys == 0 && function == 0) return CallError::value_error("no answers: give ys or function");
    if (step == 0 || step > 0xffffffffu) return CallError::value_error("step out of range");
    exact::AuditTally tally(static_cast<std::size_t>(std::min<std::uint64_t>(worst, 1 << 20)), 16);
    {
        Released released;
        exact::with_unary_op(*unary, [&](auto tag) {
            constexpr exact::UnaryOp o = decltype(tag)::value;
            const exact::ScanPath path = exact::scan_path();
            const exact::CommonPassF32 pass = exact::common_pass_f32(o, path);
            // The path's vector reference, whose error bound holds in the default float environment only.
            const exact::Unary<o> operation{pass != nullptr && exact::float_environment_is_default()
                                                ? exact::values_f32(o, path)
                                                : nullptr};
            const auto judge = [&](auto inputs) {
                if (ys != 0)
                    exact::audit_f32(operation, inputs, exact::ArrayAnswers{buffer<const float>(ys)}, n, tally,
                                     pass);
                else
                    exact::audit_f32(operation, inputs,
                                     exact::FunctionAnswers{reinterpret_cast<float (*)(float)>(
                                         static_cast<std::uintptr_t>(function))},
                                     n, tally, pass);
            };
            if (xs != 0)
                judge(exact::ArrayInputs{buffer<const float>(xs)});
            else
                judge(exact::RangeInputs{fp::to_ordered(static_cast<float>(lo)), static_cast<std::uint32_t>(step)});
        });
    }
    return tally_tuple(tally);
}

// op(xs[i], seconds[i]) against the answers ys[i], for an operation of two arguments (div, hypot, atan2, pow).
Result<Tally> audit_pairs_logic(std::string_view op, std::uint64_t n, std::uint64_t xs, std::uint64_t seconds,
                                std::uint64_t ys, std::uint64_t worst) {
    auto found = find_op(op, exact::Scope::Private);
    if (!found.ok()) return std::move(found.error());
    const auto binary = exact::binary_op_at(found.value());
    if (!binary) return CallError::value_error("_audit_pairs_f32 takes an operation of two arguments");
    if (n != 0 && (xs == 0 || seconds == 0 || ys == 0)) return CallError::value_error("null buffer");
    exact::AuditTally tally(static_cast<std::size_t>(std::min<std::uint64_t>(worst, 1 << 20)), 16);
    {
        Released released;
        exact::with_binary_op(*binary, [&](auto tag) {
            constexpr exact::BinaryOp o = decltype(tag)::value;
            exact::audit_f32(exact::Pairs<o>{buffer<const float>(seconds)}, exact::ArrayInputs{buffer<const float>(xs)},
                             exact::ArrayAnswers{buffer<const float>(ys)}, n, tally,
                             exact::common_pass_f32(exact::exact_points_of(o), exact::scan_path()));
        });
    }
    return tally_tuple(tally);
}

// The floats of ordered values k, k + step, ... (n of them) from the float lo on, into a buffer.
template <class F>
void fill(std::uint64_t address, double lo, std::uint64_t step, std::uint64_t n) {
    using Fmt = fp::Format<F>;
    using Bits = typename Fmt::Bits;
    F* out = buffer<F>(address);
    const auto first = static_cast<Bits>(fp::to_ordered(static_cast<F>(lo)));
    for (std::uint64_t i = 0; i < n; ++i)
        out[i] = fp::from_ordered<F>(static_cast<typename Fmt::Ordered>(static_cast<Bits>(first + Bits(i * step))));
}

// ys[i] = fn(xs[i]) through a C function pointer of the format's signature; with second operands (an
// address other than 0), ys[i] = fn(xs[i], seconds[i]).
template <class F>
void call(std::uint64_t function, std::uint64_t xs, std::uint64_t seconds, std::uint64_t ys, std::uint64_t n) {
    const auto address = static_cast<std::uintptr_t>(function);
    const F* in = buffer<const F>(xs);
    F* out = buffer<F>(ys);
    if (seconds == 0) {
        const auto fn = reinterpret_cast<F (*)(F)>(address);
        for (std::uint64_t i = 0; i < n; ++i) out[i] = fn(in[i]);
    } else {
        const auto fn = reinterpret_cast<F (*)(F, F)>(address);
        const F* other = buffer<const F>(seconds);
        for (std::uint64_t i = 0; i < n; ++i) out[i] = fn(in[i], other[i]);
    }
}

constexpr Function audit_declaration{
    "_audit_f32",
    Params{Arg<Op>{"op"}, Arg<std::uint64_t>{"n"}, Arg<std::uint64_t>{"xs", "0"}, Arg<std::uint64_t>{"ys", "0"},
           Arg<std::uint64_t>{"function", "0"}, Arg<double>{"lo", "0.0"}, Arg<std::uint64_t>{"step", "1"},
           Arg<std::uint64_t>{"worst", "16"}},
    "Private: judges n binary32 answers to the unary `op` (C's other operations included): of the inputs at\n"
    "address xs, or of lo and the floats `step` apart above it; the answers at address ys, or of the C\n"
    "function float(float) at `function`.\n"
    "Keeps the `worst` largest errors and the first 16 special mismatches."};

constexpr Function audit_pairs_declaration{
    "_audit_pairs_f32",
    Params{Arg<Op>{"op"}, Arg<std::uint64_t>{"n"}, Arg<std::uint64_t>{"xs"}, Arg<std::uint64_t>{"seconds"},
           Arg<std::uint64_t>{"ys"}, Arg<std::uint64_t>{"worst", "16"}},
    "Private: judges the n binary32 answers at address ys to op (div, hypot, atan2 or pow) of the floats at\n"
    "address xs and those at address seconds, as _audit_f32 judges a unary op (worst entries keyed on both\n"
    "operands)."};

constexpr Function audit_fill_declaration{
    "_audit_fill",
    Params{Arg<std::uint64_t>{"out"}, Arg<double>{"lo"}, Arg<std::uint64_t>{"step"}, Arg<std::uint64_t>{"n"},
           Arg<Dtype>{"dtype", "\"f32\""}},
    "Private: writes the n floats lo, lo + step, ... of the ordered view to the buffer at address out."};

constexpr Function audit_call_declaration{
    "_audit_call",
    Params{Arg<std::uint64_t>{"function"}, Arg<std::uint64_t>{"xs"}, Arg<std::uint64_t>{"ys"},
           Arg<std::uint64_t>{"n"}, Arg<Dtype>{"dtype", "\"f32\""}, Arg<std::uint64_t>{"seconds", "0"}},
    "Private: ys[i] = function(xs[i]) for the C function at address `function` (float(float) or\n"
    "double(double)), with the interpreter lock released; with the address of second operands,\n"
    "ys[i] = function(xs[i], seconds[i]) (float(float, float) or double(double, double))."};

}  // namespace

const Registration audit_binding = registered<audit_declaration>(
    [](Text op, std::uint64_t n, std::uint64_t xs, std::uint64_t ys, std::uint64_t function, double lo,
       std::uint64_t step, std::uint64_t worst) {
        return audit_logic(op, n, xs, ys, function, lo, step, worst);
    });

const Registration audit_pairs_binding = registered<audit_pairs_declaration>(
    [](Text op, std::uint64_t n, std::uint64_t xs, std::uint64_t seconds, std::uint64_t ys, std::uint64_t worst) {
        return audit_pairs_logic(op, n, xs, seconds, ys, worst);
    });

const Registration audit_fill_binding = registered<audit_fill_declaration>(
    [](std::uint64_t out, double lo, std::uint64_t step, std::uint64_t n, Text dtype) -> Result<bool> {
        if (n != 0 && out == 0) return CallError::value_error("null buffer");
        return with_format(dtype, [&](auto format) {
            using F = typename decltype(format)::type;
            Released released;
            fill<F>(out, lo, step == 0 ? 1 : step, n);
            return true;
        });
    });

const Registration audit_call_binding = registered<audit_call_declaration>(
    [](std::uint64_t function, std::uint64_t xs, std::uint64_t ys, std::uint64_t n, Text dtype,
       std::uint64_t seconds) -> Result<bool> {
        if (function == 0) return CallError::value_error("null function pointer");
        if (n != 0 && (xs == 0 || ys == 0)) return CallError::value_error("null buffer");
        return with_format(dtype, [&](auto format) {
            using F = typename decltype(format)::type;
            Released released;
            call<F>(function, xs, seconds, ys, n);
            return true;
        });
    });

}  // namespace py
