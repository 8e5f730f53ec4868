#include "server/leases/tests/allocation_failure.h"

#include <cstdlib>
#include <new>

namespace tolmark::testing {

bool failLargeAllocations = false;

}  // namespace tolmark::testing

// Kept in a file of their own so that the compiler never sees these replacements inlined next
// to the code that calls them.
void* operator new(std::size_t size) {
    if (tolmark::testing::failLargeAllocations && size >= 400) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t align) {
    if (tolmark::testing::failLargeAllocations && size >= 400) throw std::bad_alloc();
    const auto alignment = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment)) return p;
    throw std::bad_alloc();
}

void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }

void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

void operator delete(void* p) noexcept { std::free(p); }

void operator delete(void* p, std::size_t) noexcept { std::free(p); }
