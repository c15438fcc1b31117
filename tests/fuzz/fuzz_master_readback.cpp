// The master's read-back from a block the slave filled: CTolvane::copyOutputs,
// CTolvane::forwardSlaveEvents and the asynchronous processing call with its position poll, over a
// block whose slave-written fields (numOutputs, blockSize, slaveEventBytes, the event records,
// the attach byte) the fuzzer writes, with any pin counts and host frame count.
//
// The block is a heap block of exactly the shared block's size laid in for the channel's view,
// so reading past its end is reported. While the master reads, the bytes it may not read are
// poisoned: the event area at and past the count, and the output area beyond the channels that
// both sides serve (all of it during the processing call, which reads no output). The host's
// buffers are exact-size heap blocks. The host checks every event it is handed (one per list, a
// SysEx dump inside the event area, read byte by byte), and every copied channel is compared
// with the block.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "bridge/tolvane.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/scratch.h"

namespace {

SlaveBlock* gBlock = nullptr;
std::uint64_t gSink = 0;

VstIntPtr VSTCALLBACK hostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    static VstTimeInfo time{};
    switch (opcode) {
    case audioMasterVersion: return 2400;
    case audioMasterCanDo: {
        const char* text = static_cast<const char*>(ptr);
        // Pin changes accepted (so no configuration dialog), asynchronous processing offered.
        return text && (std::strcmp(text, "acceptIOChanges") == 0 || std::strcmp(text, "asyncProcessing") == 0 ||
                        std::strcmp(text, "receiveVstEvents") == 0)
                   ? 1
                   : -1;
    }
    case audioMasterGetTime: return reinterpret_cast<VstIntPtr>(&time);
    case audioMasterProcessEvents: {
        const auto* list = static_cast<const VstEvents*>(ptr);
        FUZZ_CHECK(list && list->numEvents == 1 && list->events[0] && !list->events[1]);
        const VstEvent* event = list->events[0];
        FUZZ_CHECK(event->type == kVstMidiType || event->type == kVstSysExType);
        FUZZ_CHECK(event->deltaFrames >= 0);  // kept inside the host's block
        FUZZ_CHECK(event->byteSize >= 0 &&
                   event->byteSize <= (event->type == kVstSysExType ? VstInt32{sizeof(VstMidiSysexEvent)}
                                                                    : VstInt32{sizeof(VstMidiEvent)}));
        if (event->type == kVstSysExType) {
            const auto* sysex = reinterpret_cast<const VstMidiSysexEvent*>(event);
            const auto* dump = reinterpret_cast<const std::uint8_t*>(sysex->sysexDump);
            FUZZ_CHECK(sysex->dumpBytes >= 0);
            FUZZ_CHECK(dump >= gBlock->slaveEvents && dump + sysex->dumpBytes <= gBlock->slaveEvents + kMaxEventBytes);
            for (VstInt32 i = 0; i < sysex->dumpBytes; ++i) gSink += dump[i];  // poisoned bytes are reported
            FUZZ_CHECK(sysex->resvd1 == 0 && sysex->resvd2 == 0);
        }
        return 1;
    }
    default: return 0;
    }
}

struct Fixture {
    Fixture() {
        // A settings store of its own, never the user's.
        settingsFolder = makeScratchConfigHome("fuzz");
        identity = effectIdentity();
        identity.settingsKey = "Software\\Vantor\\TolvaneFuzzReadback";
        bridge = new CTolvane(hostCallback, identity);
        // Events of a slave number no one serves, so that no signal reaches a real slave.
        bridge->channel.openChannel(1900000000 + static_cast<std::int32_t>(getpid() % 100000));
        mappedBlock = bridge->channel.block;
        gBlock = static_cast<SlaveBlock*>(std::calloc(1, sizeof(SlaveBlock)));
        bridge->channel.block = gBlock;
        bridge->asyncDone = true;  // no block outstanding
    }
    // At the end of the run: the channel gets its own view back and closes it (the last user
    // removes the named objects), and the settings folder goes.
    ~Fixture() {
        bridge->channel.block = mappedBlock;
        delete bridge;
        std::free(gBlock);
        removeScratchFolder(settingsFolder);
    }
    std::string settingsFolder;
    DeliverableIdentity identity;
    CTolvane* bridge;
    SlaveBlock* mappedBlock;
};

Fixture* gFixture = nullptr;

Fixture& fixture() {
    if (!gFixture) {
        gFixture = new Fixture;
        std::atexit([] { delete gFixture; });
    }
    return *gFixture;
}

