// The run-time dispatching oracles, compiled once here rather than in every caller.
#include "unary_f32.hpp"

namespace exact {

std::optional<MidpointReport> unary_midpoint_f32(UnaryOp op, float x) {
    return with_unary_op(op, [x](auto tag) { return unary_midpoint_f32<decltype(tag)::value>(x); });
}

std::optional<MidpointReport> binary_midpoint_f32(BinaryOp op, float x, float y) {
    return with_binary_op(op, [x, y](auto tag) { return binary_midpoint_f32<decltype(tag)::value>(x, y); });
}

}  // namespace exact
