// Looking up a unary operation by the name a caller passed.
#pragma once

#include <string_view>

#include "exact/catalogue.hpp"
#include "frame.hpp"

namespace py {

// The catalogue's seventeen names plus the aliases "ln" and "reciprocal", compared byte for byte;
// anything else ("div" included) is the "unknown op" error listing the catalogue.
Result<exact::UnaryOp> parse_op(std::string_view name);

}  // namespace py