// The bytes of the output area the copy may read: `min(pins, numOutputs)` channels when the
// slave's set fits the area, none otherwise.
std::int64_t readableOutputSamples(std::int32_t pins, std::int32_t blockSize, std::int32_t numOutputs) {
    if (blockSize <= 0 || numOutputs <= 0 || !channelSetFits(blockSize, numOutputs)) return 0;
    return std::min(pins, numOutputs) * channelStrideSamples(blockSize);
}

void poisonOutputsBeyond(std::int64_t samples) {
    forbid(gBlock->outputs + samples, static_cast<std::size_t>(kSampleAreaSamples - samples) * sizeof(float));
}
void allowOutputs() { allow(gBlock->outputs, sizeof gBlock->outputs); }

void poisonEventsBeyond(std::int32_t count) {
    const std::int32_t readable = std::clamp(count, 0, kMaxEventBytes);
    forbid(gBlock->slaveEvents + readable, static_cast<std::size_t>(kEventAreaSize - readable));
}
void allowEvents() { allow(gBlock->slaveEvents, sizeof gBlock->slaveEvents); }

constexpr float kSentinel = -31337.0f;

struct HostBuffers {
    HostBuffers(int channels, std::int32_t frames, std::uint32_t nullMask) {
        const std::size_t room = frames > 0 ? static_cast<std::size_t>(frames) : 0;
        for (int c = 0; c < kMaxIoChannels; ++c) {
            const bool given = c < channels && !(nullMask >> c & 1) && room > 0;
            storage.emplace_back(given ? new float[room] : nullptr);
            if (given) std::fill(storage.back().get(), storage.back().get() + room, kSentinel);
            pointers[c] = storage.back().get();
        }
    }
    std::vector<std::unique_ptr<float[]>> storage;
    float* pointers[kMaxIoChannels];
};

// Every host channel is either the slave's channel (and silence after what the slave's block
// size covers) or untouched.
void checkCopy(const HostBuffers& host, std::int32_t pins, std::int32_t frames, std::int32_t blockSize,
               std::int32_t numOutputs) {
    const bool fits = blockSize > 0 && numOutputs > 0 && channelSetFits(blockSize, numOutputs);
    for (std::int32_t c = 0; c < pins; ++c) {
        const float* out = host.pointers[c];
        if (!out || frames <= 0) continue;
        if (fits && c < numOutputs) {
            const float* source = gBlock->outputs + c * channelStrideSamples(blockSize);
            const std::int32_t covered = std::min(frames, blockSize);
            FUZZ_CHECK(std::memcmp(out, source, static_cast<std::size_t>(covered) * sizeof(float)) == 0);
            for (std::int32_t i = covered; i < frames; ++i) FUZZ_CHECK(out[i] == 0.0f);
        } else {
            for (std::int32_t i = 0; i < frames; ++i) FUZZ_CHECK(out[i] == kSentinel);
        }
    }
}

// Host buffers of the larger sizes cost far more per input than the code under test, so they
// come up only now and then.
std::int32_t boundedFrames(std::int32_t raw, std::uint8_t shape) {
    switch (shape % 16) {
    case 0: return 44096 + (raw & 15);   // around the largest 16-channel block
    case 1: return raw & 0x1FFFF;        // up to 131071: larger than the area holds
    case 2:
    case 3:
    case 4: return raw & 7;              // tiny blocks and the stride's rounding
    default: return raw % 4097;          // a usual block, and negatives
    }
}

