// Counts heap allocations, so that a test or a benchmark can show that a path allocates nothing.
// Linking the support replaces the global operator new and delete of the whole program (every
// form the library may pair with another, all over malloc and free); they count while counting
// is on. A plug-in module loaded on Linux shares them; on Windows each module keeps its own.
#pragma once

#include <cstdint>

// Turns counting on (from zero) or off.
void countAllocations(bool on);
// Allocations counted since counting was last turned on.
std::int64_t allocationsCounted();
