// Counts heap allocations made by the whole process, so that the benchmark can show that the
// plug-in's processing path allocates nothing. Linux interposes malloc and its relatives;
// Windows builds link everything statically into each module, so nothing can be interposed there
// and the count is reported as not measured.
#pragma once

#include <cstdint>

// Allocations so far, or -1 where they cannot be counted.
std::int64_t allocationCount();
