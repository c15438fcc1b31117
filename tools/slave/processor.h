// The reference slave's processors: what turns one block of input audio and events into output
// audio and events. The slave's command handling owns the block and calls one processor; the
// interface is kept small so that hosting a real plug-in can become one more processor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "frame/vst_abi.h"
#include "link/slave_block.h"

// The packed records the master left in masterEvents for this block. `bytes` has already been
// bounded to the area (0 .. kMaxEventBytes); walk the records with PackedEventReader. A SysEx
// event's data points into the area and is valid during process() only.
struct SlaveEventsIn {
    std::uint8_t* area = nullptr;
    std::int32_t bytes = 0;
};

// Appends packed records to slaveEvents (tag 0). A record that does not fit is refused and the
// area is left as it was, exactly as the master's own packing behaves.
class CSlaveEventsOut {
public:
    CSlaveEventsOut(std::uint8_t* area, std::int32_t* count) : area(area), count(count) {}
    // [audio thread] No allocation; copies the record's bytes only.
    bool add(const VstEvent* event) { return packEventRecord(0, event, area, count); }
    std::int32_t bytes() const { return *count; }

private:
    std::uint8_t* area;
    std::int32_t* count;
};

// The audio of one block. Every pointer addresses `frames` samples inside the block's sample
// areas; inputs[i] is valid for i < numInputs and outputs[o] for o < numOutputs. A processor
// writes every sample of every output channel.
struct SlaveAudio {
    const float* const* inputs = nullptr;
    std::int32_t numInputs = 0;
    float* const* outputs = nullptr;
    std::int32_t numOutputs = 0;
    std::int32_t frames = 0;
};

// Stable numbers of the processor kinds; the GetInfo answer carries them.
enum class ProcessorKind : std::uint8_t { PassThrough = 1, Gain = 2, Sine = 3, Echo = 4, Plugin = 5 };
const char* toString(ProcessorKind kind);

class CProcessor {
public:
    virtual ~CProcessor() = default;

    virtual ProcessorKind kind() const = 0;
    // A short human-readable description for the status line ("gain -6.0 dB").
    virtual std::string describe() const = 0;

    // [dispatch thread] Called after every SetIo, SetSampleRate and SetBlockSize with the
    // values in force (rate > 0, 1 <= maxBlockFrames, inputs 0..16,
    // outputs 1..16). May allocate.
    virtual void prepare(float sampleRate, std::int32_t maxBlockFrames, std::int32_t numInputs,
                         std::int32_t numOutputs) = 0;
    // [audio thread] No allocation, no locks, no I/O. `time` is the record found
    // in args; the master leaves args unchanged when its host gave no time information, so it
    // is a hint, not a guarantee.
    virtual void process(const SlaveAudio& audio, const VstTimeInfo& time, const SlaveEventsIn& eventsIn,
                         CSlaveEventsOut& eventsOut) = 0;
    // [dispatch thread] Forgets all running state (phase, held notes); Start, Stop and Resume.
    virtual void reset() = 0;
    // [dispatch thread] The master's Start, Stop, Suspend or Resume, after the slave's settings
    // have taken it. A processor that follows the master's transport (a hosted plug-in is
    // suspended, resumed or reopened) overrides this; by default Start, Stop and Resume reset.
    virtual void transport(SlaveCommand command) {
        if (command != kCmdSuspend) reset();
    }
};

// Builds a processor from its command-line form: "passthrough", "gain:DB", "sine:HZ" or "echo".
// Null with a message in `error` when the text names none or its number is out of range.
std::unique_ptr<CProcessor> makeProcessor(std::string_view choice, std::string& error);

// Limits of the command-line numbers.
constexpr double kMinGainDb = -120.0;
constexpr double kMaxGainDb = 40.0;
constexpr double kMaxSineHz = 100000.0;
constexpr float kSineAmplitude = 0.25f;  // -12 dBFS
