// The reference slave's processors, the echo's event packing through the block, and the command
// line.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "tests/slave/slave_test_block.h"
#include "tools/slave/options.h"
#include "tools/slave/processor.h"
#include "tools/slave/slave_core.h"

namespace {

std::unique_ptr<CProcessor> make(const char* choice) {
    std::string error;
    auto processor = makeProcessor(choice, error);
    EXPECT_TRUE(processor) << choice << ": " << error;
    return processor;
}

// Separate buffers for up to 4 inputs and 4 outputs of `frames` frames; outputs start as NaN so
// that an unwritten sample shows.
struct Buffers {
    explicit Buffers(std::int32_t ins, std::int32_t outs, std::int32_t frames) : frames(frames) {
        for (std::int32_t i = 0; i < ins; ++i) {
            in.emplace_back(frames);
            for (std::int32_t f = 0; f < frames; ++f) in.back()[f] = static_cast<float>(i + 1) * 0.1f + f;
        }
        for (std::int32_t o = 0; o < outs; ++o) out.emplace_back(frames, std::numeric_limits<float>::quiet_NaN());
        for (auto& b : in) inPtr.push_back(b.data());
        for (auto& b : out) outPtr.push_back(b.data());
    }
    SlaveAudio audio() const {
        return SlaveAudio{inPtr.data(), static_cast<std::int32_t>(in.size()), outPtr.data(),
                          static_cast<std::int32_t>(out.size()), frames};
    }
    std::int32_t frames;
    std::vector<std::vector<float>> in, out;
    std::vector<const float*> inPtr;
    std::vector<float*> outPtr;
};

void run(CProcessor& processor, const Buffers& buffers, std::uint8_t* eventArea = nullptr, std::int32_t eventBytes = 0,
         std::uint8_t* outArea = nullptr, std::int32_t* outCount = nullptr) {
    static std::uint8_t spareArea[kEventAreaSize];
    std::int32_t spareCount = 0;
    CSlaveEventsOut out(outArea ? outArea : spareArea, outCount ? outCount : &spareCount);
    processor.process(buffers.audio(), VstTimeInfo{}, SlaveEventsIn{eventArea, eventBytes}, out);
}

TEST(SlaveProcessors, PassThroughCopiesInputsAndSilencesTheRest) {
    auto processor = make("passthrough");
    processor->prepare(48000, 64, 2, 4);
    Buffers b(2, 4, 37);
    run(*processor, b);
    EXPECT_EQ(b.out[0], b.in[0]);
    EXPECT_EQ(b.out[1], b.in[1]);
    EXPECT_EQ(b.out[2], std::vector<float>(37, 0.0f));
    EXPECT_EQ(b.out[3], std::vector<float>(37, 0.0f));

    Buffers fewer(3, 1, 8);  // more inputs than outputs: the extra inputs are dropped
    run(*processor, fewer);
    EXPECT_EQ(fewer.out[0], fewer.in[0]);
}

TEST(SlaveProcessors, GainScalesByDecibels) {
    auto processor = make("gain:-6");
    processor->prepare(44100, 64, 1, 2);
    Buffers b(1, 2, 16);
    run(*processor, b);
    const float factor = static_cast<float>(std::pow(10.0, -6.0 / 20.0));  // about 0.501
    for (std::int32_t f = 0; f < 16; ++f) EXPECT_FLOAT_EQ(b.out[0][f], b.in[0][f] * factor);
    EXPECT_EQ(b.out[1], std::vector<float>(16, 0.0f));
    EXPECT_EQ(make("gain:+20")->describe(), "gain +20.0 dB");
}

TEST(SlaveProcessors, SineRunsOnAcrossBlocksAndRestartsOnReset) {
    auto processor = make("sine:12000");
    processor->prepare(48000, 64, 0, 2);  // a quarter of the rate: period of 4 samples
    Buffers b(0, 2, 6);
    run(*processor, b);
    const float a = kSineAmplitude;
    const float want[6] = {0, a, 0, -a, 0, a};
    for (int f = 0; f < 6; ++f) EXPECT_NEAR(b.out[0][f], want[f], 1e-6) << f;
    EXPECT_EQ(b.out[1], b.out[0]);

    Buffers next(0, 1, 2);
    run(*processor, next);  // continues at phase 6 x 90 degrees
    EXPECT_NEAR(next.out[0][0], 0.0f, 1e-6);
    EXPECT_NEAR(next.out[0][1], -a, 1e-6);

    processor->reset();
    Buffers again(0, 1, 2);
    run(*processor, again);
    EXPECT_NEAR(again.out[0][1], a, 1e-6);
}

TEST(SlaveProcessors, SineStaysBoundedAtExtremeRates) {
    auto processor = make("sine:100000");
    processor->prepare(1.0f, 64, 0, 1);  // the step is many turns per sample
    Buffers b(0, 1, 4096);
    run(*processor, b);
    for (float v : b.out[0]) ASSERT_LE(std::fabs(v), kSineAmplitude);
}

// The echo over a real block: the master packs events, the core hands them to the echo, and the
// records that come back in slaveEvents are byte for byte the records that went in.
TEST(SlaveProcessors, EchoSendsEveryMidiAndSysexEventBack) {
    auto block = makeTestBlock();
    auto processor = make("echo");
    CSlaveCore core(*processor, -1);

    VstMidiEvent on = midiEvent(3, 0x90, 60, 100);
    VstMidiEvent off = midiEvent(17, 0x80, 60, 0);
    char dump[5] = {'\xF0', 0x7D, 0x01, 0x02, '\xF7'};
    VstMidiSysexEvent sysex = sysexEvent(9, dump, 5);
    VstMidiSysexEvent empty = sysexEvent(1, nullptr, 0);
    for (const void* e : {static_cast<const void*>(&on), static_cast<const void*>(&sysex),
                          static_cast<const void*>(&empty), static_cast<const void*>(&off)})
        ASSERT_TRUE(packEventRecord(0, static_cast<const VstEvent*>(e), block->masterEvents, &block->masterEventBytes));
    const std::int32_t packed = block->masterEventBytes;
    ASSERT_EQ(packed, 31 + 30 + 25 + 31);

    block->numInputs = 1;
    block->blockSize = 4;
    for (int f = 0; f < 4; ++f) block->inputs[f] = 0.5f * f;
    block->command = kCmdProcess;
    core.handleCommand(*block);

    EXPECT_EQ(block->masterEventBytes, 0);
    ASSERT_EQ(block->slaveEventBytes, packed);
    EXPECT_EQ(std::memcmp(block->slaveEvents, block->masterEvents, static_cast<std::size_t>(packed)), 0);
    for (int f = 0; f < 4; ++f) EXPECT_EQ(block->outputs[f], 0.5f * f);  // audio passes through

    // What the master's reader makes of them.
    PackedEventReader reader(block->slaveEvents, block->slaveEventBytes);
    UnpackedEvent event;
    ASSERT_TRUE(reader.next(event));
    EXPECT_EQ(event.midi.deltaFrames, 3);
    EXPECT_EQ(static_cast<unsigned char>(event.midi.midiData[0]), 0x90);
    EXPECT_EQ(event.midi.noteOffVelocity, 9);
    ASSERT_TRUE(reader.next(event));
    ASSERT_EQ(event.sysex.dumpBytes, 5);
    EXPECT_EQ(std::memcmp(event.sysex.sysexDump, dump, 5), 0);
    ASSERT_TRUE(reader.next(event));
    EXPECT_EQ(event.sysex.dumpBytes, 0);
    ASSERT_TRUE(reader.next(event));
    EXPECT_EQ(event.midi.deltaFrames, 17);
    EXPECT_FALSE(reader.next(event));
    EXPECT_FALSE(reader.endedEarly());
}

TEST(SlaveProcessors, EchoStopsAtAFullAreaAndAtABrokenRecord) {
    auto processor = make("echo");
    std::vector<std::uint8_t> in(kEventAreaSize, 0);
    std::int32_t inBytes = 0;
    const VstMidiEvent note = midiEvent(0, 0x90, 64, 1);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(packEventRecord(0, reinterpret_cast<const VstEvent*>(&note), in.data(), &inBytes));

    // Room for exactly one more record in the outgoing area.
    std::vector<std::uint8_t> out(kEventAreaSize, 0xAB);
    std::int32_t outBytes = kMaxEventBytes - kMidiRecordSize;
    Buffers b(0, 1, 4);
    run(*processor, b, in.data(), inBytes, out.data(), &outBytes);
    EXPECT_EQ(outBytes, kMaxEventBytes);
    EXPECT_EQ(out[kMaxEventBytes], 0xAB);  // the last byte is never used

    // A record of an unknown type ends the walk: the MIDI record after it is not echoed.
    std::vector<std::uint8_t> odd(in);
    const std::int32_t unknownType = kVstAudioType;
    std::memcpy(odd.data() + kMidiRecordSize + 1, &unknownType, 4);
    std::int32_t echoed = 0;
    run(*processor, b, odd.data(), inBytes, out.data(), &echoed);
    EXPECT_EQ(echoed, kMidiRecordSize);
}

TEST(SlaveProcessors, RefusesBadChoices) {
    for (const char* bad : {"", "pass", "passthrough:1", "echo:3", "gain", "gain:", "gain:abc", "gain:-6dB", "gain:41",
                            "gain:-121", "gain:nan", "sine", "sine:0", "sine:-440", "sine:inf", "sine:100001",
                            "sine:440:1"}) {
        std::string error;
        EXPECT_FALSE(makeProcessor(bad, error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    std::string error;
    EXPECT_EQ(makeProcessor("sine:440.5", error)->kind(), ProcessorKind::Sine);
    EXPECT_EQ(makeProcessor("gain:-120", error)->kind(), ProcessorKind::Gain);
    EXPECT_EQ(makeProcessor("echo", error)->kind(), ProcessorKind::Echo);
}

OptionsResult parse(std::vector<const char*> args, SlaveOptions& options, std::string& error) {
    args.insert(args.begin(), "tolvane-slave");
    return parseSlaveOptions(static_cast<int>(args.size()), args.data(), options, error);
}

TEST(SlaveOptionsParsing, ReadsTheSlaveNumberAndTheProcessor) {
    SlaveOptions options;
    std::string error;
    ASSERT_EQ(parse({}, options, error), OptionsResult::Run);
    EXPECT_EQ(options.slaveNumber, -1);
    EXPECT_EQ(options.processor, "passthrough");
    EXPECT_FALSE(options.takeOver);

    ASSERT_EQ(parse({"--slave", "12", "--process=gain:-3", "--takeover"}, options, error), OptionsResult::Run);
    EXPECT_EQ(options.slaveNumber, 12);
    EXPECT_EQ(options.processor, "gain:-3");
    EXPECT_TRUE(options.takeOver);
    ASSERT_EQ(parse({"--slave=-1", "--process", "echo"}, options, error), OptionsResult::Run);
    EXPECT_EQ(options.slaveNumber, -1);
    EXPECT_EQ(options.processor, "echo");

    EXPECT_EQ(parse({"--slave", "3", "--help"}, options, error), OptionsResult::Help);
    EXPECT_EQ(parse({"-h"}, options, error), OptionsResult::Help);
}

TEST(SlaveOptionsParsing, RefusesBadArguments) {
    for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{
             {"--slave"}, {"--slave", "x"}, {"--slave", "3x"}, {"--slave", ""}, {"--slave", "99999999999"},
             {"--slave="}, {"--process"}, {"--slaves", "3"}, {"extra"}, {"-s", "3"}}) {
        SlaveOptions options;
        std::string error;
        EXPECT_EQ(parse(bad, options, error), OptionsResult::Error) << bad[0];
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
