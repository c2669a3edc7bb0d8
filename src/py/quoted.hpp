// The quoted form of a string inside an error message: double quotes, backslash escapes for what
// would not print plainly.
#pragma once

#include <string>
#include <string_view>

namespace py {

// `utf8` must be valid UTF-8 (it always comes from a successfully encoded Python str).
std::string quoted(std::string_view utf8);

}  // namespace py
