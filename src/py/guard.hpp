// The guard every entry from the interpreter runs under: the default float environment, and the last
// resort that turns any C++ exception into a Python exception (an internal failure into PanicException).
#pragma once

#include "python.hpp"

#include <exception>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <new>

#include "error.hpp"
#include "exact/internal_failure.hpp"
#include "float_environment.hpp"

namespace py {

using exact::InternalFailure;

// What the C library throws through a thread that it ends (pthread_exit, as the interpreter does to a
// thread that asks for its lock while it finalizes): it must be let through, never turned into an error.
#if defined(__GLIBCXX__)
using ThreadExit = abi::__forced_unwind;
#else
struct ThreadExit {};  // never thrown: the unwind is then caught by catch (...) alone
#endif

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
// `Environment` is the float-environment guard; the benchmark of its cost swaps in one that does nothing.
template <class R, class Environment = DefaultFloatEnvironment, class Body>
R guarded(R failed, Body&& body) {
    [[maybe_unused]] const Environment environment;
    try {
        return body();
    } catch (const ThreadExit&) {
        throw;
    } catch (const PendingPythonError&) {
        raise_pending_error();
    } catch (const InternalFailure& failure) {
        raise_internal_failure(failure);
    } catch (const std::bad_alloc&) {
        raise_memory_error();
    } catch (const std::exception& e) {
        raise_unknown_exception(e.what());
    } catch (...) {
        raise_unknown_exception(nullptr);
    }
    return failed;
}

}  // namespace py
