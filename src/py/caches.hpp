// Process-wide caches: objects made once for the life of the process (interned names, the exception
// class, an imported class), and the interned forms of the names the frame compares arguments with.
#pragma once

#include "python.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>

namespace py {

// Attribute names interned once for the process.
enum class Name { AddNote, Qualname, Name, All };
PyObject* interned(Name name);

// Clears the pending exception and returns str() of it, for messages of internal failures.
std::string pending_error_text();
// The UTF-8 text of a str, lone surrogates escaped; empty if it cannot be had.
std::string utf8_of(PyObject* text);

// The PanicException class (a BaseException subclass), created once.
PyObject* panic_exception_class();
// The PanicException class if it has been created, else null; never creates it.
PyObject* panic_exception_class_if_made();
// collections.abc.Sequence, imported once.
PyObject* sequence_class();

// Interned str objects for a fixed list of ASCII names, made on first use with the interpreter lock held
// and kept for the life of the process. They make the common case of a comparison an identity test: the
// interpreter interns the identifiers and short literals of Python source, keyword names included.
template <std::size_t N>
class InternedTexts {
public:
    // The objects in the order of `names`, or null while they are not (yet) available: being made by
    // another call on this thread's stack, or left unmade after a failed allocation (tried again later).
    PyObject* const* get(const std::array<std::string_view, N>& names) {
        if (state_.load(std::memory_order_acquire) == ready) return objects_.data();
        int expected = empty;
        if (!state_.compare_exchange_strong(expected, filling, std::memory_order_acquire)) return nullptr;
        for (std::size_t i = 0; i < N; ++i) {
            if (objects_[i] != nullptr) continue;
            objects_[i] = PyUnicode_InternFromString(names[i].data());
            if (objects_[i] == nullptr) {
                PyErr_Clear();
                state_.store(empty, std::memory_order_release);
                return nullptr;
            }
        }
        state_.store(ready, std::memory_order_release);
        return objects_.data();
    }

private:
    static constexpr int empty = 0, filling = 1, ready = 2;
    std::atomic<int> state_{empty};
    std::array<PyObject*, N> objects_{};
};

// The index of `object` among the interned `names` by identity alone, or N (also while they are not
// available); `object` may be of any type.
template <std::size_t N>
std::size_t find_interned(PyObject* object, const std::array<std::string_view, N>& names, InternedTexts<N>& cache) {
    if (PyObject* const* objects = cache.get(names))
        for (std::size_t i = 0; i < N; ++i)
            if (objects[i] == object) return i;
    return N;
}

}  // namespace py
