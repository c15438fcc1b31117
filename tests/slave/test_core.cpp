// The slave's answers to every command, over a block in memory, and its bounds on what a faulty
// master may leave in the block.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <vector>

#include "tests/slave/slave_test_block.h"
#include "tools/slave/slave_core.h"

namespace {

// Records what the core hands to its processor; writes output o, frame f as 100*o + f.
class CRecordingProcessor : public CProcessor {
public:
    ProcessorKind kind() const override { return ProcessorKind::Gain; }
    std::string describe() const override { return "recording"; }
    void prepare(float rate, std::int32_t maxBlock, std::int32_t ins, std::int32_t outs) override {
        ++prepares;
        preparedRate = rate;
        preparedMaxBlock = maxBlock;
        preparedInputs = ins;
        preparedOutputs = outs;
    }
    void process(const SlaveAudio& audio, const VstTimeInfo& time, const SlaveEventsIn& in, CSlaveEventsOut&) override {
        ++processes;
        last = audio;  // its pointer arrays live only during this call: copied below
        inputs.assign(audio.inputs, audio.inputs + audio.numInputs);
        outputs.assign(audio.outputs, audio.outputs + audio.numOutputs);
        lastTime = time;
        lastEventBytes = in.bytes;
        firstInputs.clear();
        for (std::int32_t i = 0; i < audio.numInputs; ++i) firstInputs.push_back(audio.frames > 0 ? audio.inputs[i][0] : 0.0f);
        for (std::int32_t o = 0; o < audio.numOutputs; ++o)
            for (std::int32_t f = 0; f < audio.frames; ++f) audio.outputs[o][f] = static_cast<float>(100 * o + f);
    }
    void reset() override { ++resets; }

    int prepares = 0, processes = 0, resets = 0;
    float preparedRate = 0;
    std::int32_t preparedMaxBlock = 0, preparedInputs = 0, preparedOutputs = 0;
    SlaveAudio last;
    std::vector<const float*> inputs;
    std::vector<float*> outputs;
    VstTimeInfo lastTime{};
    std::int32_t lastEventBytes = -1;
    std::vector<float> firstInputs;
};

class SlaveCore : public ::testing::Test {
protected:
    std::unique_ptr<SlaveBlock> block = makeTestBlock();
    CRecordingProcessor processor;
    CSlaveCore core{processor, 7};

