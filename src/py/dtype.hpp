// Selecting the format from the `dtype` argument.
#pragma once

#include <string_view>

#include "frame.hpp"

namespace py {

// True for binary32 ("f32", "float", "float32"), false for binary64 ("f64", "double", "float64");
// anything else, compared byte for byte, is the dtype error.
Result<bool> is_f32(std::string_view dtype);

}  // namespace py

namespace py {

// Runs `body` with a zero of the selected format's type (float for binary32, double for binary64), so
// one generic lambda serves both formats; the dtype error comes back instead when the string is unknown.
template <class Body>
auto on_format(std::string_view dtype, Body&& body) -> Result<decltype(body(0.0))> {
    auto f32 = is_f32(dtype);
    if (!f32.ok()) return std::move(f32.error());
    if (f32.value()) return body(0.0f);
    return body(0.0);
}

}  // namespace py
