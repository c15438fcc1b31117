// The command line of tolvane-host: what a good one sets, and that every bad one is refused with
// a message naming what is wrong.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/host/options.h"

namespace tolvane::host {
namespace {

ParseResult parse(std::vector<const char*> args, HostOptions& options) {
    args.insert(args.begin(), "tolvane-host");
    return parseArguments(static_cast<int>(args.size()), args.data(), options);
}

TEST(HostOptions, ParsesAFullCommandLineInBothValueForms) {
    HostOptions o;
    const ParseResult r = parse({"plug.so", "--rate=48000", "--block", "64", "--blocks", "10", "--signal", "sine:1000:0.25",
                                 "--note", "64:90:4:2:5", "--note=60", "--sysex", "F07E00F7:3", "--idle", "--async",
                                 "--async-timeout", "50", "--can-do", "acceptIOChanges=no", "--param", "Gain=0.75",
                                 "--param-text", "2=On", "--set-at", "5:Synch=0", "--set-text-at", "7:Slave#=3",
                                 "--output", "out.raw", "--summary-kv", "-", "--time-sig", "7/8", "--midi-channel", "10"},
                                o);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(o.pluginPath, "plug.so");
    EXPECT_DOUBLE_EQ(o.sampleRate, 48000.0);
    EXPECT_TRUE(o.sampleRateGiven);
    EXPECT_EQ(o.blockSize, 64);
    EXPECT_EQ(o.blocks.value_or(-1), 10);
    EXPECT_EQ(o.signal.kind, SignalKind::Sine);
    EXPECT_DOUBLE_EQ(o.signal.frequencyHz, 1000.0);
    EXPECT_DOUBLE_EQ(o.signal.amplitude, 0.25);
    ASSERT_EQ(o.notes.size(), 2u);
    EXPECT_EQ(o.notes[0].key, 64);
    EXPECT_EQ(o.notes[0].velocity, 90);
    EXPECT_EQ(o.notes[0].everyBlocks, 4);
    EXPECT_EQ(o.notes[0].lengthBlocks, 2);
    EXPECT_EQ(o.notes[0].deltaFrames, 5);
    EXPECT_EQ(o.notes[1].everyBlocks, 8);  // defaults
    EXPECT_EQ(o.notes[1].lengthBlocks, 4);
    EXPECT_EQ(o.notes[1].velocity, 100);
    ASSERT_EQ(o.sysex.size(), 1u);
    EXPECT_EQ(o.sysex[0].bytes, (std::vector<std::uint8_t>{0xF0, 0x7E, 0x00, 0xF7}));
    EXPECT_EQ(o.sysex[0].everyBlocks, 3);
    EXPECT_TRUE(o.idle);
    EXPECT_TRUE(o.async);
    EXPECT_EQ(o.asyncTimeoutMs, 50);
    ASSERT_EQ(o.canDo.size(), 1u);
    EXPECT_EQ(o.canDo[0].capability, "acceptIOChanges");
    EXPECT_EQ(o.canDo[0].answer, CanDoAnswer::No);
    ASSERT_EQ(o.parameters.size(), 4u);
    EXPECT_EQ(o.parameters[0].target, "Gain");
    EXPECT_FALSE(o.parameters[0].asText);
    EXPECT_FLOAT_EQ(o.parameters[0].value, 0.75f);
    EXPECT_EQ(o.parameters[0].atBlock, -1);
    EXPECT_EQ(o.parameters[1].target, "2");
    EXPECT_TRUE(o.parameters[1].asText);
    EXPECT_EQ(o.parameters[1].text, "On");
    EXPECT_EQ(o.parameters[2].atBlock, 5);
    EXPECT_EQ(o.parameters[2].target, "Synch");
    EXPECT_EQ(o.parameters[3].atBlock, 7);
    EXPECT_EQ(o.parameters[3].target, "Slave#");
    EXPECT_EQ(o.parameters[3].text, "3");
    EXPECT_EQ(o.outputPath, "out.raw");
    EXPECT_EQ(o.summaryKvPath, "-");
    EXPECT_EQ(o.timeSigNumerator, 7);
    EXPECT_EQ(o.timeSigDenominator, 8);
    EXPECT_EQ(o.midiChannel, 10);
}

TEST(HostOptions, HelpAndVersionNeedNoPlugin) {
    HostOptions help;
    EXPECT_TRUE(parse({"--help"}, help).ok);
    EXPECT_TRUE(help.help);
    HostOptions shortHelp;
    EXPECT_TRUE(parse({"-h"}, shortHelp).ok);
    EXPECT_TRUE(shortHelp.help);
    HostOptions version;
    EXPECT_TRUE(parse({"--version"}, version).ok);
    const std::string usage = usageText();
    for (const char* option : {"--param ", "--param-text", "--set-at", "--set-text-at", "--list-params", "--async ",
                               "--idle", "--note", "--sysex", "--summary-json", "--summary-kv", "--signal"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

TEST(HostOptions, RefusesBadArgumentsWithAMessageNamingTheFault) {
    struct Case {
        std::vector<const char*> args;
        const char* expected;  // a piece of the message
    };
    const Case cases[] = {
        {{"p.so", "--bogus"}, "unknown option '--bogus'"},
        {{"p.so", "-x"}, "unknown option '-x'"},
        {{"p.so", "--block"}, "--block needs a value"},
        {{"p.so", "--idle=1"}, "--idle takes no value"},
        {{"p.so", "--block", "0"}, "--block expects a block size"},
        {{"p.so", "--block", "12x"}, "'12x'"},
        {{"p.so", "--rate", "-5"}, "--rate"},
        {{"p.so", "--blocks", "-1"}, "--blocks"},
        {{"p.so", "q.so"}, "more than one plug-in"},
        {{"--blocks", "3"}, "no plug-in given"},
        {{"p.so", "--blocks", "3", "--seconds", "1"}, "at most one of"},
        {{"p.so", "--block", "64", "--note", "60:100:8:4:64"}, "does not fit in a block of 64"},
        {{"p.so", "--note", "128"}, "key from 0 to 127"},
        {{"p.so", "--note", "60:0"}, "velocity"},
        {{"p.so", "--note", "60:100:0"}, "EVERY"},
        {{"p.so", "--note", "60:100:4:5"}, "LEN from 1 to EVERY"},
        {{"p.so", "--note", "60:1:2:1:0:9"}, "too many fields"},
        {{"p.so", "--sysex", "F0417"}, "even number of hex digits"},
        {{"p.so", "--sysex", "7E01F7"}, "F0 first and F7 last"},
        {{"p.so", "--sysex", "F0ZZF7"}, "hex digits"},
        {{"p.so", "--sysex", "F001F7:0"}, "EVERY"},
        {{"p.so", "--param", "Gain"}, "NAME=VALUE"},
        {{"p.so", "--param", "=0.5"}, "NAME=VALUE"},
        {{"p.so", "--param", "Gain=loud"}, "normalised number"},
        {{"p.so", "--param", "Gain=nan"}, "normalised number"},
        {{"p.so", "--set-at", "Gain=0.5"}, "block number first"},
        {{"p.so", "--set-at", "x:Gain=0.5"}, "block number first"},
        {{"p.so", "--set-text-at", "3:Gain"}, "NAME=TEXT"},
        {{"p.so", "--can-do", "asyncProcessing=maybe"}, "yes, no or unknown"},
        {{"p.so", "--can-do", "asyncProcessing"}, "NAME=ANSWER"},
        {{"p.so", "--signal", "square"}, "sine[:HZ[:AMP]]"},
        {{"p.so", "--signal", "sine:440:0.5:1"}, "sine[:HZ[:AMP]]"},
        {{"p.so", "--signal", "counter:3"}, "counter"},
        {{"p.so", "--time-sig", "4/3"}, "time signature"},
        {{"p.so", "--midi-channel", "17"}, "MIDI channel"},
        {{"p.so", "--input-channels", "0"}, "channel count"},
    };
    for (const Case& c : cases) {
        HostOptions o;
        const ParseResult r = parse(c.args, o);
        std::string joined;
        for (const char* arg : c.args) joined += std::string(arg) + " ";
        EXPECT_FALSE(r.ok) << joined;
        EXPECT_NE(r.error.find(c.expected), std::string::npos) << joined << "-> " << r.error;
    }
}

TEST(HostOptions, ParameterTextKeepsEverythingAfterTheFirstEquals) {
    ParameterChange change;
    std::string error;
    ASSERT_TRUE(parseParameterChange("Name=a=b:c", true, false, change, error)) << error;
    EXPECT_EQ(change.target, "Name");
    EXPECT_EQ(change.text, "a=b:c");
    ASSERT_TRUE(parseParameterChange("12:Slave#=", true, true, change, error)) << error;
    EXPECT_EQ(change.atBlock, 12);
    EXPECT_EQ(change.target, "Slave#");
    EXPECT_EQ(change.text, "");  // an empty text is the plug-in's to judge
    ASSERT_TRUE(parseParameterChange("0=1.5", false, false, change, error)) << error;
    EXPECT_FLOAT_EQ(change.value, 1.5f);  // passed as given: clamping is the plug-in's business
}

TEST(HostOptions, NoteLengthDefaultsToHalfThePeriod) {
    NotePattern note;
    std::string error;
    ASSERT_TRUE(parseNote("60:100:1", note, error)) << error;
    EXPECT_EQ(note.lengthBlocks, 1);
    ASSERT_TRUE(parseNote("60:100:5", note, error)) << error;
    EXPECT_EQ(note.lengthBlocks, 2);
    ASSERT_TRUE(parseNote("60:100:5:5", note, error)) << error;
    EXPECT_EQ(note.lengthBlocks, 5);
}

}  // namespace
}  // namespace tolvane::host
