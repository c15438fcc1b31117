// malloc, calloc and realloc of the benchmark process (the executable exports them, so the
// dlopen'ed plug-in's calls land here too) count themselves and go on to glibc's own.
#include <atomic>
#include <cstddef>

#include "bench/alloc_count.h"

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {
std::atomic<std::int64_t> allocations{0};
}

extern "C" void* malloc(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

extern "C" void* calloc(std::size_t count, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

extern "C" void* realloc(void* pointer, std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}

std::int64_t allocationCount() { return allocations.load(); }
