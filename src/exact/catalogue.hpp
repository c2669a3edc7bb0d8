// The operations the oracles know: their enumeration, their names, in the order Python sees them.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace exact {

enum class UnaryOp : std::uint8_t {
    Sqrt, Rsqrt, Recip, Exp, Exp2, Expm1, Log, Log2, Log10, Log1p, Sin, Cos, Tan, Atan, Tanh, Sigmoid, Softplus
};

inline constexpr std::array<std::string_view, 17> unary_op_names = {
    "sqrt", "rsqrt", "recip", "exp",  "exp2", "expm1", "log",  "log2",    "log10",
    "log1p", "sin",  "cos",   "tan",  "atan", "tanh",  "sigmoid", "softplus",
};

}  // namespace exact
