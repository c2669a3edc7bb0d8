// Unit tests of the quoted form of strings used in error messages.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "py/quoted.hpp"

namespace {

struct Case {
    const char* label;
    std::string_view input;  // UTF-8
    std::string_view expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.label; }

std::string label(const testing::TestParamInfo<Case>& info) { return info.param.label; }

class Quoted : public testing::TestWithParam<Case> {};

TEST_P(Quoted, Renders) {
    const Case& c = GetParam();
    EXPECT_EQ(py::quoted(c.input), c.expected);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    StandAsIs, Quoted,
    testing::Values(Case{"empty", "", R"("")"}, Case{"ascii", "F32", R"("F32")"},
                    Case{"blank_and_single_quote", " f'32 ", R"(" f'32 ")"},
                    Case{"latin_letter", "caf\u00E9", "\"caf\u00E9\""},
                    Case{"inverted_exclamation_after_c1", "\u00A1", "\"\u00A1\""},
                    Case{"cjk", "\u4E2D\u6587", "\"\u4E2D\u6587\""},
                    Case{"emoji", "\U0001F600", "\"\U0001F600\""}),
    label);

INSTANTIATE_TEST_SUITE_P(
    ShortEscapes, Quoted,
    testing::Values(Case{"double_quote", "a\"b", R"("a\"b")"}, Case{"backslash", "a\\b", R"("a\\b")"},
                    Case{"tab_cr_lf", "\t\r\n", R"("\t\r\n")"}, Case{"nul", "a\0b"sv, R"("a\0b")"},
                    Case{"nul_before_digit", "\0" "1"sv, R"("\01")"}),
    label);

INSTANTIATE_TEST_SUITE_P(
    HexEscapes, Quoted,
    testing::Values(Case{"c0_control", "\x01", R"("\u{1}")"}, Case{"c0_last", "\x1F", R"("\u{1f}")"},
                    Case{"delete", "\x7F", R"("\u{7f}")"}, Case{"next_line", "\u0085", R"("\u{85}")"},
                    Case{"c1_last", "\u009F", R"("\u{9f}")"}, Case{"no_break_space", "\u00A0", R"("\u{a0}")"},
                    Case{"soft_hyphen", "\u00AD", R"("\u{ad}")"},
                    Case{"combining_acute", "e\u0301", R"("e\u{301}")"},
                    Case{"unassigned", "\u0378", R"("\u{378}")"},
                    Case{"zero_width_space", "\u200B", R"("\u{200b}")"},
                    Case{"private_use", "\uE000", R"("\u{e000}")"},
                    Case{"noncharacter", "\uFFFE", R"("\u{fffe}")"},
                    Case{"last_code_point", "\U0010FFFF", R"("\u{10ffff}")"}),
    label);

INSTANTIATE_TEST_SUITE_P(
    Mixed, Quoted,
    testing::Values(Case{"every_kind", "x\"\u00E9\u200B\n\U0001F600\\", R"("x\"é\u{200b}\n😀\\")"},
                    Case{"escapes_back_to_back", "\u00A0\u00A0\t", R"("\u{a0}\u{a0}\t")"}),
    label);

}  // namespace
