// Looking up a unary operation by the name a caller passed.
#include "parse_op.hpp"

#include "quoted.hpp"

namespace py {

namespace {

using exact::UnaryOp;

struct Alias {
    std::string_view name;
    UnaryOp op;
};

constexpr Alias aliases[] = {{"ln", UnaryOp::Log}, {"reciprocal", UnaryOp::Recip}};

std::string unknown_op_message(std::string_view name) {
    std::string list;
    for (std::string_view known : exact::unary_op_names) {
        if (!list.empty()) list += ", ";
        list += quoted(known);
    }
    return "unknown op " + quoted(name) + ": one of [" + list + "] or 'div'";
}

}  // namespace

Result<exact::UnaryOp> parse_op(std::string_view name) {
    // A name recognised when the argument was converted is a view of op_names itself.
    for (std::size_t i = 0; i < exact::unary_op_names.size(); ++i)
        if (name.data() == op_names[i].data()) return static_cast<UnaryOp>(i);
    for (std::size_t i = 0; i < exact::unary_op_names.size(); ++i)
        if (exact::unary_op_names[i] == name) return static_cast<UnaryOp>(i);
    for (const Alias& alias : aliases)
        if (alias.name == name) return alias.op;
    return CallError::value_error(unknown_op_message(name));
}

}  // namespace py
