// Selecting the format from the `dtype` argument.
#include "dtype.hpp"

#include "quoted.hpp"

namespace py {

Result<bool> is_f32(std::string_view dtype) {
    if (dtype == "f32" || dtype == "float" || dtype == "float32") return true;
    if (dtype == "f64" || dtype == "double" || dtype == "float64") return false;
    return CallError::value_error("unsupported dtype " + quoted(dtype) + ": use 'f32' or 'f64'");
}

}  // namespace py
