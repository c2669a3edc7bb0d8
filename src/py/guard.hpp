// The guard every entry from the interpreter runs under: the default float environment, and the last
// resort that turns any C++ exception into a Python exception (an internal failure into PanicException).
#pragma once

#include "python.hpp"

#include <exception>
#include <new>

#include "error.hpp"
#include "exact/internal_failure.hpp"
#include "float_environment.hpp"
#include "thread_exit.hpp"

namespace py {

using exact::InternalFailure;

// Writes the InternalFailure report and raises the PanicException for it.
void raise_internal_failure(const InternalFailure& failure) noexcept;
// Leaves the exception of a failed interpreter call pending (an internal failure if, against the rule,
// none is).
void raise_pending_error() noexcept;
// Raises MemoryError for a native allocation that could not be satisfied.
void raise_memory_error() noexcept;
// Any other C++ exception is a broken invariant as well.
void raise_unknown_exception(const char* what) noexcept;

// Runs body in the default float environment (restoring the caller's afterwards) and under the last-resort
// guard; an InternalFailure becomes a PanicException. Returns body's result, or `failed` with an exception set.
// A thread that the interpreter ends inside body (see thread_exit.hpp) and that no inner frame stopped rests
// here, so that the unwind reaches none of the callers (this call may be nested in another of the module's).
// `Environment` is the float-environment guard; the benchmark of its cost swaps in one that does nothing.
template <class R, class Environment = DefaultFloatEnvironment, class Body>
R guarded(R failed, Body&& body) {
    [[maybe_unused]] const Environment environment;
    try {
        return body();
    } catch (const PendingPythonError&) {
        raise_pending_error();
    } catch (const InternalFailure& failure) {
        raise_internal_failure(failure);
    } catch (const std::bad_alloc&) {
        raise_memory_error();
    } catch (const std::exception& e) {
        raise_unknown_exception(e.what());
    } catch (...) {
        if (handling_thread_exit()) rest_until_exit();
        raise_unknown_exception(nullptr);
    }
    return failed;
}

}  // namespace py
