// The closed set of operations, their names and aliases, and the binary64 evaluation of the library-based ones.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "internal_failure.hpp"

namespace exact {

// Values 0..16 in the order of unary_op_names (the first entries of `operations`).
enum class UnaryOp : std::uint8_t {
    Sqrt, Rsqrt, Recip, Exp, Exp2, Expm1, Log, Log2, Log10, Log1p, Sin, Cos, Tan, Atan, Tanh, Sigmoid, Softplus
};

inline constexpr std::size_t unary_op_count = 17;

// Who may name an operation: every caller (the core's public functions among them), or only the package
// and the core's private entry points.
enum class Scope : std::uint8_t { Public, Private };

struct Operation {
    std::string_view name;  // canonical
    int arity;
    bool exact;  // decided by an exact oracle with integer residuals, never through the platform's library
    Scope scope = Scope::Public;
};

// Every operation by its canonical name: the unary ones first, in the order of UnaryOp, then the others.
inline constexpr Operation operations[] = {
    {"sqrt", 1, true},     {"rsqrt", 1, false}, {"recip", 1, true},   {"exp", 1, false},   {"exp2", 1, false},
    {"expm1", 1, false},   {"log", 1, false},   {"log2", 1, false},   {"log10", 1, false}, {"log1p", 1, false},
    {"sin", 1, false},     {"cos", 1, false},   {"tan", 1, false},    {"atan", 1, false},  {"tanh", 1, false},
    {"sigmoid", 1, false}, {"softplus", 1, false},
    {"div", 2, true},
};

struct Alias {
    std::string_view name;
    std::string_view canonical;
    Scope scope = Scope::Public;
};

// The other names of operations: the one table of them, for the core and the package alike.
inline constexpr Alias aliases[] = {{"ln", "log"}, {"reciprocal", "recip"}};

// Bumped whenever the answer of any oracle could change for some input, so that answers kept outside
// the process (worst-case tables, caches) can tell which oracles gave them.
inline constexpr int oracle_version = 1;

// The index in `operations` of the operation that `name` (canonical or alias) names for a caller of
// `scope`, or none: a Public caller takes only Public names, a Private caller every name.
constexpr std::optional<std::size_t> find_operation(std::string_view name, Scope scope) {
    const auto in_scope = [scope](Scope of) { return of <= scope; };
    for (std::size_t i = 0; i < std::size(operations); ++i)
        if (operations[i].name == name) return in_scope(operations[i].scope) ? std::optional(i) : std::nullopt;
    for (const Alias& alias : aliases) {
        if (alias.name != name) continue;
        if (!in_scope(alias.scope)) return std::nullopt;
        return find_operation(alias.canonical, Scope::Private);
    }
    return std::nullopt;
}

// Each name once, canonical or alias; every alias names an operation and is accepted by no caller that
// refuses the operation; UnaryOp's values are the indices of the unary operations that lead the table,
// which every caller may name.
consteval bool catalogue_is_consistent() {
    for (std::size_t i = 0; i < std::size(operations); ++i)
        if (find_operation(operations[i].name, Scope::Private) != i) return false;
    for (std::size_t i = 0; i < std::size(aliases); ++i) {
        for (std::size_t j = 0; j < i; ++j)
            if (aliases[j].name == aliases[i].name) return false;
        for (const Operation& op : operations)
            if (op.name == aliases[i].name) return false;
        const auto target = find_operation(aliases[i].canonical, Scope::Private);
        if (!target || operations[*target].scope > aliases[i].scope) return false;
    }
    for (std::size_t i = 0; i < unary_op_count; ++i)
        if (operations[i].arity != 1 || operations[i].scope != Scope::Public) return false;
    return true;
}
static_assert(catalogue_is_consistent());

// The unary operations every caller may name: the Python side exposes them as UNARY_OPS and quotes
// them in the unknown-op message.
inline constexpr auto unary_op_names = [] {
    std::array<std::string_view, unary_op_count> names{};
    for (std::size_t i = 0; i < unary_op_count; ++i) names[i] = operations[i].name;
    return names;
}();

static_assert(static_cast<std::size_t>(UnaryOp::Softplus) + 1 == unary_op_count);

constexpr std::string_view unary_op_name(UnaryOp op) { return unary_op_names[static_cast<std::size_t>(op)]; }

// An operation without an exact oracle trusts its binary64 evaluation.
constexpr bool is_library_based(UnaryOp op) { return !operations[static_cast<std::size_t>(op)].exact; }

template <UnaryOp op>
using UnaryOpTag = std::integral_constant<UnaryOp, op>;

// Calls fn(UnaryOpTag<op>{}) with op as a compile-time constant, so a loop placed inside fn is compiled
// once per operation and does not branch on op for every element.
template <class Fn>
constexpr decltype(auto) with_unary_op(UnaryOp op, Fn&& fn) {
    switch (op) {
        case UnaryOp::Sqrt: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sqrt>{});
        case UnaryOp::Rsqrt: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Rsqrt>{});
        case UnaryOp::Recip: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Recip>{});
        case UnaryOp::Exp: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Exp>{});
        case UnaryOp::Exp2: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Exp2>{});
        case UnaryOp::Expm1: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Expm1>{});
        case UnaryOp::Log: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log>{});
        case UnaryOp::Log2: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log2>{});
        case UnaryOp::Log10: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log10>{});
        case UnaryOp::Log1p: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log1p>{});
        case UnaryOp::Sin: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sin>{});
        case UnaryOp::Cos: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Cos>{});
        case UnaryOp::Tan: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Tan>{});
        case UnaryOp::Atan: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Atan>{});
        case UnaryOp::Tanh: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Tanh>{});
        case UnaryOp::Sigmoid: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sigmoid>{});
        case UnaryOp::Softplus: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Softplus>{});
    }
    throw InternalFailure("unary op out of range");  // only a value cast from outside 0..16
}

