// The run-time dispatching unary oracle, compiled once here rather than in every caller.
#include "unary_f32.hpp"

namespace exact {

std::optional<MidpointReport> unary_midpoint_f32(UnaryOp op, float x) {
    return with_unary_op(op, [x](auto tag) { return unary_midpoint_f32<decltype(tag)::value>(x); });
}

}  // namespace exact
