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
#include "library_f64.hpp"

namespace exact {

// The unary operations in the order they lead `operations`: first the seventeen every caller may name,
// then those only the package and the core's private entry points take.
enum class UnaryOp : std::uint8_t {
    Sqrt, Rsqrt, Recip, Exp, Exp2, Expm1, Log, Log2, Log10, Log1p, Sin, Cos, Tan, Atan, Tanh, Sigmoid, Softplus,
    Cbrt, Asin, Acos, Sinh, Cosh, Asinh, Acosh, Atanh, Exp10, Erf, Erfc, Tgamma, Lgamma, Sinpi, Cospi, Tanpi,
    Log2p1, Exp2m1
};

// The unary operations every caller may name, and all of them.
inline constexpr std::size_t unary_op_count = 17;
inline constexpr std::size_t all_unary_op_count = 35;

// The operations of two arguments, in the order they follow the unary ones in `operations`. The second
// argument is y: div is x / y, atan2 is C's atan2(x, y), pow is x raised to y.
enum class BinaryOp : std::uint8_t { Div, Hypot, Atan2, Pow };

inline constexpr std::size_t binary_op_count = 4;

// Who may name an operation: every caller (the core's public functions among them), or only the package
// and the core's private entry points.
enum class Scope : std::uint8_t { Public, Private };

struct Operation {
    std::string_view name;  // canonical
    int arity;
    bool exact;  // decided by an exact oracle with integer residuals, never through the platform's library
    Scope scope = Scope::Public;
};

// Every operation by its canonical name: the unary ones first, in the order of UnaryOp, then those of two
// arguments in the order of BinaryOp. C's names are the canonical ones.
inline constexpr Operation operations[] = {
    {"sqrt", 1, true},     {"rsqrt", 1, false}, {"recip", 1, true},   {"exp", 1, false},   {"exp2", 1, false},
    {"expm1", 1, false},   {"log", 1, false},   {"log2", 1, false},   {"log10", 1, false}, {"log1p", 1, false},
    {"sin", 1, false},     {"cos", 1, false},   {"tan", 1, false},    {"atan", 1, false},  {"tanh", 1, false},
    {"sigmoid", 1, false}, {"softplus", 1, false},
    {"cbrt", 1, false, Scope::Private},   {"asin", 1, false, Scope::Private},   {"acos", 1, false, Scope::Private},
    {"sinh", 1, false, Scope::Private},   {"cosh", 1, false, Scope::Private},   {"asinh", 1, false, Scope::Private},
    {"acosh", 1, false, Scope::Private},  {"atanh", 1, false, Scope::Private},  {"exp10", 1, false, Scope::Private},
    {"erf", 1, false, Scope::Private},    {"erfc", 1, false, Scope::Private},   {"tgamma", 1, false, Scope::Private},
    {"lgamma", 1, false, Scope::Private}, {"sinpi", 1, false, Scope::Private},  {"cospi", 1, false, Scope::Private},
    {"tanpi", 1, false, Scope::Private},  {"log2p1", 1, false, Scope::Private}, {"exp2m1", 1, false, Scope::Private},
    {"div", 2, true},
    {"hypot", 2, false, Scope::Private},  {"atan2", 2, false, Scope::Private},  {"pow", 2, false, Scope::Private},
};

struct Alias {
    std::string_view name;
    std::string_view canonical;
    Scope scope = Scope::Public;
};

// The other names of operations: the one table of them, for the core and the package alike.
// numpy's names join it where they differ from C's.
inline constexpr Alias aliases[] = {
    {"ln", "log"},
    {"reciprocal", "recip"},
    {"arcsin", "asin", Scope::Private},
    {"arccos", "acos", Scope::Private},
    {"arctan", "atan", Scope::Private},
    {"arcsinh", "asinh", Scope::Private},
    {"arccosh", "acosh", Scope::Private},
    {"arctanh", "atanh", Scope::Private},
    {"arctan2", "atan2", Scope::Private},
    {"power", "pow", Scope::Private},
};

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
// refuses the operation; UnaryOp's values are the indices of the unary operations that lead the table, the
// first unary_op_count of them for every caller, and BinaryOp's count on from there.
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
    if (std::size(operations) != all_unary_op_count + binary_op_count) return false;
    for (std::size_t i = 0; i < std::size(operations); ++i) {
        if (operations[i].arity != (i < all_unary_op_count ? 1 : 2)) return false;
        if (i < all_unary_op_count && (operations[i].scope == Scope::Public) != (i < unary_op_count)) return false;
    }
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
static_assert(static_cast<std::size_t>(UnaryOp::Exp2m1) + 1 == all_unary_op_count);
static_assert(static_cast<std::size_t>(BinaryOp::Pow) + 1 == binary_op_count);

constexpr std::size_t index_of(UnaryOp op) { return static_cast<std::size_t>(op); }
constexpr std::size_t index_of(BinaryOp op) { return all_unary_op_count + static_cast<std::size_t>(op); }

constexpr std::string_view unary_op_name(UnaryOp op) { return operations[index_of(op)].name; }

// The operation at index i of `operations`, when it is unary (binary).
constexpr std::optional<UnaryOp> unary_op_at(std::size_t i) {
    return i < all_unary_op_count ? std::optional(static_cast<UnaryOp>(i)) : std::nullopt;
}
constexpr std::optional<BinaryOp> binary_op_at(std::size_t i) {
    if (i < all_unary_op_count || i >= std::size(operations)) return std::nullopt;
    return static_cast<BinaryOp>(i - all_unary_op_count);
}

// An operation without an exact oracle trusts its binary64 evaluation.
constexpr bool is_library_based(UnaryOp op) { return !operations[index_of(op)].exact; }
constexpr bool is_library_based(BinaryOp op) { return !operations[index_of(op)].exact; }

template <UnaryOp op>
using UnaryOpTag = std::integral_constant<UnaryOp, op>;
template <BinaryOp op>
using BinaryOpTag = std::integral_constant<BinaryOp, op>;

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
        case UnaryOp::Cbrt: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Cbrt>{});
        case UnaryOp::Asin: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Asin>{});
        case UnaryOp::Acos: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Acos>{});
        case UnaryOp::Sinh: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sinh>{});
        case UnaryOp::Cosh: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Cosh>{});
        case UnaryOp::Asinh: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Asinh>{});
        case UnaryOp::Acosh: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Acosh>{});
        case UnaryOp::Atanh: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Atanh>{});
        case UnaryOp::Exp10: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Exp10>{});
        case UnaryOp::Erf: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Erf>{});
        case UnaryOp::Erfc: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Erfc>{});
        case UnaryOp::Tgamma: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Tgamma>{});
        case UnaryOp::Lgamma: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Lgamma>{});
        case UnaryOp::Sinpi: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Sinpi>{});
        case UnaryOp::Cospi: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Cospi>{});
        case UnaryOp::Tanpi: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Tanpi>{});
        case UnaryOp::Log2p1: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Log2p1>{});
        case UnaryOp::Exp2m1: return std::forward<Fn>(fn)(UnaryOpTag<UnaryOp::Exp2m1>{});
    }
    throw InternalFailure("unary op out of range");  // only a value cast from outside the enumeration
}

