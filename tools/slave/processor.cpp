#include "tools/slave/processor.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

const char* toString(ProcessorKind kind) {
    switch (kind) {
    case ProcessorKind::PassThrough: return "passthrough";
    case ProcessorKind::Gain: return "gain";
    case ProcessorKind::Sine: return "sine";
    case ProcessorKind::Echo: return "echo";
    case ProcessorKind::Plugin: return "plugin";
    }
    return "unknown";
}

namespace {

// Input i to output i; outputs without an input are silent.
void passThrough(const SlaveAudio& audio, float factor) {
    const std::size_t frames = static_cast<std::size_t>(audio.frames);
    for (std::int32_t o = 0; o < audio.numOutputs; ++o) {
        float* out = audio.outputs[o];
        if (o < audio.numInputs) {
            const float* in = audio.inputs[o];
            if (factor == 1.0f) {
                std::memcpy(out, in, frames * sizeof(float));
            } else {
                for (std::size_t f = 0; f < frames; ++f) out[f] = in[f] * factor;
            }
        } else {
            std::memset(out, 0, frames * sizeof(float));
        }
    }
}

class CPassThrough : public CProcessor {
public:
    ProcessorKind kind() const override { return ProcessorKind::PassThrough; }
    std::string describe() const override { return "passthrough"; }
    void prepare(float, std::int32_t, std::int32_t, std::int32_t) override {}
    void process(const SlaveAudio& audio, const VstTimeInfo&, const SlaveEventsIn&, CSlaveEventsOut&) override {
        passThrough(audio, 1.0f);
    }
    void reset() override {}
};

class CGain : public CProcessor {
public:
    explicit CGain(double db) : db(db), factor(static_cast<float>(std::pow(10.0, db / 20.0))) {}
    ProcessorKind kind() const override { return ProcessorKind::Gain; }
    std::string describe() const override {
        char text[48];
        std::snprintf(text, sizeof text, "gain %+.1f dB", db);
        return text;
    }
    void prepare(float, std::int32_t, std::int32_t, std::int32_t) override {}
    void process(const SlaveAudio& audio, const VstTimeInfo&, const SlaveEventsIn&, CSlaveEventsOut&) override {
        passThrough(audio, factor);
    }
    void reset() override {}

private:
    double db;
    float factor;
};

// The same sine on every output; the phase runs on across blocks and restarts on reset.
class CSine : public CProcessor {
public:
    explicit CSine(double hz) : hz(hz) {}
    ProcessorKind kind() const override { return ProcessorKind::Sine; }
    std::string describe() const override {
        char text[48];
        std::snprintf(text, sizeof text, "sine %.2f Hz", hz);
        return text;
    }
    void prepare(float sampleRate, std::int32_t, std::int32_t, std::int32_t) override {
        // Reduced to one turn so that a single subtraction keeps the phase in [0, 2 pi).
        step = std::fmod(2.0 * std::numbers::pi * hz / static_cast<double>(sampleRate), 2.0 * std::numbers::pi);
    }
    void process(const SlaveAudio& audio, const VstTimeInfo&, const SlaveEventsIn&, CSlaveEventsOut&) override {
        if (audio.numOutputs <= 0) return;
        float* first = audio.outputs[0];
        for (std::int32_t f = 0; f < audio.frames; ++f) {
            first[f] = kSineAmplitude * static_cast<float>(std::sin(phase));
            phase += step;
            if (phase >= 2.0 * std::numbers::pi) phase -= 2.0 * std::numbers::pi;
        }
        const std::size_t bytes = static_cast<std::size_t>(audio.frames) * sizeof(float);
        for (std::int32_t o = 1; o < audio.numOutputs; ++o) std::memcpy(audio.outputs[o], first, bytes);
    }
    void reset() override { phase = 0.0; }

private:
    double hz;
    double step = 0.0;
    double phase = 0.0;
};

// Audio passes through; every MIDI and SysEx event that came in goes back out unchanged, in
// order, until the outgoing area is full.
class CEcho : public CProcessor {
public:
    ProcessorKind kind() const override { return ProcessorKind::Echo; }
    std::string describe() const override { return "echo (MIDI and SysEx back, audio through)"; }
    void prepare(float, std::int32_t, std::int32_t, std::int32_t) override {}
    void process(const SlaveAudio& audio, const VstTimeInfo&, const SlaveEventsIn& eventsIn,
                 CSlaveEventsOut& eventsOut) override {
        passThrough(audio, 1.0f);
        PackedEventReader reader(eventsIn.area, eventsIn.bytes);
        UnpackedEvent event;
        while (reader.next(event) && eventsOut.add(&event.event)) {
        }
    }
    void reset() override {}
};

// Parses the whole of `text` as a finite number.
bool parseNumber(std::string_view text, double& value) {
    if (text.empty() || text.size() > 63) return false;
    char buffer[64];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    char* end = nullptr;
    errno = 0;
    value = std::strtod(buffer, &end);
    return errno == 0 && end == buffer + text.size() && std::isfinite(value);
}

}  // namespace

std::unique_ptr<CProcessor> makeProcessor(std::string_view choice, std::string& error) {
    const std::size_t colon = choice.find(':');
    const std::string_view name = choice.substr(0, colon);
    const std::string_view number = colon == std::string_view::npos ? std::string_view{} : choice.substr(colon + 1);
    const bool hasNumber = colon != std::string_view::npos;

    if ((name == "passthrough" || name == "echo") && !hasNumber) {
        if (name == "echo") return std::make_unique<CEcho>();
        return std::make_unique<CPassThrough>();
    }
    if (name == "gain" && hasNumber) {
        double db = 0.0;
        if (parseNumber(number, db) && db >= kMinGainDb && db <= kMaxGainDb) return std::make_unique<CGain>(db);
        error = "gain needs a level in dB from -120 to +40, e.g. gain:-6";
        return nullptr;
    }
    if (name == "sine" && hasNumber) {
        double hz = 0.0;
        if (parseNumber(number, hz) && hz > 0.0 && hz <= kMaxSineHz) return std::make_unique<CSine>(hz);
        error = "sine needs a frequency in Hz above 0 and up to 100000, e.g. sine:440";
        return nullptr;
    }
    error = "unknown processor '" + std::string(choice) + "' (choose passthrough, gain:DB, sine:HZ or echo)";
    return nullptr;
}
