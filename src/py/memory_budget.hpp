// Refusing results that could not exist in this machine's free memory, before anything is allocated.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <limits>

namespace py {

// What one element of a result list costs once it is a Python object: the list's pointer to it and
// the object itself (a float or a small int takes 24 to 32 bytes after the allocator's rounding).
inline constexpr std::uint64_t python_element_bytes = 8 + 32;

// Results up to this size are admitted without asking the system, which costs more than building them.
inline constexpr std::uint64_t unquestioned_bytes = std::uint64_t{64} << 20;

// Memory the process could still have without swapping: the kernel's estimate of available memory (free
// pages plus reclaimable caches) where it gives one, else the free pages; the largest value when the
// system cannot tell, so that only the allocator decides then.
inline std::uint64_t available_memory_bytes() {
    if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[128];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, meminfo) != nullptr)
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(meminfo);
        if (found) return kib > std::numeric_limits<std::uint64_t>::max() / 1024 ? std::numeric_limits<std::uint64_t>::max()
                                                                                 : std::uint64_t{kib} * 1024;
    }
    const long pages = sysconf(_SC_AVPHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
    const auto p = static_cast<std::uint64_t>(pages), s = static_cast<std::uint64_t>(page_size);
    return p > std::numeric_limits<std::uint64_t>::max() / s ? std::numeric_limits<std::uint64_t>::max() : p * s;
}

// How many elements of `element_bytes` each a result may hold. A larger result is refused up front:
// trying it would drive the machine into swapping or the out-of-memory killer long before an allocation
// fails. The system is asked only once a result grows past the unquestioned size, and then once.
class ElementBudget {
public:
    explicit ElementBudget(std::uint64_t element_bytes)
        : element_bytes_(element_bytes), admitted_(unquestioned_bytes / element_bytes) {}

    bool admits(std::uint64_t count) {
        if (count <= admitted_) return true;
        if (!asked_) {
            asked_ = true;
            const std::uint64_t available = available_memory_bytes() / element_bytes_;
            if (available > admitted_) admitted_ = available;
        }
        return count <= admitted_;
    }

private:
    std::uint64_t element_bytes_;
    std::uint64_t admitted_;
    bool asked_ = false;
};

// Whether a result of `count` elements, each held natively in `native_bytes` and then as one Python
// object in a list, fits in available memory.
inline bool fits_in_memory(std::uint64_t count, std::uint64_t native_bytes) {
    return ElementBudget(native_bytes + python_element_bytes).admits(count);
}

}  // namespace py