// The same for the operations of two arguments.
template <class Fn>
constexpr decltype(auto) with_binary_op(BinaryOp op, Fn&& fn) {
    switch (op) {
        case BinaryOp::Div: return std::forward<Fn>(fn)(BinaryOpTag<BinaryOp::Div>{});
        case BinaryOp::Hypot: return std::forward<Fn>(fn)(BinaryOpTag<BinaryOp::Hypot>{});
        case BinaryOp::Atan2: return std::forward<Fn>(fn)(BinaryOpTag<BinaryOp::Atan2>{});
        case BinaryOp::Pow: return std::forward<Fn>(fn)(BinaryOpTag<BinaryOp::Pow>{});
    }
    throw InternalFailure("binary op out of range");
}

// The binary64 value that stands in for the exact result of a library-based operation. Follows IEEE and the
// math library for signed zeros, subnormals, infinities and NaN (C's rules: NaN where there is no real
// result, an infinity at a pole); sigmoid and softplus send NaN down their negative-argument branch, and
// sigmoid sends -0.0 down the non-negative one. lgamma is log |gamma|. See library_f64.hpp for the
// operations computed in more than one step.
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
    } else if constexpr (op == UnaryOp::Softplus) {
        if (x > 0.0) return std::log1p(std::exp(-x)) + x;
        return std::log1p(std::exp(x));
    } else if constexpr (op == UnaryOp::Cbrt) {
        return library::cbrt(x);
    } else if constexpr (op == UnaryOp::Asin) {
        return std::asin(x);
    } else if constexpr (op == UnaryOp::Acos) {
        return std::acos(x);
    } else if constexpr (op == UnaryOp::Sinh) {
        return std::sinh(x);
    } else if constexpr (op == UnaryOp::Cosh) {
        return std::cosh(x);
    } else if constexpr (op == UnaryOp::Asinh) {
        return std::asinh(x);
    } else if constexpr (op == UnaryOp::Acosh) {
        return std::acosh(x);
    } else if constexpr (op == UnaryOp::Atanh) {
        return std::atanh(x);
    } else if constexpr (op == UnaryOp::Exp10) {
        // Both operands exact, so this is the library's power function at its own accuracy (some
        // libraries' exp10 miss even at integers).
        return std::pow(10.0, x);
    } else if constexpr (op == UnaryOp::Erf) {
        return std::erf(x);
    } else if constexpr (op == UnaryOp::Erfc) {
        return std::erfc(x);
    } else if constexpr (op == UnaryOp::Tgamma) {
        return library::tgamma(x);
    } else if constexpr (op == UnaryOp::Lgamma) {
        return library::lgamma(x);
    } else if constexpr (op == UnaryOp::Sinpi) {
        return library::sinpi(x);
    } else if constexpr (op == UnaryOp::Cospi) {
        return library::cospi(x);
    } else if constexpr (op == UnaryOp::Tanpi) {
        return library::tanpi(x);
    } else if constexpr (op == UnaryOp::Log2p1) {
        return library::log2p1(x);
    } else {
        static_assert(op == UnaryOp::Exp2m1);
        return library::exp2m1(x);
    }
}

// The same for the library-based operations of two arguments; atan2(x, y) is C's, the angle of the
// point (y, x).
template <BinaryOp op>
    requires(is_library_based(op))
inline double evaluate_f64(double x, double y) {
    if constexpr (op == BinaryOp::Hypot) {
        return library::hypot(x, y);
    } else if constexpr (op == BinaryOp::Atan2) {
        return std::atan2(x, y);
    } else {
        static_assert(op == BinaryOp::Pow);
        return std::pow(x, y);
    }
}

// evaluate_f64 with the operation chosen at run time; square root and reciprocal give their correctly
// rounded binary64 values (the oracles do not use these).
double evaluate_f64(UnaryOp op, double x);
// Division gives its correctly rounded binary64 quotient.
double evaluate_f64(BinaryOp op, double x, double y);

}  // namespace exact
