// The plug-in processor over a block in memory: a real plug-in module (the host tests' fixture,
// which shows what it saw through its parameter displays) driven by the slave's command handling
// as the master's commands arrive.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tests/fixtures/fixture_params.h"
#include "tests/slave/slave_test_block.h"
#include "tests/support/allocation_counter.h"
#include "tools/host/counter_signal.h"
#include "tools/slave/plugin_processor.h"
#include "tools/slave/slave_core.h"

namespace {

using tolvane::host::counterSample;

const std::string kFixture = TOLVANE_HOST_FIXTURE;
const std::string kNoEntry = TOLVANE_HOST_FIXTURE_NO_ENTRY;

constexpr float kUnwritten = 0.75f;

// A plug-in processor under the slave's command handling, over one block on the heap.
struct Rig {
    std::unique_ptr<SlaveBlock> block = makeTestBlock();
    std::unique_ptr<CPluginProcessor> plugin;
    std::unique_ptr<CSlaveCore> core;

    explicit Rig(std::vector<PluginParamSetting> settings = {}) {
        plugin = std::make_unique<CPluginProcessor>(kFixture, std::move(settings));
        std::string error;
        EXPECT_TRUE(plugin->load(error)) << error;
        core = std::make_unique<CSlaveCore>(*plugin, 7);
    }
    void command(std::int32_t code) {
        block->command = code;
        core->handleCommand(*block);
    }
    void setIo(std::int32_t ins, std::int32_t outs) {
        putArgInt(*block, 0, ins);
        putArgInt(*block, 4, outs);
        command(kCmdSetIo);
    }
    void setBlockSize(std::int32_t frames) {
        putArgInt(*block, 0, frames);
        command(kCmdSetBlockSize);
    }
    void setTime(double samplePos) {
        VstTimeInfo time{};
        time.samplePos = samplePos;
        time.sampleRate = 44100.0;
        std::memcpy(block->args, &time, sizeof time);
    }
    // One block: input channel i holds (i + 1) * 0.1 + f * 1e-4; outputs are prefilled so that
    // unwritten samples show.
    void process(std::int32_t ins, std::int32_t frames) {
        block->numInputs = ins;
        block->blockSize = frames;
        for (std::int32_t i = 0; i < ins; ++i) {
            float* channel = channelStart(block->inputs, frames, i, ins);
            for (std::int32_t f = 0; f < frames; ++f) channel[f] = input(i, f);
        }
        std::fill(block->outputs, block->outputs + 16 * channelStrideSamples(frames), kUnwritten);
        command(kCmdProcess);
    }
    static float input(std::int32_t channel, std::int32_t frame) {
        return static_cast<float>(channel + 1) * 0.1f + static_cast<float>(frame) * 1e-4f;
    }
    float output(std::int32_t channel, std::int32_t frame) const {
        const float* start = channelStart(block->outputs, block->blockSize, channel, block->numOutputs);
        return start != nullptr ? start[frame] : std::numeric_limits<float>::quiet_NaN();
    }
    std::string display(VstInt32 index) { return plugin->pluginHost()->parameterDisplay(index); }
};

TEST(PluginProcessor, LoadFailuresAndSettingsAreReported) {
    std::string error;
    CPluginProcessor missing("/no/such/plugin.so", {});
    EXPECT_FALSE(missing.load(error));
    EXPECT_NE(error.find("/no/such/plugin.so"), std::string::npos);
    EXPECT_FALSE(missing.settingsRefused());

    CPluginProcessor noEntry(kNoEntry, {});
    EXPECT_FALSE(noEntry.load(error));
    EXPECT_NE(error.find("neither VSTPluginMain nor main"), std::string::npos) << error;

    CPluginProcessor unknown(kFixture, {{"Gain", 0.5f}, {"NoSuchName", 0.1f}});
    EXPECT_FALSE(unknown.load(error));
    EXPECT_TRUE(unknown.settingsRefused());
    EXPECT_NE(error.find("NoSuchName"), std::string::npos);
    EXPECT_FALSE(unknown.isLoaded());

    bool loadFailed = true;
    EXPECT_EQ(makeSlaveProcessor("plugin:", {}, error, loadFailed), nullptr);
    EXPECT_FALSE(loadFailed);
    EXPECT_EQ(makeSlaveProcessor("passthrough", {{"0", 0.5f}}, error, loadFailed), nullptr);
    EXPECT_NE(error.find("--param needs"), std::string::npos);
    EXPECT_NE(makeSlaveProcessor("gain:-6", {}, error, loadFailed), nullptr);

    PluginParamSetting setting;
    EXPECT_TRUE(parsePluginParam("3=0.25", setting, error));
    EXPECT_EQ(setting.target, "3");
    EXPECT_FLOAT_EQ(setting.value, 0.25f);
    EXPECT_TRUE(parsePluginParam("Low-Mid Freq=1", setting, error));
    EXPECT_EQ(setting.target, "Low-Mid Freq");
    for (const char* bad : {"3", "=0.5", "3=", "3=1.5", "3=-0.1", "3=nan", "3=0.5x"}) {
        EXPECT_FALSE(parsePluginParam(bad, setting, error)) << bad;
    }
}

TEST(PluginProcessor, AudioPassesWithTheSettingsAndTheChannelsMapped) {
    Rig rig({{"Gain", 0.25f}});  // the fixture's gain is 2 x value: 0.5
    EXPECT_EQ(rig.display(fixture::kGain), "0.500");
    EXPECT_EQ(rig.plugin->pluginInputs(), 2);
    EXPECT_EQ(rig.plugin->pluginOutputs(), 2);
    rig.command(kCmdGetInfo);
    EXPECT_EQ(rig.block->args[6], static_cast<std::uint8_t>(ProcessorKind::Plugin));

    // One link input for two plug-in inputs, four link outputs for two plug-in outputs.
    rig.setIo(1, 4);
    rig.command(kCmdStart);
    rig.process(1, 100);
    ASSERT_EQ(rig.block->numOutputs, 4);
    for (std::int32_t f = 0; f < 100; ++f) {
        ASSERT_FLOAT_EQ(rig.output(0, f), Rig::input(0, f) * 0.5f) << f;
        ASSERT_EQ(rig.output(1, f), 0.0f) << "the plug-in's second input is silent";
        ASSERT_EQ(rig.output(2, f), 0.0f) << "a link output the plug-in lacks is silent";
        ASSERT_EQ(rig.output(3, f), 0.0f);
    }

    // One link output for two plug-in outputs: the second goes to scratch, nothing else is written.
    rig.setIo(2, 1);
    rig.process(2, 100);
    ASSERT_EQ(rig.block->numOutputs, 1);
    for (std::int32_t f = 0; f < 100; ++f) ASSERT_FLOAT_EQ(rig.output(0, f), Rig::input(0, f) * 0.5f);
    const std::int64_t stride = channelStrideSamples(100);
    for (std::int64_t s = stride; s < 4 * stride; ++s) ASSERT_EQ(rig.block->outputs[s], kUnwritten) << s;
}

// The fixture's time mode writes counterSample(samplePos + i, c): the position it gets from
// audioMasterGetTime must be the master's, moved along with every piece of a long block.
TEST(PluginProcessor, TransportComesFromTheBlockAndFollowsEachPiece) {
    Rig rig({{"Mode", 1.0f}, {"Gain", 0.5f}});
    rig.setIo(2, 2);
    rig.setBlockSize(64);  // 200-frame blocks go through as 64 + 64 + 64 + 8
    rig.command(kCmdStart);
    rig.setTime(1000.0);
    rig.process(2, 200);
    for (int c = 0; c < 2; ++c) {
        for (std::int32_t f = 0; f < 200; ++f) ASSERT_EQ(rig.output(c, f), counterSample(1000 + f, c)) << c << "/" << f;
    }

    // A record that is no transport (the master leaves args as the last command left them) is
    // replaced by the slave's own count of the frames processed.
    std::memset(rig.block->args, 0xFF, sizeof(VstTimeInfo));  // NaN position and rate
    rig.process(2, 50);
    for (std::int32_t f = 0; f < 50; ++f) ASSERT_EQ(rig.output(0, f), counterSample(200 + f, 0)) << f;
}

TEST(PluginProcessor, EventsReachThePluginAndComeBackWithTheirFrames) {
    Rig rig;
    rig.setIo(2, 2);
    rig.setBlockSize(64);
    rig.command(kCmdStart);
    const VstMidiEvent noteOn = midiEvent(150, 0x90, 60, 100);
    const VstMidiEvent late = midiEvent(5000, 0x80, 60, 0);  // past the block: its last frame
    char dump[] = {static_cast<char>(0xF0), 0x7D, 0x01, static_cast<char>(0xF7)};
    const VstMidiSysexEvent sysex = sysexEvent(10, dump, 4);
    for (const VstEvent* event : {reinterpret_cast<const VstEvent*>(&noteOn), reinterpret_cast<const VstEvent*>(&late),
                                  reinterpret_cast<const VstEvent*>(&sysex)}) {
        ASSERT_TRUE(packEventRecord(0, event, rig.block->masterEvents, &rig.block->masterEventBytes));
    }
    rig.process(2, 200);
    EXPECT_EQ(rig.block->masterEventBytes, 0);

    // The fixture echoes what it got in each piece: the SysEx in the first, the notes later.
    PackedEventReader reader(rig.block->slaveEvents, rig.block->slaveEventBytes);
    UnpackedEvent event;
    ASSERT_TRUE(reader.next(event));
    EXPECT_EQ(event.event.type, kVstSysExType);
    EXPECT_EQ(event.event.deltaFrames, 10);
    ASSERT_EQ(event.sysex.dumpBytes, 4);
    EXPECT_EQ(std::memcmp(event.sysex.sysexDump, dump, 4), 0);
    ASSERT_TRUE(reader.next(event));
    EXPECT_EQ(event.event.deltaFrames, 150);
    EXPECT_EQ(static_cast<unsigned char>(event.midi.midiData[0]), 0x90);
    EXPECT_EQ(event.midi.noteLength, 7);  // every carried field survives the round trip
    EXPECT_EQ(event.midi.detune, 5);
    ASSERT_TRUE(reader.next(event));
    EXPECT_EQ(event.event.deltaFrames, 199);
    EXPECT_EQ(static_cast<unsigned char>(event.midi.midiData[0]), 0x80);
    EXPECT_FALSE(reader.next(event));
    EXPECT_EQ(rig.plugin->eventsDropped(), 0u);

    // An event the plug-in sends outside a block has nowhere to go.
    VstMidiEvent stray = midiEvent(0, 0x90, 1, 1);
    struct {
        VstInt32 numEvents = 1;
        VstIntPtr reserved = 0;
        VstEvent* events[2];
    } list;
    list.events[0] = reinterpret_cast<VstEvent*>(&stray);
    tolvane::host::PluginHost::callback(rig.plugin->pluginHost()->effect(), audioMasterProcessEvents, 0, 0, &list, 0);
    EXPECT_EQ(rig.plugin->eventsDropped(), 1u);
}

// The fixture's trace display records its calls: o open, r rate, b block size, + resume,
// - suspend, s start, t stop processing, p the first block after a resume.
TEST(PluginProcessor, FollowsTheMastersTransportAndReopensOnStop) {
    Rig rig({{"Gain", 0.25f}});
    rig.setIo(2, 2);
    rig.command(kCmdStart);
    rig.process(2, 32);
    EXPECT_FLOAT_EQ(rig.output(0, 5), Rig::input(0, 5) * 0.5f);

    rig.command(kCmdSuspend);
    const std::string suspended = rig.display(fixture::kTrace);
    EXPECT_EQ(suspended.substr(suspended.size() - 2), "t-");
    rig.process(2, 32);
    EXPECT_EQ(rig.output(0, 5), 0.0f) << "a suspended plug-in is not processed";
    EXPECT_EQ(rig.display(fixture::kTrace), suspended);

    rig.command(kCmdResume);
    rig.process(2, 32);
    EXPECT_FLOAT_EQ(rig.output(0, 5), Rig::input(0, 5) * 0.5f);
    const std::string resumed = rig.display(fixture::kTrace);
    EXPECT_EQ(resumed.substr(resumed.size() - 3), "+sp");

    // Stop closes the plug-in and opens a fresh one, with the settings applied again.
    rig.command(kCmdStop);
    EXPECT_EQ(rig.display(fixture::kTrace).substr(0, 1), "o");
    EXPECT_EQ(rig.display(fixture::kTrace).find('p'), std::string::npos);
    EXPECT_EQ(rig.display(fixture::kGain), "0.500");
    rig.process(2, 32);
    EXPECT_FLOAT_EQ(rig.output(1, 7), Rig::input(1, 7) * 0.5f);
}

// The fixture applies a changed output count at its next suspend; the processor reads the pins
// again each time it prepares the plug-in.
TEST(PluginProcessor, PinsChangedByThePluginAreReadAgain) {
    Rig rig({{"Outputs", 1.0f}});  // four outputs from the next suspend on
    rig.setIo(2, 4);
    EXPECT_EQ(rig.plugin->pluginOutputs(), 4);
    rig.command(kCmdStart);
    rig.process(2, 16);
    for (std::int32_t c = 0; c < 4; ++c) EXPECT_FLOAT_EQ(rig.output(c, 3), Rig::input(c % 2, 3)) << c;
}

TEST(PluginProcessor, ABlockAllocatesNothing) {
    Rig rig;
    rig.setIo(2, 2);
    rig.setBlockSize(64);
    rig.command(kCmdStart);
    rig.process(2, 200);  // the fixture's own first-block work, outside the count
    const VstMidiEvent note = midiEvent(70, 0x90, 64, 90);
    countAllocations(true);
    for (int i = 0; i < 50; ++i) {
        packEventRecord(0, reinterpret_cast<const VstEvent*>(&note), rig.block->masterEvents, &rig.block->masterEventBytes);
        rig.process(2, 200);
        rig.block->slaveEventBytes = 0;  // as the master does after reading
    }
    countAllocations(false);
    EXPECT_EQ(allocationsCounted(), 0);
}

}  // namespace
