// The module's functions in one list. Each function's own file binds it and registers the binding under
// its name; `function_names` orders them, so a new function is its own file and one line here.
//
//     const Registration next_up_binding = registered<next_up_declaration>([](double x, Text dtype) { ... });
#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <string_view>

#include "binding.hpp"

namespace py {

// The module's functions in the order of __all__; a name starting with "_" is private (not listed there).
inline constexpr std::string_view function_names[] = {
    "ulp_distance",
    "ulp_distances",
    "ordered",
    "next_up",
    "next_down",
    "spacing",
    "special",
    "neighbours",
    "binade_edges",
    "all_floats",
    "midpoint",
    "knife_edges_raw",
    "sqrt_cr",
    "_with_default_float_environment",  // for the package: its float computations in the core's environment
    "_scan_path",                       // for the tests: forces the path of new scans
    "_audit_f32",                       // for accuracy audits (fpscope._audit): judges a chunk
    "_audit_pairs_f32",                 // for accuracy audits: judges a chunk of pairs (div, hypot, ...)
    "_audit_fill",                      // for accuracy audits: the inputs of a chunk
    "_audit_call",                      // for accuracy audits: a C function over a chunk
    "_midpoint",                        // for the package: midpoint for every operation
    "_knife_edges",                     // for the package: knife_edges_raw for every operation
    "_evaluate_f64",                    // for the 16-bit formats: binary64 values of an operation over an array
    "_ulp_distances_array",             // for the package: ulp_distances of two arrays of bit patterns
};

inline constexpr std::size_t function_count = std::size(function_names);

namespace registry {

// The bindings in the order of function_names, filled while the library loads, before the module can be
// executed; and how many registrations there were, one per function when every file registers once.
inline constinit std::array<const Binding*, function_count> slots{};
inline constinit std::size_t registrations = 0;

consteval std::size_t slot_of(std::string_view name) {
    for (std::size_t i = 0; i < function_count; ++i)
        if (function_names[i] == name) return i;
    return function_count;
}

}  // namespace registry

// Made once per function, at namespace scope in the function's file: puts its binding in its slot.
class Registration {
public:
    Registration(std::size_t slot, const Binding& binding) noexcept {
        registry::slots[slot] = &binding;
        ++registry::registrations;
    }
};

// The registration of a function whose binding is written out (one that binds its own arguments).
template <const Binding& B>
Registration registered() {
    constexpr std::size_t slot = registry::slot_of(B.name);
    static_assert(slot < function_count, "a registered function is missing from function_names");
    return Registration(slot, B);
}

// The registration of declaration D bound to `logic` (see bind).
template <const auto& D, class Logic>
Registration registered(Logic) {
    static constexpr Binding binding = bind<D>(Logic{});
    return registered<binding>();
}

}  // namespace py
