#include "tools/slave/slave_core.h"

#include <algorithm>
#include <cmath>
#include <cstring>

static_assert(sizeof(VstTimeInfo) == 88 && sizeof(VstTimeInfo) <= kArgsSize);

namespace {

// The master may write the block at any time; each field is read exactly once, so that a bound
// checked on a value is the bound of the value used.
template <class T>
T readOnce(const T& field) {
    return *static_cast<const volatile T*>(&field);
}

std::int32_t argInt(const SlaveBlock& block, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, block.args + offset, sizeof value);
    return value;
}

float argFloat(const SlaveBlock& block, std::size_t offset) {
    float value;
    std::memcpy(&value, block.args + offset, sizeof value);
    return value;
}

// An event count is trusted only inside its area's limits; anything else means the count is
// garbage, and so are the records, so none is taken.
std::int32_t boundedEventBytes(std::int32_t count) {
    return count >= 0 && count <= kMaxEventBytes ? count : 0;
}

}  // namespace

CSlaveCore::CSlaveCore(CProcessor& processor, std::int32_t slaveNumber)
    : processor(processor), slaveNumber(slaveNumber) {
    prepareProcessor();
}

void CSlaveCore::prepareProcessor() {
    processor.prepare(current.sampleRate, current.maxBlockFrames, current.numInputs, current.numOutputs);
}

std::int32_t CSlaveCore::handleCommand(SlaveBlock& block) {
    const std::int32_t code = readOnce(block.command);
    switch (code) {
    case kCmdSetIo:
        // args+8 and args+12 always carry 1 and mean nothing to this slave.
        current.numInputs = std::clamp(argInt(block, 0), 0, kMaxLinkChannels);
        current.numOutputs = std::clamp(argInt(block, 4), 1, kMaxLinkChannels);
        prepareProcessor();
        break;
    case kCmdSetSampleRate: {
        const float rate = argFloat(block, 0);
        if (std::isfinite(rate) && rate > 0.0f && rate <= kMaxSampleRate) {
            current.sampleRate = rate;
            prepareProcessor();
        }
        break;
    }
    case kCmdSetBlockSize:
        current.maxBlockFrames = std::clamp(argInt(block, 0), 1, kSampleAreaSamples);
        prepareProcessor();
        break;
    case kCmdGetInfo: {
        std::uint8_t answer[12];
        std::memcpy(answer, kInfoId, 4);
        answer[4] = kToolVersionMajor;
        answer[5] = kToolVersionMinor;
        answer[6] = static_cast<std::uint8_t>(processor.kind());
        answer[7] = static_cast<std::uint8_t>(current.numOutputs);
        std::memcpy(answer + 8, &slaveNumber, 4);
        std::memcpy(block.args, answer, sizeof answer);
        break;  // command stays at kCmdGetInfo: the master takes the answer only then
    }
    case kCmdStart:
        current.started = true;
        processor.transport(kCmdStart);
        break;
    case kCmdStop:
        // The master is going away (or moving to another slave); this slave keeps serving the
        // block for the next master, starting from a clean processor.
        current.started = false;
        processor.transport(kCmdStop);
        break;
    case kCmdSuspend:
        current.suspended = true;
        processor.transport(kCmdSuspend);
        break;
    case kCmdResume:
        current.suspended = false;
        processor.transport(kCmdResume);
        break;
    case kCmdProcess:
        process(block);
        break;
    default:
        break;  // kCmdNone and unknown codes: answered by the wake-up alone
    }
    return code;
}

void CSlaveCore::process(SlaveBlock& block) {
    // The stride comes from the blockSize field, as the master computes it for its copies.
    const std::int32_t frameField = std::max(readOnce(block.blockSize), 0);
    const std::int64_t stride = channelStrideSamples(frameField);
    // Channels that lie wholly inside a sample area at that stride (none when one channel is
    // already too long for it).
    const std::int32_t fit =
        stride > 0 ? static_cast<std::int32_t>(std::min<std::int64_t>(kSampleAreaSamples / stride, kMaxLinkChannels))
                   : kMaxLinkChannels;
    const std::int32_t numInputs = std::min(std::clamp(readOnce(block.numInputs), 0, kMaxLinkChannels), fit);
    const std::int32_t numOutputs = std::min(current.numOutputs, fit);
    const bool audioPresent = frameField > 0 && fit > 0;

    const float* inputs[kMaxLinkChannels];
    float* outputs[kMaxLinkChannels];
    SlaveAudio audio;  // no frames: no channels for the processor to touch
    if (audioPresent) {
        for (std::int32_t i = 0; i < numInputs; ++i) inputs[i] = channelStart(block.inputs, frameField, i, numInputs);
        for (std::int32_t o = 0; o < numOutputs; ++o) outputs[o] = channelStart(block.outputs, frameField, o, numOutputs);
        audio = SlaveAudio{inputs, numInputs, outputs, numOutputs, frameField};
    }

    VstTimeInfo time;
    std::memcpy(&time, block.args, sizeof time);

    const SlaveEventsIn eventsIn{block.masterEvents, boundedEventBytes(loadEventCount(block.masterEventBytes))};
    std::int32_t outBytes = boundedEventBytes(loadEventCount(block.slaveEventBytes));
    CSlaveEventsOut eventsOut(block.slaveEvents, &outBytes);

    processor.process(audio, time, eventsIn, eventsOut);

    // The records are taken: the master only ever appends, so the area must be emptied here.
    storeEventCount(block.masterEventBytes, 0);
    storeEventCount(block.slaveEventBytes, outBytes);
    block.numOutputs = numOutputs;
    ++current.blocksProcessed;
}
