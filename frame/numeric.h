// Conversions of floating-point values that may come from a host into integers, defined for
// every input: NaN gives 0, values beyond the 64-bit range saturate. A plain cast of such a
// value is undefined behaviour.
#pragma once

#include <cmath>

#include "frame/vst_abi.h"

// Truncates toward zero, as a cast does for in-range values.
inline VstIntPtr truncateToIntPtr(double value) noexcept {
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double kLimit = 9223372036854775807.0;  // 2^63 as a double
    if (value >= kLimit) {
        return INT64_MAX;
    }
    if (value <= -kLimit) {
        return INT64_MIN;
    }
    return static_cast<VstIntPtr>(value);
}
