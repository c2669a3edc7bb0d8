// Looking up an operation by the name a caller passed.
#include "parse_op.hpp"

#include <string>

#include "quoted.hpp"

namespace py {

namespace {

using exact::Scope;
using exact::UnaryOp;

// The unary operations of the scope quoted, then those of more arguments as plain literals ("or 'div'").
std::string unknown_op_message(std::string_view name, Scope scope) {
    std::string unary, others;
    for (const exact::Operation& op : exact::operations) {
        if (op.scope > scope) continue;
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
    return CallError::value_error(unknown_op_message(name, Scope::Public));
}

Result<std::size_t> find_op(std::string_view name, Scope scope) {
    if (const auto found = exact::find_operation(name, scope)) return *found;
    return CallError::value_error(unknown_op_message(name, scope));
}

}  // namespace py
