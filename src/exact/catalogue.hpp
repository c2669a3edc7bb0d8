// The closed set of unary operations, their names, and the binary64 evaluation of the library-based ones.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>

#include "internal_failure.hpp"

namespace exact {

// Values 0..16 in the order of unary_op_names.
enum class UnaryOp : std::uint8_t {
    Sqrt, Rsqrt, Recip, Exp, Exp2, Expm1, Log, Log2, Log10, Log1p, Sin, Cos, Tan, Atan, Tanh, Sigmoid, Softplus
};

inline constexpr std::size_t unary_op_count = 17;

// The one list of names: the Python side exposes it as UNARY_OPS and quotes it in the unknown-op message.
inline constexpr std::array<std::string_view, unary_op_count> unary_op_names = {
    "sqrt", "rsqrt", "recip", "exp", "exp2", "expm1", "log", "log2", "log10", "log1p",
    "sin", "cos", "tan", "atan", "tanh", "sigmoid", "softplus",
};

static_assert(static_cast<std::size_t>(UnaryOp::Softplus) + 1 == unary_op_count);

constexpr std::string_view unary_op_name(UnaryOp op) { return unary_op_names[static_cast<std::size_t>(op)]; }

// Square root and reciprocal have exact oracles; every other operation trusts its binary64 evaluation.
constexpr bool is_library_based(UnaryOp op) { return op != UnaryOp::Sqrt && op != UnaryOp::Recip; }

template <UnaryOp op>
using UnaryOpTag = std::integral_constant<UnaryOp, op>;

// Calls fn(UnaryOpTag<op>{}) with op as a compile-time constant, so a loop placed inside fn is compiled
// once per operation and does not branch on op for every element.
template <class Fn>
constexpr decltype(auto) with_unary_op(UnaryOp op, Fn&& fn) {
    switch (op) {
        case UnaryOp::Sqrt: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sqrt>{});
        case UnaryOp::Rsqrt: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Rsqrt>{});
        case UnaryOp::Recip: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Recip>{});
        case UnaryOp::Exp: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Exp>{});
        case UnaryOp::Exp2: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Exp2>{});
        case UnaryOp::Expm1: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Expm1>{});
        case UnaryOp::Log: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log>{});
        case UnaryOp::Log2: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log2>{});
        case UnaryOp::Log10: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log10>{});
        case UnaryOp::Log1p: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log1p>{});
        case UnaryOp::Sin: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sin>{});
        case UnaryOp::Cos: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Cos>{});
        case UnaryOp::Tan: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Tan>{});
        case UnaryOp::Atan: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Atan>{});
        case UnaryOp::Tanh: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Tanh>{});
        case UnaryOp::Sigmoid: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sigmoid>{});
        case UnaryOp::Softplus: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Softplus>{});
    }
    throw InternalFailure("unary op out of range");  // only a value cast from outside 0..16
}

// The binary64 value that stands in for the exact result of a library-based operation. Follows IEEE and the
// math library for signed zeros, subnormals, infinities and NaN; sigmoid and softplus send NaN down their
// negative-argument branch, and sigmoid sends -0.0 down the non-negative one.
template <UnaryOp op>
    requires(is_library_based(op))
inline double evaluate_f64(double x) {
    if constexpr (op == UnaryOp::Rsqrt) {
        return 1.0 / std::sqrt(x);  // correctly rounded root, then one rounding of the quotient
    } else if constexpr (op == UnaryOp::Exp) {
        return std::exp(x);
    } else if constexpr (op == UnaryOp::Exp2) {
        return std::exp2(x);
    } else if constexpr (op == UnaryOp::Expm1) {
        return std::expm1(x);
    } else if constexpr (op == UnaryOp::Log) {
        return std::log(x);
    } else if constexpr (op == UnaryOp::Log2) {
        return std::log2(x);
    } else if constexpr (op == UnaryOp::Log10) {
        return std::log10(x);
    } else if constexpr (op == UnaryOp::Log1p) {
        return std::log1p(x);
    } else if constexpr (op == UnaryOp::Sin) {
        return std::sin(x);
    } else if constexpr (op == UnaryOp::Cos) {
        return std::cos(x);
    } else if constexpr (op == UnaryOp::Tan) {
        return std::tan(x);
    } else if constexpr (op == UnaryOp::Atan) {
        return std::atan(x);
    } else if constexpr (op == UnaryOp::Tanh) {
        return std::tanh(x);
    } else if constexpr (op == UnaryOp::Sigmoid) {
        // Each branch exponentiates a non-positive argument, so neither overflows.
        if (x >= 0.0) {
            const double t = std::exp(-x);
            return 1.0 / (t + 1.0);
        }
        const double t = std::exp(x);
        return t / (1.0 + t);
    } else {
        static_assert(op == UnaryOp::Softplus);
        if (x > 0.0) return std::log1p(std::exp(-x)) + x;
        return std::log1p(std::exp(x));
    }
}

// evaluate_f64 with the operation chosen at run time; square root and reciprocal give their correctly
// rounded binary64 values (the oracles do not use these).
double evaluate_f64(UnaryOp op, double x);

}  // namespace exact