    std::int32_t send(std::int32_t code) {
        block->command = code;
        return core.handleCommand(*block);
    }
    void setIo(std::int32_t ins, std::int32_t outs) {
        putArgInt(*block, 0, ins);
        putArgInt(*block, 4, outs);
        putArgInt(*block, 8, 1);
        putArgInt(*block, 12, 1);
        send(kCmdSetIo);
    }
    // The audio header and input channel i filled with 1000*i + f, as the master's copy does.
    void processBlock(std::int32_t ins, std::int32_t frames) {
        block->numInputs = ins;
        block->blockSize = frames;
        const std::int64_t stride = channelStrideSamples(frames);
        for (std::int32_t i = 0; i < ins && i < kMaxLinkChannels && frames > 0 && channelSetFits(frames, ins); ++i)
            for (std::int32_t f = 0; f < frames; ++f) block->inputs[i * stride + f] = static_cast<float>(1000 * i + f);
        send(kCmdProcess);
    }
};

TEST_F(SlaveCore, KeepsConfigurationAndPreparesTheProcessorWithIt) {
    EXPECT_EQ(processor.prepares, 1);  // defaults, at construction
    EXPECT_EQ(processor.preparedOutputs, kDefaultOutputs);

    setIo(3, 5);
    putArgFloat(*block, 0, 48000.0f);
    send(kCmdSetSampleRate);
    putArgInt(*block, 0, 512);
    EXPECT_EQ(send(kCmdSetBlockSize), kCmdSetBlockSize);

    const SlaveSettings& s = core.settings();
    EXPECT_EQ(s.numInputs, 3);
    EXPECT_EQ(s.numOutputs, 5);
    EXPECT_EQ(s.sampleRate, 48000.0f);
    EXPECT_EQ(s.maxBlockFrames, 512);
    EXPECT_EQ(processor.prepares, 4);
    EXPECT_EQ(processor.preparedRate, 48000.0f);
    EXPECT_EQ(processor.preparedMaxBlock, 512);
    EXPECT_EQ(processor.preparedInputs, 3);
    EXPECT_EQ(processor.preparedOutputs, 5);
    EXPECT_EQ(block->command, kCmdSetBlockSize);  // the command field is the master's
}

TEST_F(SlaveCore, BoundsConfigurationValues) {
    setIo(-4, 99);
    EXPECT_EQ(core.settings().numInputs, 0);
    EXPECT_EQ(core.settings().numOutputs, 16);
    setIo(INT_MAX, 0);
    EXPECT_EQ(core.settings().numInputs, 16);
    EXPECT_EQ(core.settings().numOutputs, 1);
    setIo(2, INT_MIN);
    EXPECT_EQ(core.settings().numOutputs, 1);

    putArgInt(*block, 0, -5);
    send(kCmdSetBlockSize);
    EXPECT_EQ(core.settings().maxBlockFrames, 1);
    putArgInt(*block, 0, INT_MAX);
    send(kCmdSetBlockSize);
    EXPECT_EQ(core.settings().maxBlockFrames, kSampleAreaSamples);

    putArgFloat(*block, 0, 96000.0f);
    send(kCmdSetSampleRate);
    for (float bad : {0.0f, -44100.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                      1e9f}) {
        putArgFloat(*block, 0, bad);
        send(kCmdSetSampleRate);
        EXPECT_EQ(core.settings().sampleRate, 96000.0f) << bad;
    }
}

TEST_F(SlaveCore, GetInfoAnswersTwelveBytesAndLeavesTheCommand) {
    setIo(2, 6);
    std::memset(block->args, 0xEE, kArgsSize);
    EXPECT_EQ(send(kCmdGetInfo), kCmdGetInfo);
    EXPECT_EQ(block->command, kCmdGetInfo);
    EXPECT_EQ(std::memcmp(block->args, "TSLV", 4), 0);
    EXPECT_EQ(block->args[4], kToolVersionMajor);
    EXPECT_EQ(block->args[5], kToolVersionMinor);
    EXPECT_EQ(block->args[6], static_cast<std::uint8_t>(ProcessorKind::Gain));
    EXPECT_EQ(block->args[7], 6);
    EXPECT_EQ(argInt(*block, 8), 7);  // the slave number
    for (int i = 12; i < kArgsSize; ++i) ASSERT_EQ(block->args[i], 0xEE) << i;  // nothing past the answer
}

TEST_F(SlaveCore, StartStopSuspendResumeTrackStateAndResetTheProcessor) {
    send(kCmdStart);
    EXPECT_TRUE(core.settings().started);
    EXPECT_EQ(processor.resets, 1);
    send(kCmdSuspend);
    EXPECT_TRUE(core.settings().suspended);
    EXPECT_EQ(processor.resets, 1);
    send(kCmdResume);
    EXPECT_FALSE(core.settings().suspended);
    EXPECT_EQ(processor.resets, 2);
    send(kCmdStop);
    EXPECT_FALSE(core.settings().started);
    EXPECT_EQ(processor.resets, 3);
    // Still serving after Stop: a later master's blocks are processed.
    processBlock(1, 4);
    EXPECT_EQ(processor.processes, 1);
}

TEST_F(SlaveCore, UnknownCommandsChangeNothingInTheBlock) {
    block->numOutputs = 42;
    block->masterEventBytes = 31;
    std::memset(block->args, 0x5A, kArgsSize);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(block.get());
    const std::vector<std::uint8_t> before(bytes, bytes + kSlaveBlockSize);
    for (std::int32_t code : {std::int32_t{kCmdNone}, 3, 4, 6, 9, 10, 14, 15, 17, -1, INT_MAX}) {
        block->command = code;
        EXPECT_EQ(core.handleCommand(*block), code);
        block->command = kCmdNone;
        EXPECT_EQ(std::memcmp(before.data(), bytes, kSlaveBlockSize), 0) << code;
    }
    EXPECT_EQ(processor.processes, 0);
}

TEST_F(SlaveCore, ProcessReadsInputsAtTheStrideAndWritesTheOutputs) {
    setIo(2, 3);
    VstTimeInfo time{};
    time.tempo = 133.0;
    time.flags = kVstTempoValid;
    std::memcpy(block->args, &time, sizeof time);
    block->masterEventBytes = 0;
    processBlock(2, 5);  // stride 8

    EXPECT_EQ(block->numOutputs, 3);
    EXPECT_EQ(processor.last.frames, 5);
    EXPECT_EQ(processor.last.numInputs, 2);
    EXPECT_EQ(processor.inputs[1], block->inputs + 8);
    EXPECT_EQ(processor.outputs[2], block->outputs + 16);
    EXPECT_EQ(processor.firstInputs, (std::vector<float>{0.0f, 1000.0f}));
    EXPECT_EQ(processor.lastTime.tempo, 133.0);
    EXPECT_EQ(processor.lastTime.flags, kVstTempoValid);
    EXPECT_EQ(block->outputs[8 + 4], 104.0f);   // output 1, frame 4
    EXPECT_EQ(block->outputs[16 + 0], 200.0f);  // output 2, frame 0
    EXPECT_EQ(core.settings().blocksProcessed, 1u);
    EXPECT_EQ(block->command, kCmdProcess);
}

TEST_F(SlaveCore, ProcessTakesAndEmptiesMasterEventsAndKeepsUnreadSlaveEvents) {
    block->masterEventBytes = 62;
    block->slaveEventBytes = 31;  // left by an earlier block and not yet read by the master
    processBlock(1, 64);
    EXPECT_EQ(processor.lastEventBytes, 62);
    EXPECT_EQ(block->masterEventBytes, 0);
    EXPECT_EQ(block->slaveEventBytes, 31);
}

// A faulty master's counts never lead to an access outside the block: the heap block is exactly
// kSlaveBlockSize bytes, so AddressSanitizer reports any stray read or write.
TEST_F(SlaveCore, ProcessBoundsHostileAudioHeaders) {
    setIo(2, 16);
    struct Case {
        std::int32_t ins, frames, wantIns, wantOuts, wantFrames;
    };
    const Case cases[] = {
        {1000, 64, 16, 16, 64},        // channel count clamped to 16
        {-3, 64, 0, 16, 64},           // negative: no inputs
        {16, 44100, 16, 16, 44100},    // the largest block that holds 16 channels
        {16, 44101, 15, 15, 44101},    // stride 44104: only 15 channels fit
        {16, 50000, 14, 14, 50000},    // 14 x 50000 = 700000 <= 705600
        {2, 705600, 1, 1, 705600},     // one channel fills the area
        {2, 705601, 0, 0, 0},          // not even one channel fits
        {2, INT_MAX, 0, 0, 0},         // the stride must not overflow
        {2, -1, 0, 16, 0},             // no frames
        {2, 0, 0, 16, 0},
    };
    for (const Case& c : cases) {
        block->numOutputs = -1;
        processBlock(c.ins, c.frames);
        EXPECT_EQ(processor.last.numInputs, c.frames > 0 ? c.wantIns : 0) << c.ins << " x " << c.frames;
        EXPECT_EQ(processor.last.frames, c.wantFrames) << c.ins << " x " << c.frames;
        EXPECT_EQ(block->numOutputs, c.wantOuts) << c.ins << " x " << c.frames;
        if (processor.last.numOutputs > 0) {
            // The last output channel ends inside the area.
            const float* end = processor.outputs.back() + processor.last.frames;
            EXPECT_LE(end, block->outputs + kSampleAreaSamples);
        }
    }
}

TEST_F(SlaveCore, ProcessIgnoresEventCountsOutsideTheArea) {
    for (std::int32_t bad : {-1, kEventAreaSize, kMaxEventBytes + 1, INT_MAX, INT_MIN}) {
        block->masterEventBytes = bad;
        block->slaveEventBytes = bad;
        processBlock(1, 16);
        EXPECT_EQ(processor.lastEventBytes, 0) << bad;
        EXPECT_EQ(block->masterEventBytes, 0) << bad;
        EXPECT_EQ(block->slaveEventBytes, 0) << bad;
    }
    block->masterEventBytes = kMaxEventBytes;
    processBlock(1, 16);
    EXPECT_EQ(processor.lastEventBytes, kMaxEventBytes);
}

}  // namespace
