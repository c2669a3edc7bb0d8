// Looking up a unary operation by the name a caller passed.
#pragma once

#include <array>
#include <string_view>

#include "exact/catalogue.hpp"
#include "frame.hpp"

namespace py {

// The names an `op` argument may have: the catalogue's, the aliases, and "div".
inline constexpr auto op_names = [] {
    std::array<std::string_view, exact::unary_op_names.size() + 3> names{};
    for (std::size_t i = 0; i < exact::unary_op_names.size(); ++i) names[i] = exact::unary_op_names[i];
    names[exact::unary_op_names.size()] = "ln";
    names[exact::unary_op_names.size() + 1] = "reciprocal";
    names[exact::unary_op_names.size() + 2] = "div";
    return names;
}();

// The declared type of an `op` parameter.
using Op = Word<op_names>;

// The catalogue's seventeen names plus the aliases "ln" and "reciprocal", compared byte for byte;
// anything else ("div" included) is the "unknown op" error listing the catalogue.
Result<exact::UnaryOp> parse_op(std::string_view name);

}  // namespace py
