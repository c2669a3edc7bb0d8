// Refusing results that could not exist in this machine's memory, before anything is allocated.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <limits>

namespace py {

// What one element of a result list costs once it is a Python object: the list's pointer to it and
// the object itself (a float or a small int takes 24 to 32 bytes after the allocator's rounding).
inline constexpr std::uint64_t python_element_bytes = 8 + 32;

// Total physical memory; the largest value when the system cannot tell, so that only the allocator
// decides then.
inline std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::uint64_t>::max();
    const auto p = static_cast<std::uint64_t>(pages), s = static_cast<std::uint64_t>(page_size);
    return p > std::numeric_limits<std::uint64_t>::max() / s ? std::numeric_limits<std::uint64_t>::max() : p * s;
}

// How many elements of `element_bytes` each fit in physical memory. A result larger than that is refused
// up front: trying it would drive the machine into swapping or the out-of-memory killer long before an
// allocation fails.
inline std::uint64_t elements_in_memory(std::uint64_t element_bytes) {
    return physical_memory_bytes() / element_bytes;
}

// Whether a result of `count` elements, each held natively in `native_bytes` and then as one Python
// object in a list, fits in physical memory.
inline bool fits_in_memory(std::uint64_t count, std::uint64_t native_bytes) {
    return count <= elements_in_memory(native_bytes + python_element_bytes);
}

}  // namespace py
