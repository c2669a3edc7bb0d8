// Selecting the format from the `dtype` argument.
#include "dtype.hpp"

#include "quoted.hpp"

namespace py {

CallError unsupported_dtype(std::string_view dtype) {
    return CallError::value_error("unsupported dtype " + quoted(dtype) + ": use 'f32' or 'f64'");
}

}  // namespace py
