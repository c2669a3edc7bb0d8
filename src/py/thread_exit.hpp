// Threads that the interpreter ends at shutdown. While it finalizes, the interpreter ends a thread that asks
// for its lock back (after releasing it around native work, or when Python code switches threads) with
// pthread_exit, which the C library carries out as a forced unwind through every frame of the thread.
// Through the module's frames that unwind would end the process where a frame is noexcept (std::terminate),
// and elsewhere run destructors that release references without the lock. Nothing may catch it for good
// either. So the module's innermost frame around each interpreter call that can take the lock back stops
// it there: the thread rests, owning nothing and touching nothing, until the process exits.
#pragma once

#include "python.hpp"

#include <exception>

namespace py {

// Never returns; the thread sleeps until the process ends it.
[[noreturn]] void rest_until_exit() noexcept;

// In a catch (...) block: whether the exception being handled is that forced unwind. It is the one foreign
// exception that reaches the module's frames, and current_exception holds none (catching it by its type,
// abi::__forced_unwind&, binds the reference to null, which the sanitizer reports).
inline bool handling_thread_exit() noexcept { return !std::current_exception(); }

// PyEval_RestoreThread(state), or rest there if the interpreter ends the thread instead.
void take_lock_back(PyThreadState* state) noexcept;

// Holds the interpreter lock released for its lifetime, around native work that touches no Python object.
// Its destructor is noexcept: taking the lock back rests the thread (take_lock_back) when the interpreter,
// shutting down, ends it instead, so the process does not end in std::terminate.
class Released {
public:
    Released() : state_(PyEval_SaveThread()) {}
    ~Released() { take_lock_back(state_); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

private:
    PyThreadState* state_;
};

// call(): an interpreter call that can run Python code (which may switch threads) or take the lock back,
// made from a frame whose callers hold references or are noexcept. The thread rests here if the
// interpreter ends it in the call. (Not while the thread handles another exception, as the guard does
// when it raises a failure: the C++ runtime cannot catch the unwind inside another handler, and ends the
// process as the unwind would.)
template <class Call>
[[gnu::always_inline]] inline decltype(auto) exit_safe(Call&& call) {
    try {
        return call();
    } catch (...) {
        if (handling_thread_exit()) rest_until_exit();
        throw;
    }
}

}  // namespace py
