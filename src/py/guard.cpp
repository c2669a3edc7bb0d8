// Internal failures and other C++ exceptions become Python exceptions here.
#include "guard.hpp"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>

#include <unistd.h>

namespace py {

void rest_until_exit() noexcept {
    for (;;) pause();
}

void take_lock_back(PyThreadState* state) noexcept { exit_safe([state] { PyEval_RestoreThread(state); }); }

namespace {

[[noreturn]] void abort_at_boundary() {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

std::string thread_label() {
    std::ostringstream out;
    out << std::this_thread::get_id();
    return out.str();
}

}  // namespace

void raise_internal_failure(const InternalFailure& failure) noexcept {
    // Raising the PanicException may itself fail (no memory for its message); a failure while
    // another is being raised cannot be reported any other way.
    thread_local int depth = 0;
    if (depth > 0) abort_at_boundary();
    ++depth;
    try {
        if (!failure.reported) {
            std::fprintf(stderr, "fpscope: internal failure in thread %s at %s:%u:%u: %s\n",
                         thread_label().c_str(), failure.location.file_name(),
                         static_cast<unsigned>(failure.location.line()),
                         static_cast<unsigned>(failure.location.column()), failure.message.c_str());
            std::fflush(stderr);
        }
        std::string message = failure.message.empty() ? "fpscope internal failure (no message)" : failure.message;
        CallError::panic(std::move(message)).raise();
    } catch (const PendingPythonError&) {
        // No memory left for the PanicException: the MemoryError that says so is raised instead.
    } catch (...) {
        abort_at_boundary();
    }
    --depth;
}

void raise_pending_error() noexcept {
    if (!PyErr_Occurred()) raise_internal_failure(InternalFailure("an interpreter call failed without an exception"));
}

void raise_memory_error() noexcept { PyErr_NoMemory(); }

void raise_unknown_exception(const char* what) noexcept {
    raise_internal_failure(InternalFailure(what ? what : "native code failed without a message"));
}

}  // namespace py
