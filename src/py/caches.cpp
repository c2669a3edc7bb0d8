// Process-wide caches. A thread that finds a cache empty lets go of the interpreter lock while it waits,
// so a thread that is filling the cache (and may itself need the lock, e.g. for an import) can finish.
#include "caches.hpp"

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

#include "error.hpp"
#include "guard.hpp"

namespace py {

namespace {

struct OnceCache {
    std::once_flag flag;
    std::atomic<PyObject*> object{nullptr};
    // The thread running the initialisation, while it runs.
    std::atomic<std::thread::id> filler{};
};

// A thread that the interpreter ends while it waits or fills rests (see thread_exit.hpp).
// Any other thread waiting for the same cache proceeds: leaving call_once by the unwind left the cache
// unfilled. The unwind is caught only while no other exception is being handled: the C++ runtime cannot
// stack it on another and terminates the process.
template <class Make>
PyObject* fill_once(OnceCache& cache, Make make) {
    if (PyObject* ready = cache.object.load(std::memory_order_acquire)) return ready;
    // Python code that the initialisation runs (an import hook, say) may call into the module and need
    // the same cache on the same thread: waiting for its own initialisation, the thread would hang.
    if (cache.filler.load(std::memory_order_relaxed) == std::this_thread::get_id())
        throw InternalFailure("a process-wide cache was needed while this thread was filling it");
    PyThreadState* state = PyEval_SaveThread();
    std::exception_ptr failure;
    try {
        std::call_once(cache.flag, [&] {
            PyEval_RestoreThread(state);
            cache.filler.store(std::this_thread::get_id(), std::memory_order_relaxed);
            try {
                cache.object.store(make(), std::memory_order_release);
            } catch (...) {
                cache.filler.store(std::thread::id(), std::memory_order_relaxed);
                // Python code in make() that was ended holds no lock to give up.
                if (!handling_thread_exit()) state = PyEval_SaveThread();
                throw;
            }
            cache.filler.store(std::thread::id(), std::memory_order_relaxed);
            state = PyEval_SaveThread();
        });
    } catch (...) {
        if (handling_thread_exit()) rest_until_exit();
        failure = std::current_exception();
    }
    take_lock_back(state);
    if (failure) std::rethrow_exception(failure);
    return cache.object.load(std::memory_order_acquire);
}

OnceCache panic_cache;
OnceCache sequence_cache;

constexpr const char* panic_doc =
    "The exception raised when fpscope's native code fails an internal invariant.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it is not swallowed\n"
    "by `except Exception` and typically propagates all the way up and ends the interpreter.";

OnceCache name_caches[4];
constexpr const char* name_texts[4] = {"add_note", "__qualname__", "__name__", "__all__"};

}  // namespace

std::string utf8_of(PyObject* text) {
    // Text that cannot be encoded strictly (lone surrogates) is still shown, with escapes.
    PyObject* bytes = PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace");
    if (bytes == nullptr) {
        PyErr_Clear();
        return std::string();
    }
    std::string out(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
    Py_DECREF(bytes);
    return out;
}

PyObject* interned(Name name) {
    const auto i = static_cast<std::size_t>(name);
    return fill_once(name_caches[i], [i] { return checked(PyUnicode_InternFromString(name_texts[i])); });
}

std::string pending_error_text() {
    FetchedError error = fetch_normalised();
    std::string text;
    if (error.value) {
        if (PyObject* s = exit_safe([&error] { return PyObject_Str(error.value.get()); })) {
            text = utf8_of(s);
            Py_DECREF(s);
        }
    }
    PyErr_Clear();
    return text;
}

PyObject* panic_exception_class() {
    return fill_once(panic_cache, [] {
        return checked(
            PyErr_NewExceptionWithDoc("fpscope._core.PanicException", panic_doc, PyExc_BaseException, nullptr));
    });
}

PyObject* panic_exception_class_if_made() { return panic_cache.object.load(std::memory_order_acquire); }

PyObject* sequence_class() {
    return fill_once(sequence_cache, [] {
        // No reference of ours is live during the import, which runs Python code: a thread ended there at
        // shutdown unwinds through this function without the interpreter lock (see rest_until_exit).
        Owned module(PyImport_ImportModule("collections.abc"));
        if (module.get() == nullptr) {
            PyErr_Clear();
            throw InternalFailure("could not import collections.abc");
        }
        PyObject* cls = PyObject_GetAttrString(module.get(), "Sequence");
        if (cls == nullptr || !PyType_Check(cls)) {
            PyErr_Clear();
            Py_XDECREF(cls);
            throw InternalFailure("collections.abc.Sequence is missing or not a class");
        }
        return cls;
    });
}

}  // namespace py
