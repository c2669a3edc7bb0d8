// Selecting the format from the `dtype` argument.
#pragma once

#include <array>
#include <string_view>
#include <type_traits>

#include "frame.hpp"

namespace py {

// The names of the formats: binary32 first, then binary64.
inline constexpr std::array<std::string_view, 6> dtype_names = {"f32", "float", "float32", "f64", "double", "float64"};

// The declared type of a `dtype` parameter.
using Dtype = Word<dtype_names>;

// The dtype error for a name that is none of dtype_names.
CallError unsupported_dtype(std::string_view dtype);

// True for binary32 ("f32", "float", "float32"), false for binary64 ("f64", "double", "float64");
// anything else, compared byte for byte, is the dtype error. A name recognised when the argument was
// converted is a view of dtype_names itself, found by its address.
inline Result<bool> is_f32(std::string_view dtype) {
    for (std::size_t i = 0; i < dtype_names.size(); ++i)
        if (dtype.data() == dtype_names[i].data() || dtype == dtype_names[i]) return i < 3;
    return unsupported_dtype(dtype);
}

// The value of body(std::type_identity<F>{}) for the format F that `dtype` names (float for binary32,
// double for binary64), as a Result (a body's own Result is passed on, not nested); the dtype error when
// the name is unknown. One generic body serves both formats.
template <class Body>
auto with_format(std::string_view dtype, Body&& body) {
    using Returned = decltype(body(std::type_identity<double>{}));
    using R = std::conditional_t<is_result<Returned>, Returned, Result<Returned>>;
    for (std::size_t i = 0; i < dtype_names.size(); ++i) {
        if (dtype.data() == dtype_names[i].data() || dtype == dtype_names[i]) {
            if (i < 3) return R(body(std::type_identity<float>{}));
            return R(body(std::type_identity<double>{}));
        }
    }
    return R(unsupported_dtype(dtype));
}

}  // namespace py
