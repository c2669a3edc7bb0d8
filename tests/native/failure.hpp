// Runs a callable and returns the message of the InternalFailure it throws, or "" when it returns normally.
#pragma once

#include <string>

#include "exact/internal_failure.hpp"

template <class Fn>
std::string failure_message(Fn&& fn) {
    try {
        fn();
    } catch (const exact::InternalFailure& failure) {
        return failure.message;
    }
    return {};
}
