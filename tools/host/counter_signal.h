// The "counter" test signal: every sample carries its own frame index and channel number, exactly
// representable in float32, so that an end-to-end test can check that audio arrives sample-exact
// (no frame lost, repeated or shifted, no channel swapped) after any number of hops.
//
// Sample value = code * 2^-24 with code = (frameIndex mod 2^20) * 16 + (channel mod 16). Codes
// are below 2^24, so every value is an exact float in [0, 1), a power-of-two gain keeps it exact,
// and the frame index repeats only every 1048576 frames (about 23 s at 44.1 kHz).
// Header-only, so that test plug-ins and the slave can use it without linking the host.
#pragma once

#include <cmath>
#include <cstdint>

namespace tolvane::host {

inline constexpr int kCounterChannelBits = 4;
inline constexpr int kCounterIndexBits = 20;
inline constexpr std::int64_t kCounterPeriodFrames = std::int64_t{1} << kCounterIndexBits;
inline constexpr double kCounterScale = 16777216.0;  // 2^24

constexpr float counterSample(std::int64_t frameIndex, int channel) noexcept {
    const auto index = static_cast<std::uint32_t>(frameIndex & (kCounterPeriodFrames - 1));
    const auto code = (index << kCounterChannelBits) | (static_cast<std::uint32_t>(channel) & 15u);
    return static_cast<float>(code) * static_cast<float>(1.0 / kCounterScale);
}

struct CounterCode {
    bool valid = false;
    std::int64_t frameIndex = 0;  // modulo kCounterPeriodFrames
    int channel = 0;
};

// The code carried by one sample; invalid for anything counterSample cannot produce.
inline CounterCode decodeCounterSample(float value) noexcept {
    const double scaled = static_cast<double>(value) * kCounterScale;
    if (!(scaled >= 0.0) || scaled >= kCounterScale || std::floor(scaled) != scaled) return {};
    const auto code = static_cast<std::uint32_t>(scaled);
    return {true, static_cast<std::int64_t>(code >> kCounterChannelBits), static_cast<int>(code & 15u)};
}

}  // namespace tolvane::host
