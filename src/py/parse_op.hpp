// Looking up an operation by the name a caller passed.
#pragma once

#include <array>
#include <iterator>
#include <string_view>

#include "exact/catalogue.hpp"
#include "frame.hpp"

namespace py {

// Every name an `op` argument may have: the catalogue's operations (the unary ones first, "div" among
// the rest), then the aliases; whether the function called takes it is decided when it is parsed.
inline constexpr auto op_names = [] {
    std::array<std::string_view, std::size(exact::operations) + std::size(exact::aliases)> names{};
    std::size_t n = 0;
    for (const exact::Operation& op : exact::operations) names[n++] = op.name;
    for (const exact::Alias& alias : exact::aliases) names[n++] = alias.name;
    return names;
}();

// The declared type of an `op` parameter.
using Op = Word<op_names>;

// A unary operation any caller may name (the catalogue's seventeen, and the aliases "ln" and "reciprocal"),
// compared byte for byte; anything else ("div" included) is the "unknown op" error listing the seventeen.
Result<exact::UnaryOp> parse_op(std::string_view name);

// Any operation a caller of `scope` may name (canonical or alias), as its index in exact::operations,
// compared byte for byte; anything else is the "unknown op" error listing that caller's operations.
Result<std::size_t> find_op(std::string_view name, exact::Scope scope);

}  // namespace py
