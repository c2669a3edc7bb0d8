// A broken internal invariant: thrown where it is detected, turned into a Python exception by the frame.
#pragma once

#include <source_location>
#include <string>
#include <utility>

namespace exact {

struct InternalFailure {
    std::string message;
    std::source_location location;
    // Set when the failure was already reported on standard error (a resumed Python-side failure).
    bool reported = false;

    explicit InternalFailure(std::string msg, std::source_location loc = std::source_location::current())
        : message(std::move(msg)), location(loc) {}
};

}  // namespace exact
