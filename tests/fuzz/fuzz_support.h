// Small helpers shared by the fuzz targets: reading values off the fuzzer's input and marking
// memory that the code under test must not touch.
#pragma once

#include <sanitizer/asan_interface.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Consumes the fuzzer's input front to back; reads past its end give zeros.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

    std::size_t remaining() const { return size - position; }

    void take(void* out, std::size_t bytes) {
        std::memset(out, 0, bytes);
        const std::size_t n = bytes < remaining() ? bytes : remaining();
        std::memcpy(out, data + position, n);
        position += n;
    }
    template <typename T> T value() {
        T out;
        take(&out, sizeof out);
        return out;
    }
    const std::uint8_t* rest() const { return data + position; }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t position = 0;
};

// Reports a broken promise of the code under test; libFuzzer saves the input that caused it.
#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

// Any access to [begin, begin + bytes) is reported by AddressSanitizer until unpoisoned.
inline void forbid(const void* begin, std::size_t bytes) { ASAN_POISON_MEMORY_REGION(begin, bytes); }
inline void allow(const void* begin, std::size_t bytes) { ASAN_UNPOISON_MEMORY_REGION(begin, bytes); }
