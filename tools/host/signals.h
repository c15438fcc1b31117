// Generated input signals for the host's process loop.
#pragma once

#include <cstdint>

#include "tools/host/counter_signal.h"

namespace tolvane::host {

enum class SignalKind { Sine, Noise, Silence, Counter };

const char* toString(SignalKind kind);

struct SignalShape {
    SignalKind kind = SignalKind::Sine;
    double frequencyHz = 440.0;  // sine
    double amplitude = 0.5;      // sine and noise
};

// Fills channel buffers block by block. The same instance must be asked for consecutive blocks;
// it keeps the phase, the noise state and the frame position. Allocates nothing.
class SignalGenerator {
public:
    SignalGenerator(const SignalShape& shape, double sampleRate, std::uint64_t seed);

    // Writes `frames` samples into each of the `channels` buffers (null buffers are skipped) and
    // advances by `frames`.
    void fill(float* const* buffers, int channels, int frames);
    std::int64_t position() const { return position_; }

private:
    float nextNoise();

    SignalShape shape_;
    double sampleRate_;
    double phase_ = 0.0;  // cycles, kept in [0, 1)
    std::uint64_t noiseState_;
    std::int64_t position_ = 0;
};

}  // namespace tolvane::host
