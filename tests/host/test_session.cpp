// Whole runs of the host library against the fixture plug-in: audio out sample-exact, untouched
// blocks, asynchronous collection, idle calls, notes and SysEx both ways, parameter changes before
// and during a run, pin changes, and the printed tables and summaries.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host_test_support.h"
#include "tools/host/audio_file.h"
#include "tools/host/session.h"

namespace tolvane::host {
namespace {

using test::kFixture;
using test::ScratchFile;

struct HostRun {
    SessionResult result;
    std::string out;
    std::string err;
};

HostRun runHost(std::vector<std::string> args, const std::string& plugin = kFixture) {
    args.insert(args.begin(), plugin);
    args.insert(args.begin(), "tolvane-host");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    HostOptions options;
    const ParseResult parsed = parseArguments(static_cast<int>(argv.size()), argv.data(), options);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    std::ostringstream out;
    std::ostringstream err;
    HostRun r;
    r.result = runSession(options, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

// Checks that channel c of an interleaved output holds gain * counter for frames [from, to).
void expectCounter(const std::vector<float>& samples, int channels, std::int64_t from, std::int64_t to, float gain) {
    for (std::int64_t i = from; i < to; ++i) {
        for (int c = 0; c < channels; ++c) {
            ASSERT_EQ(samples[static_cast<std::size_t>(i * channels + c)], counterSample(i, c) * gain)
                << "frame " << i << " channel " << c;
        }
    }
}

TEST(HostSession, CounterSignalComesOutSampleExactAndTheOutputHasTheRunsLength) {
    ScratchFile output("out.raw");
    const HostRun r = runHost({"--signal", "counter", "--frames", "250", "--block", "64", "--output", output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    const Summary& s = r.result.summary;
    EXPECT_EQ(s.blocks, 4);  // the last block is padded
    EXPECT_EQ(s.frames, 256);
    EXPECT_EQ(s.untouchedBlocks, 0);
    EXPECT_EQ(s.partialBlocks, 0);
    EXPECT_EQ(s.counterExactBlocks, 4);
    EXPECT_EQ(s.inputs, 2);
    EXPECT_EQ(s.outputs, 2);
    EXPECT_GE(s.timeQueries, 4u);
    EXPECT_GT(s.blockTime.maxUs, 0.0);
    EXPECT_LE(s.blockTime.medianUs, s.blockTime.p99Us);
    EXPECT_LE(s.blockTime.p99Us, s.blockTime.maxUs);
    const std::vector<float> samples = test::readRawFloats(output.path());
    ASSERT_EQ(samples.size(), 250u * 2);
    expectCounter(samples, 2, 0, 250, 1.0f);

    // Audio that changed on the way is not counted as exact.
    const HostRun louder = runHost({"--signal", "counter", "--blocks", "4", "--param", "Gain=1"});
    EXPECT_EQ(louder.result.summary.counterExactBlocks, 0);
}

TEST(HostSession, TheTransportReachesThePluginSampleExact) {
    ScratchFile output("out.raw");
    // Mode 1: the fixture writes the counter of the position audioMasterGetTime gave it.
    const HostRun r = runHost({"--signal", "silence", "--blocks", "9", "--block", "37", "--param", "Mode=1", "--output", output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.result.summary.counterExactBlocks, -1) << "measured only with the counter as input";
    const std::vector<float> samples = test::readRawFloats(output.path());
    ASSERT_EQ(samples.size(), 9u * 37 * 2);
    expectCounter(samples, 2, 0, 9 * 37, 1.0f);
}

TEST(HostSession, UntouchedBlocksAreCountedAndWrittenAsSilence) {
    ScratchFile output("out.raw");
    // Skip 4: blocks 0, 4 and 8 are left unwritten.
    const HostRun r = runHost({"--signal", "counter", "--blocks", "10", "--block", "16", "--param-text", "Skip=4", "--output",
                       output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.result.summary.untouchedBlocks, 3);
    EXPECT_EQ(r.result.summary.partialBlocks, 0);
    EXPECT_EQ(r.result.summary.counterExactBlocks, 7);
    const std::vector<float> samples = test::readRawFloats(output.path());
    ASSERT_EQ(samples.size(), 10u * 16 * 2);
    for (int i = 0; i < 16 * 2; ++i) ASSERT_EQ(samples[static_cast<std::size_t>(i)], 0.0f);
    expectCounter(samples, 2, 16, 4 * 16, 1.0f);
}

TEST(HostSession, AsynchronousBlocksArePolledUntilTheirOutputIsThere) {
    ScratchFile output("out.raw");
    HostRun r = runHost({"--async", "--param", "Async=1", "--signal", "counter", "--blocks", "6", "--block", "32", "--output",
                 output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.result.summary.asyncBlocks, 6);
    EXPECT_EQ(r.result.summary.asyncTimeouts, 0);
    EXPECT_EQ(r.result.summary.untouchedBlocks, 0);
    EXPECT_EQ(r.result.summary.counterExactBlocks, 6);
    expectCounter(test::readRawFloats(output.path()), 2, 0, 6 * 32, 1.0f);

    // A host that does not collect gets nothing from an asynchronous plug-in.
    r = runHost({"--param", "Async=1", "--blocks", "3"});
    EXPECT_EQ(r.result.summary.asyncBlocks, 0);
    EXPECT_EQ(r.result.summary.untouchedBlocks, 3);

    // A poll that runs out of time leaves the block untouched and says so.
    r = runHost({"--async", "--async-timeout", "0", "--param", "Async=1", "--blocks", "3"});
    EXPECT_EQ(r.result.summary.asyncBlocks, 3);
    EXPECT_EQ(r.result.summary.asyncTimeouts, 3);
    EXPECT_EQ(r.result.summary.untouchedBlocks, 3);
}

TEST(HostSession, NotesAndSysexGoToThePluginAndComeBack) {
    HostRun r = runHost({"--blocks", "12", "--block", "64", "--note", "60:100:4", "--note", "64:90:3:1:10", "--sysex",
                 "F07D0102F7:5", "--print-events"});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    const Summary& s = r.result.summary;
    // 60: on at 0, 4, 8, off at 2, 6, 10; 64: on at 0, 3, 6, 9, off at 1, 4, 7, 10.
    EXPECT_EQ(s.midiSent, 14u);
    EXPECT_EQ(s.sysexSent, 3u);  // blocks 0, 5, 10
    EXPECT_EQ(s.midiReceived, 14u);
    EXPECT_EQ(s.sysexReceived, 3u);
    EXPECT_NE(r.out.find("block 3 delta 10 midi 90 40 5A"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("block 2 delta 0 midi 80 3C 00"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("block 5 delta 0 sysex 5 bytes: F0 7D 01 02 F7"), std::string::npos) << r.out;

    // A note still sounding at the end is released in the last block, at its last frame.
    r = runHost({"--blocks", "3", "--block", "64", "--note", "60:100:8:4", "--midi-channel", "2", "--print-events"});
    EXPECT_EQ(r.result.summary.midiSent, 2u);
    EXPECT_NE(r.out.find("block 0 delta 0 midi 91 3C 64"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("block 2 delta 63 midi 81 3C 00"), std::string::npos) << r.out;
}

TEST(HostSession, IdleIsSentAfterEveryBlockOnlyWhenAsked) {
    HostRun r = runHost({"--blocks", "7", "--idle"});
    EXPECT_EQ(r.result.summary.idleCalls, 7u);
    r = runHost({"--blocks", "7"});
    EXPECT_EQ(r.result.summary.idleCalls, 0u);
}

TEST(HostSession, TimedParameterChangesApplyBeforeTheirBlock) {
    ScratchFile output("out.raw");
    HostRun r = runHost({"--signal", "counter", "--blocks", "6", "--block", "32", "--set-at", "3:Gain=0", "--set-text-at",
                 "5:Gain=loud", "--output", output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.result.summary.parameterChanges, 2);
    EXPECT_EQ(r.result.summary.parameterChangesRefused, 1);
    const std::vector<float> samples = test::readRawFloats(output.path());
    ASSERT_EQ(samples.size(), 6u * 32 * 2);
    expectCounter(samples, 2, 0, 3 * 32, 1.0f);
    for (std::size_t i = 3 * 32 * 2; i < samples.size(); ++i) ASSERT_EQ(samples[i], 0.0f) << i;
    EXPECT_EQ(r.result.summary.counterExactBlocks, 3) << "silence is no counter";

    r = runHost({"--blocks", "2", "--set-at", "9:Gain=0"});
    EXPECT_NE(r.err.find("1 parameter change(s) fall after the last block"), std::string::npos) << r.err;
}

TEST(HostSession, PinChangesAreAppliedAtASuspendBeforeOrDuringTheRun) {
    ScratchFile output("out.raw");
    // Before the run: one output from the start.
    HostRun r = runHost({"--signal", "counter", "--blocks", "2", "--block", "16", "--param", "Outputs=0", "--output", output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.result.summary.ioChanges, 1);
    EXPECT_EQ(r.result.summary.outputs, 1);
    expectCounter(test::readRawFloats(output.path()), 1, 0, 32, 1.0f);

    // During the run: four outputs from block 2 on; the file keeps the two it started with.
    r = runHost({"--signal", "counter", "--blocks", "5", "--block", "16", "--set-at", "2:Outputs=1", "--output", output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.result.summary.ioChanges, 1);
    EXPECT_EQ(r.result.summary.outputs, 4);
    EXPECT_EQ(r.result.summary.untouchedBlocks, 0);
    expectCounter(test::readRawFloats(output.path()), 2, 0, 5 * 16, 1.0f);

    // A host that refuses pin changes keeps the counts.
    r = runHost({"--blocks", "2", "--param", "Outputs=0", "--can-do", "acceptIOChanges=no"});
    EXPECT_EQ(r.result.summary.ioChanges, 0);
    EXPECT_EQ(r.result.summary.outputs, 2);
}

TEST(HostSession, ListsParametersAndIdentity) {
    HostRun r = runHost({"--list-params", "--param", "Gain=0.25", "--param-text", "Skip=4"});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_FALSE(r.result.ran);
    EXPECT_NE(r.out.find("index  name"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    0  Gain               0.250000  0.500\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    1  Skip               0.250000  4\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("   10  Trace"), std::string::npos) << r.out;

    r = runHost({"--info"});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_NE(r.out.find("name            Fixture\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("unique_id       'TvFx'"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("flags           hasEditor canReplacing\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("can_do          receiveVstEvents = yes\n"), std::string::npos) << r.out;
}

TEST(HostSession, AnUnknownParameterIsABadArgument) {
    const HostRun r = runHost({"--param", "Volume=1"});
    EXPECT_EQ(r.result.exitCode, kExitUsage);
    EXPECT_NE(r.err.find("no parameter 'Volume'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Gain, Skip, Async"), std::string::npos) << r.err;
    EXPECT_EQ(runHost({"--set-at", "1:42=0.5"}).result.exitCode, kExitUsage);
}

TEST(HostSession, PluginAndFileFailuresExitWithAMessage) {
    HostRun r = runHost({"--blocks", "2"}, TOLVANE_HOST_FIXTURE_MAGIC);
    EXPECT_EQ(r.result.exitCode, kExitFailure);
    EXPECT_NE(r.err.find("tolvane-host: "), std::string::npos);
    EXPECT_NE(r.err.find("wrong magic"), std::string::npos) << r.err;
    r = runHost({"--input", TOLVANE_HOST_TEST_DIR "/missing.raw"});
    EXPECT_EQ(r.result.exitCode, kExitFailure);
    EXPECT_NE(r.err.find("missing.raw"), std::string::npos) << r.err;
    r = runHost({"--blocks", "1", "--output", TOLVANE_HOST_TEST_DIR "/no/such/dir/out.raw"});
    EXPECT_EQ(r.result.exitCode, kExitFailure);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
}

TEST(HostSession, ARawInputFileFeedsThePluginAndSetsTheLength) {
    ScratchFile input("in.raw");
    ScratchFile output("out.raw");
    AudioData data;
    data.channels = 2;
    for (int i = 0; i < 100 * 2; ++i) data.samples.push_back(static_cast<float>(i) * 0.25f - 10.0f);
    std::string error;
    ASSERT_TRUE(writeAudioFile(input.path(), data, error)) << error;
    const HostRun r = runHost({"--input", input.path(), "--block", "64", "--param", "Gain=1", "--output", output.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_EQ(r.result.summary.blocks, 2);
    const std::vector<float> samples = test::readRawFloats(output.path());
    ASSERT_EQ(samples.size(), data.samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) ASSERT_EQ(samples[i], 2.0f * data.samples[i]) << i;
}

TEST(HostSession, MachineReadableSummariesCarryTheSameKeys) {
    ScratchFile kv("summary.txt");
    ScratchFile json("summary.json");
    const HostRun r = runHost({"--blocks", "3", "--note", "60:100:1:1", "--summary-kv", kv.path(), "--summary-json", json.path()});
    ASSERT_EQ(r.result.exitCode, kExitOk) << r.err;
    EXPECT_NE(r.out.find("processed    3 blocks"), std::string::npos) << "the text summary is still printed";
    const auto values = test::parseKv(test::readText(kv.path()));
    EXPECT_EQ(values.at("blocks"), "3");
    EXPECT_EQ(values.at("midi_sent"), "6");
    EXPECT_EQ(values.at("midi_received"), "6");
    EXPECT_EQ(values.at("untouched_blocks"), "0");
    EXPECT_EQ(values.at("effect_name"), "Fixture");
    const std::string text = test::readText(json.path());
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.front(), '{');
    for (const auto& [key, value] : values) {
        EXPECT_NE(text.find("\"" + key + "\": "), std::string::npos) << key;
    }
    EXPECT_NE(text.find("\"blocks\": 3,"), std::string::npos);
    EXPECT_NE(text.find("\"effect_name\": \"Fixture\","), std::string::npos);
}

// A plug-in's name is whatever bytes it wrote, and a figure may be NaN: the JSON summary stays a
// document that parses (the name's bad bytes as U+FFFD, NaN as null).
TEST(HostSession, TheJsonSummaryParsesWhateverTheNameAndFigures) {
    Summary summary;
    summary.effectName = "Q\"uote\\ \n\t\x01 \xff\xfe end";
    summary.idleShare = std::numeric_limits<double>::quiet_NaN();
    const nlohmann::json json = nlohmann::json::parse(formatSummaryJson(summary), nullptr, false);
    ASSERT_FALSE(json.is_discarded()) << formatSummaryJson(summary);
    EXPECT_EQ(json.at("effect_name"), "Q\"uote\\ \n\t\x01 \xEF\xBF\xBD\xEF\xBF\xBD end");
    EXPECT_TRUE(json.at("idle_share").is_null());
}

}  // namespace
}  // namespace tolvane::host