// The binary64 value that stands in for the exact result of a library-based operation. Follows IEEE and the
// math library for signed zeros, subnormals, infinities and NaN; sigmoid and softplus send NaN down their
// negative-argument branch, and sigmoid sends -0.0 down the non-negative one.
template <UnaryOp op>
    requires(is_library_based(op))
inline double evaluate_f64(double x) {
    if constexpr (op == UnaryOp::Rsqrt) {
        return 1.0 / std::sqrt(x);  // correctly rounded root, then one rounding of the quotient
    } else if constexpr (op == UnaryOp::Exp) {
        return std::exp(x);
    } else if constexpr (op == UnaryOp::Exp2) {
        return std::exp2(x);
    } else if constexpr (op == UnaryOp::Expm1) {
        return std::expm1(x);
    } else if constexpr (op == UnaryOp::Log) {
        return std::log(x);
    } else if constexpr (op == UnaryOp::Log2) {
        return std::log2(x);
    } else if constexpr (op == UnaryOp::Log10) {
        return std::log10(x);
    } else if constexpr (op == UnaryOp::Log1p) {
        return std::log1p(x);
    } else if constexpr (op == UnaryOp::Sin) {
        return std::sin(x);
    } else if constexpr (op == UnaryOp::Cos) {
        return std::cos(x);
    } else if constexpr (op == UnaryOp::Tan) {
        return std::tan(x);
    } else if constexpr (op == UnaryOp::Atan) {
        return std::atan(x);
    } else if constexpr (op == UnaryOp::Tanh) {
        return std::tanh(x);
    } else if constexpr (op == UnaryOp::Sigmoid) {
        // Each branch exponentiates a non-positive argument, so neither overflows.
        if (x >= 0.0) {
            const double t = std::exp(-x);
            return 1.0 / (t + 1.0);
        }
        const double t = std::exp(x);
        return t / (1.0 + t);
    } else {
        static_assert(op == UnaryOp::Softplus);
        if (x > 0.0) return std::log1p(std::exp(-x)) + x;
        return std::log1p(std::exp(x));
    }
}

// evaluate_f64 with the operation chosen at run time; square root and reciprocal give their correctly
// rounded binary64 values (the oracles do not use these).
double evaluate_f64(UnaryOp op, double x);

}  // namespace exact
