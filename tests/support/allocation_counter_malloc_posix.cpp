// The allocation counter over the C allocator, for programs built without sanitizers on Linux:
// the program exports malloc, calloc and realloc, so every allocation of the process lands here
// (operator new, the C library's own, a dlopen'ed plug-in's), counts itself and goes on to
// glibc's allocator. The benchmarks use it; the sanitized tests count operator new instead, since
// a sanitizer owns malloc.
#include <atomic>
#include <cstddef>

#include "tests/support/allocation_counter.h"

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {

std::atomic<bool> counting{false};
std::atomic<std::int64_t> allocations{0};

void note() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

extern "C" void* malloc(std::size_t size) {
    note();
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    note();
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
    note();
    return __libc_realloc(pointer, size);
}

void countAllocations(bool on) {
    if (on) allocations.store(0);
    counting.store(on);
}

std::int64_t allocationsCounted() { return allocations.load(); }
