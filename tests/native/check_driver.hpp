// The parts shared by the long check programs: command-line numbers, a parallel loop over an index range,
// and a tally of mismatches that prints the first few.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace check {

// Value of "--name N" in argv, or fallback.
inline std::uint64_t option(int argc, char** argv, const char* name, std::uint64_t fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0) return std::strtoull(argv[i + 1], nullptr, 0);
    return fallback;
}

inline unsigned threads(int argc, char** argv) {
    const unsigned hw = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<unsigned>(option(argc, argv, "--threads", hw));
}

// Calls body(begin, end) for consecutive chunks covering [0, n), spread over the given number of threads.
template <class Body>
void parallel_chunks(std::uint64_t n, unsigned thread_count, Body body) {
    constexpr std::uint64_t chunk = 1 << 16;
    std::atomic<std::uint64_t> next{0};
    auto worker = [&] {
        for (;;) {
            const std::uint64_t start = next.fetch_add(chunk);
            if (start >= n) return;
            const std::uint64_t end = std::min(n, start + chunk);
            body(start, end);
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < thread_count; ++t) pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool) t.join();
}

class Tally {
public:
    void fail(const std::string& what) {
        const std::uint64_t n = failures_.fetch_add(1);
        if (n < 20) {
            std::lock_guard<std::mutex> lock(print_);
            std::fprintf(stderr, "MISMATCH %s\n", what.c_str());
        }
    }
    std::uint64_t failures() const { return failures_.load(); }

private:
    std::atomic<std::uint64_t> failures_{0};
    std::mutex print_;
};

// Reports seen, by kind: counted per chunk, then merged into a shared total under a lock.
struct Counts {
    std::uint64_t exact = 0, inexact = 0, none = 0;
    template <class Report>
    void add(const Report& r) {
        ++(r ? (r->exact ? exact : inexact) : none);
    }
    void merge(const Counts& other, std::mutex& lock) {
        std::lock_guard<std::mutex> hold(lock);
        exact += other.exact;
        inexact += other.inexact;
        none += other.none;
    }
    void print(const char* name) const {
        std::printf("%s: %llu inexact reports, %llu exact, %llu without report\n", name,
                    static_cast<unsigned long long>(inexact), static_cast<unsigned long long>(exact),
                    static_cast<unsigned long long>(none));
    }
};

class Stopwatch {
public:
    double seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace check
