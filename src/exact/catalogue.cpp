// The run-time dispatching binary64 evaluation, compiled once here rather than in every caller.
#include "catalogue.hpp"

namespace exact {

double evaluate_f64(UnaryOp op, double x) {
    return with_unary_op(op, [x](auto tag) -> double {
        constexpr UnaryOp o = decltype(tag)::value;
        if constexpr (o == UnaryOp::Sqrt)
            return std::sqrt(x);
        else if constexpr (o == UnaryOp::Recip)
            return 1.0 / x;
        else
            return evaluate_f64<o>(x);
    });
}

double evaluate_f64(BinaryOp op, double x, double y) {
    return with_binary_op(op, [x, y](auto tag) -> double {
        constexpr BinaryOp o = decltype(tag)::value;
        if constexpr (o == BinaryOp::Div)
            return x / y;
        else
            return evaluate_f64<o>(x, y);
    });
}

}  // namespace exact
