// Replaces the global allocation functions so that a benchmark can see whether the code it measures
// touches the heap. Counts per thread: the unit's server threads allocate on their own.
#include "alloc_count.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {
thread_local std::uint64_t allocations = 0;

void* Allocate(std::size_t size, std::size_t alignment) {
    ++allocations;
    if (size == 0) size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else {
        size = (size + alignment - 1) / alignment * alignment;
        p = std::aligned_alloc(alignment, size);
    }
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
}  // namespace

namespace zelbench {
std::uint64_t ThreadAllocations() { return allocations; }
}  // namespace zelbench

void* operator new(std::size_t size) { return Allocate(size, alignof(std::max_align_t)); }
void* operator new[](std::size_t size) { return Allocate(size, alignof(std::max_align_t)); }
void* operator new(std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