// A field value: as given, or near the edges that matter.
std::int32_t shaped(std::int32_t raw, std::uint8_t shape) {
    switch (shape % 4) {
    case 0: return raw;
    case 1: return raw & 31;                      // channel counts around 16
    case 2: return kMaxLinkFrames - 8 + (raw & 15);  // block sizes around 44100
    default: return kMaxEventBytes - 40 + (raw & 63);  // event counts around the area's end
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Fixture& f = fixture();
    CTolvane& bridge = *f.bridge;
    FuzzInput input(data, size);

    const auto shapes = input.value<std::uint32_t>();
    const auto pins = static_cast<std::int32_t>(1 + input.value<std::uint8_t>() % kMaxIoChannels);
    const auto inputs = static_cast<std::int32_t>(input.value<std::uint8_t>() % (kMaxIoChannels + 1));
    const std::int32_t frames = boundedFrames(input.value<std::int32_t>(), static_cast<std::uint8_t>(shapes >> 16));
    const std::int32_t numOutputs = shaped(input.value<std::int32_t>(), static_cast<std::uint8_t>(shapes >> 2));
    const std::int32_t blockSize = shaped(input.value<std::int32_t>(), static_cast<std::uint8_t>(shapes >> 4));
    const std::int32_t eventBytes = shaped(input.value<std::int32_t>(), static_cast<std::uint8_t>(shapes >> 6));
    const std::int32_t answerOutputs = shaped(input.value<std::int32_t>(), static_cast<std::uint8_t>(shapes >> 8));
    const std::int32_t answerBlockSize = shaped(input.value<std::int32_t>(), static_cast<std::uint8_t>(shapes >> 10));
    const auto nullMask = input.value<std::uint32_t>();
    const bool takesEvents = (shapes >> 12 & 1) != 0;
    const bool viaProcess = (shapes >> 13 & 1) != 0;
    const auto attached = input.value<std::uint8_t>();

    // The event records: the rest of the input, repeated over the area when it asks.
    std::memset(gBlock->slaveEvents, 0, sizeof gBlock->slaveEvents);
    const std::size_t pattern = std::min<std::size_t>(input.remaining(), kEventAreaSize);
    std::memcpy(gBlock->slaveEvents, input.rest(), pattern);
    if (pattern > 0 && (shapes >> 14 & 1)) {
        for (std::size_t filled = pattern; filled < kEventAreaSize; filled *= 2)
            std::memcpy(gBlock->slaveEvents + filled, gBlock->slaveEvents, std::min(filled, kEventAreaSize - filled));
    }
    for (std::int32_t i = 0; i < 64; ++i) gBlock->outputs[i] = static_cast<float>(i);
    for (std::int32_t i = kSampleAreaSamples - 64; i < kSampleAreaSamples; ++i) gBlock->outputs[i] = static_cast<float>(i);

    bridge.io.numInputs = inputs;
    bridge.io.numOutputs = pins;
    bridge.hostReceivesEvents = takesEvents;
    gBlock->numOutputs = numOutputs;
    gBlock->blockSize = blockSize;
    gBlock->slaveEventBytes = eventBytes;
    gBlock->masterEventBytes = 0;
    gBlock->slaveAttached = attached;

    if (!viaProcess) {
        // The reading operations on their own, as the synchronous block runs them after its wait.
        poisonEventsBeyond(eventBytes);
        FUZZ_CHECK(bridge.forwardSlaveEvents(frames) == takesEvents);
        allowEvents();

        HostBuffers host(pins, frames, nullMask);
        poisonOutputsBeyond(readableOutputSamples(pins, blockSize, numOutputs));
        bridge.copyOutputs(host.pointers, 0, frames);
        allowOutputs();
        checkCopy(host, pins, frames, blockSize, numOutputs);
        return static_cast<int>(gSink & 0);
    }

    // An asynchronous block: the processing call forwards what the slave left and starts the
    // block; the slave's answer (counts changed once more) is then collected by the position poll.
    bridge.connected = true;
    bridge.startPending = false;
    bridge.synchronous = false;
    bridge.channel.pollEvent(true);
    HostBuffers in(inputs, frames, nullMask >> 16);
    HostBuffers host(pins, frames, nullMask);
    poisonEventsBeyond(eventBytes);
    forbid(gBlock->outputs, sizeof gBlock->outputs);
    bridge.process(in.pointers, host.pointers, frames);
    allowOutputs();
    allowEvents();
    bridge.channel.pollEvent(true);  // the block's signal to the slave no one serves
    const bool started = !bridge.asyncDone;
    if (attached != 0 && frames >= 0 && eventBytes != 0) FUZZ_CHECK(gBlock->slaveEventBytes == 0);
    if (started) FUZZ_CHECK(gBlock->numInputs == inputs && bridge.asyncFrames == frames);

    gBlock->numOutputs = answerOutputs;
    const std::int32_t framesSent = gBlock->blockSize;
    gBlock->blockSize = answerBlockSize;  // changed under the master
    bridge.channel.signalEvent(false);    // the slave's answer
    poisonOutputsBeyond(readableOutputSamples(pins, answerBlockSize, answerOutputs));
    const VstInt32 position = bridge.reportCurrentPosition();
    allowOutputs();
    bridge.channel.waitEvent(0, nullptr);
    if (started) {
        FUZZ_CHECK(position == frames && framesSent == frames);
        checkCopy(host, pins, frames, answerBlockSize, answerOutputs);
    }
    bridge.asyncDone = true;  // the next input starts from a collected block
    return static_cast<int>(gSink & 0);
}
