// The quoted form of a string inside an error message: UTF-8 in, double-quoted and escaped UTF-8 out.
#include "quoted.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <iterator>

namespace py {

namespace {

// Inclusive range of code points.
struct CodePointRange {
    char32_t first;
    char32_t last;
};

#include "unicode_tables.inc"

constexpr bool is_sorted_and_disjoint() {
    for (std::size_t i = 0; i < std::size(kEscapedRanges); ++i) {
        if (kEscapedRanges[i].first > kEscapedRanges[i].last) return false;
        if (i > 0 && kEscapedRanges[i - 1].last >= kEscapedRanges[i].first) return false;
    }
    return true;
}
static_assert(is_sorted_and_disjoint(), "unicode_tables.inc must hold sorted, disjoint ranges");

// Whether `cp` is shown as \u{h}: controls, private-use, unassigned, format, default-ignorable,
// non-ASCII-blank white space and grapheme extenders, all taken from the generated table.
bool needs_hex_escape(char32_t cp) {
    // First range that does not end before cp; cp is escaped if that range also starts at or before it.
    const auto* it = std::partition_point(std::begin(kEscapedRanges), std::end(kEscapedRanges),
                                          [cp](const CodePointRange& r) { return r.last < cp; });
    return it != std::end(kEscapedRanges) && it->first <= cp;
}

// Length of the UTF-8 sequence led by `lead`. Continuation bytes never lead in valid input; counting
// them as one byte keeps the walk moving instead of looping.
std::size_t sequence_length(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Decodes the sequence of `length` bytes at `p` (already clamped to the input). A one-byte sequence is
// taken whole, so a stray byte would decode to a value of its own rather than alias an ASCII character.
char32_t decode(const unsigned char* p, std::size_t length) {
    static constexpr unsigned char lead_mask[] = {0, 0xFF, 0x1F, 0x0F, 0x07};
    char32_t cp = p[0] & lead_mask[length];
    for (std::size_t i = 1; i < length; ++i) cp = (cp << 6) | (p[i] & 0x3F);
    return cp;
}

void append_hex_escape(std::string& out, char32_t cp) {
    char digits[8];
    auto [end, ec] = std::to_chars(std::begin(digits), std::end(digits), static_cast<unsigned long>(cp), 16);
    (void)ec;  // 8 hex digits hold any 32-bit value
    out += "\\u{";
    out.append(digits, end);
    out += '}';
}

}  // namespace

std::string quoted(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size() + 2);
    out += '"';
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(utf8.data() + i);
        const std::size_t length = std::min(sequence_length(p[0]), utf8.size() - i);
        const char32_t cp = decode(p, length);
        switch (cp) {
            case U'"': out += "\\\""; break;
            case U'\\': out += "\\\\"; break;
            case U'\t': out += "\\t"; break;
            case U'\r': out += "\\r"; break;
            case U'\n': out += "\\n"; break;
            case U'\0': out += "\\0"; break;
            default:
                if (needs_hex_escape(cp)) {
                    append_hex_escape(out, cp);
                } else {
                    out.append(utf8.data() + i, length);
                }
        }
        i += length;
    }
    out += '"';
    return out;
}

}  // namespace py
