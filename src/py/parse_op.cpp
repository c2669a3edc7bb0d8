// Looking up a unary operation by the name a caller passed.
#include "parse_op.hpp"

#include <string>

#include "quoted.hpp"

namespace py {

namespace {

using exact::Scope;
using exact::UnaryOp;

// The public unary operations quoted, then the public ones of more arguments as plain literals ("or 'div'").
std::string unknown_op_message(std::string_view name) {
    std::string unary, others;
    for (const exact::Operation& op : exact::operations) {
        if (op.scope != Scope::Public) continue;
        if (op.arity == 1) {
            unary += (unary.empty() ? "" : ", ") + quoted(op.name);
        } else {
            others += others.empty() ? "'" : ", '";
            others.append(op.name);
            others += "'";
        }
    }
    return "unknown op " + quoted(name) + ": one of [" + unary + "] or " + others;
}

}  // namespace

Result<UnaryOp> parse_op(std::string_view name) {
    // A name recognised when the argument was converted is a view of op_names itself.
    for (std::size_t i = 0; i < exact::unary_op_count; ++i)
        if (name.data() == op_names[i].data()) return static_cast<UnaryOp>(i);
    const auto found = exact::find_operation(name, Scope::Public);
    if (found && *found < exact::unary_op_count) return static_cast<UnaryOp>(*found);
    return CallError::value_error(unknown_op_message(name));
}

}  // namespace py
