// A binary64 value written in positional notation with the shortest digits that read back to it.
#pragma once

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace py {

// "1", "-0", "0.000001", "16777216", 1e300 as "1" and 300 zeros, "inf", "-inf", "nan".
inline std::string positional(double v) {
    std::string out = std::signbit(v) ? "-" : "";
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return out + "inf";
    // Shortest round-trip digits in the form d[.ddd]e<sign><exponent>.
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(v), std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(written.ptr - buffer));
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e))
        if (c != '.') digits += c;
    // The value is 0.<digits> times 10^point, so `point` digits stand before the decimal point.
    const long point = std::strtol(std::string(text.substr(e + 1)).c_str(), nullptr, 10) + 1;
    const long n = static_cast<long>(digits.size());
    if (point <= 0) return out + "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    if (point >= n) return out + digits + std::string(static_cast<std::size_t>(point - n), '0');
    return out + digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
}

}  // namespace py
