// Private entry point of the 16-bit formats' certified answers: the binary64 value standing in for each exact
// result over an array of inputs, which the package judges against the smaller format and hands to MPFR where
// it could be wrong. Arrays are passed as addresses of contiguous float64 buffers the package has checked and
// keeps alive for the call; the limited API of 3.9 has no buffer protocol.
#include <cstdint>
#include <utility>

#include "exact/catalogue.hpp"
#include "frame.hpp"
#include "parse_op.hpp"
#include "registry.hpp"
#include "thread_exit.hpp"

namespace py {

namespace {

constexpr Function evaluate_declaration{
    "_evaluate_f64",
    Params{Arg<Op>{"op"}, Arg<std::uint64_t>{"xs"}, Arg<std::uint64_t>{"ys"}, Arg<std::uint64_t>{"n"}},
    "Private: ys[i] = the binary64 value of `op` at xs[i] (float64 buffers at addresses xs and ys):\n"
    "the platform's function for the library operations, the correctly rounded value for sqrt and recip."};

}  // namespace

const Registration evaluate_binding = registered<evaluate_declaration>(
    [](Text op, std::uint64_t xs, std::uint64_t ys, std::uint64_t n) -> Result<bool> {
        auto parsed = parse_op(op);
        if (!parsed.ok()) return std::move(parsed.error());
        if (n != 0 && (xs == 0 || ys == 0)) return CallError::value_error("null buffer");
        const auto* in = reinterpret_cast<const double*>(static_cast<std::uintptr_t>(xs));
        auto* out = reinterpret_cast<double*>(static_cast<std::uintptr_t>(ys));
        const exact::UnaryOp which = parsed.value();
        Released released;
        for (std::uint64_t i = 0; i < n; ++i) out[i] = exact::evaluate_f64(which, in[i]);
        return true;
    });

}  // namespace py
