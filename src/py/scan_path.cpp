// The private switch that forces the scans' path (scalar, or pre-filtered with one instruction set), so
// that the tests can compare every path on one machine.
#include <string>

#include "exact/prefilter.hpp"
#include "frame.hpp"
#include "registry.hpp"
#include "quoted.hpp"

namespace py {

namespace {

std::string known_paths() {
    std::string list;
    for (std::string_view known : exact::scan_path_names) {
        if (!list.empty()) list += ", ";
        list += quoted(known);
    }
    return list;
}

// With a name, makes that path the one new scans take and returns the previous one's name; without,
// returns the current one's.
Result<std::string> scan_path_logic(std::string_view name) {
    if (name.empty()) return std::string(exact::scan_path_name(exact::scan_path()));
    for (std::size_t i = 0; i < exact::scan_path_names.size(); ++i) {
        if (exact::scan_path_names[i] != name) continue;
        const auto path = static_cast<exact::ScanPath>(i);
        if (!exact::scan_path_available(path))
            return CallError::value_error("scan path " + quoted(name) + " is not available on this processor");
        return std::string(exact::scan_path_name(exact::set_scan_path(path)));
    }
    return CallError::value_error("unknown scan path " + quoted(name) + ": one of [" + known_paths() + "]");
}

constexpr Function scan_path_declaration{
    "_scan_path", Params{Arg<Word<exact::scan_path_names>>{"name", "\"\""}},
    "Forces the path of new scans (\"scalar\", \"sse2\", \"avx2\", \"avx512\") and returns the previous one;\n"
    "without a name, returns the current one."};

}  // namespace

const Registration scan_path_binding =
    registered<scan_path_declaration>([](Text name) { return scan_path_logic(name); });

}  // namespace py
