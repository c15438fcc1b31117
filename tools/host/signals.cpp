#include "tools/host/signals.h"

#include <cmath>
#include <numbers>

namespace tolvane::host {

const char* toString(SignalKind kind) {
    switch (kind) {
        case SignalKind::Sine: return "sine";
        case SignalKind::Noise: return "noise";
        case SignalKind::Silence: return "silence";
        case SignalKind::Counter: return "counter";
    }
    return "?";
}

SignalGenerator::SignalGenerator(const SignalShape& shape, double sampleRate, std::uint64_t seed)
    : shape_(shape), sampleRate_(sampleRate > 0.0 ? sampleRate : 44100.0),
      noiseState_(seed != 0 ? seed : 0x9E3779B97F4A7C15ull) {}

float SignalGenerator::nextNoise() {
    // xorshift64*: cheap, deterministic for a seed, good enough for test noise.
    noiseState_ ^= noiseState_ >> 12;
    noiseState_ ^= noiseState_ << 25;
    noiseState_ ^= noiseState_ >> 27;
    const std::uint64_t bits = noiseState_ * 0x2545F4914F6CDD1Dull;
    const double unit = static_cast<double>(bits >> 11) * (1.0 / 9007199254740992.0);  // [0, 1)
    return static_cast<float>((unit * 2.0 - 1.0) * shape_.amplitude);
}

void SignalGenerator::fill(float* const* buffers, int channels, int frames) {
    if (frames <= 0) return;
    switch (shape_.kind) {
        case SignalKind::Silence:
            for (int c = 0; c < channels; ++c) {
                if (buffers[c] == nullptr) continue;
                for (int i = 0; i < frames; ++i) buffers[c][i] = 0.0f;
            }
            break;
        case SignalKind::Counter:
            for (int c = 0; c < channels; ++c) {
                if (buffers[c] == nullptr) continue;
                for (int i = 0; i < frames; ++i) buffers[c][i] = counterSample(position_ + i, c);
            }
            break;
        case SignalKind::Sine: {
            const double step = shape_.frequencyHz / sampleRate_;
            for (int i = 0; i < frames; ++i) {
                const auto value = static_cast<float>(shape_.amplitude * std::sin(2.0 * std::numbers::pi * phase_));
                for (int c = 0; c < channels; ++c) {
                    if (buffers[c] != nullptr) buffers[c][i] = value;
                }
                phase_ += step;
                phase_ -= std::floor(phase_);
            }
            break;
        }
        case SignalKind::Noise:
            // Each channel gets its own noise, drawn frame by frame so that the result does not
            // depend on the block size.
            for (int i = 0; i < frames; ++i) {
                for (int c = 0; c < channels; ++c) {
                    const float value = nextNoise();
                    if (buffers[c] != nullptr) buffers[c][i] = value;
                }
            }
            break;
    }
    position_ += frames;
}

}  // namespace tolvane::host
