// The host library against the fixture plug-ins, through the plug-in interface only: load and
// lifecycle, the callback's answers, time information, events both ways, parameters, pin changes,
// and plug-ins that misbehave at load.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/fixtures/fixture_params.h"
#include "host_test_support.h"
#include "tools/host/counter_signal.h"
#include "tools/hosting/plugin_host.h"

namespace tolvane::host {
namespace {

using test::kFixture;

struct Buffers {
    explicit Buffers(int frames) : in(2, std::vector<float>(frames)), out(4, std::vector<float>(frames, -7.0f)) {
        for (auto& c : in) inPtr.push_back(c.data());
        for (auto& c : out) outPtr.push_back(c.data());
    }
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inPtr, outPtr;
};

void startUp(PluginHost& host, double rate = 44100.0, VstInt32 block = 64) {
    std::string error;
    ASSERT_TRUE(host.load(kFixture, error)) << error;
    host.setSampleRate(rate);
    host.setBlockSize(block);
    host.resume();
    host.startProcess();
}

TEST(PluginHost, RunsTheLifecycleInADawsOrderAndAnswersWhatTheHostIs) {
    PluginHost host;
    startUp(host, 48000.0, 64);
    Buffers b(64);
    host.beginBlock(0, 0);
    host.processReplacing(b.inPtr.data(), b.outPtr.data(), 64);
    EXPECT_EQ(host.parameterDisplay(fixture::kTrace), "orb+sp");
    // Asked by the plug-in at resume: version, rate, block size, vendor, product.
    EXPECT_EQ(host.parameterDisplay(fixture::kHostInfo), "2400/48000/64/Edrin Vantor/tolvane-host");
    // Default capabilities: acceptIOChanges, receiveVstEvents, receiveVstMidiEvent; not asyncProcessing.
    EXPECT_EQ(host.parameterDisplay(fixture::kHostCan), "14");
    host.stopProcess();
    host.suspend();
    EXPECT_EQ(host.parameterDisplay(fixture::kTrace), "orb+spt-");
    EXPECT_EQ(host.effectName(), "Fixture");
    EXPECT_EQ(host.vendorString(), "Tolvane Tests");
    EXPECT_EQ(host.vendorVersion(), 7);
    EXPECT_EQ(host.canDo("receiveVstEvents"), 1);
    EXPECT_GE(host.counters().count(audioMasterWantMidi), 1u);
    EXPECT_EQ(host.counters().wantMidiFilter.load(), 1);
    host.close();
    EXPECT_FALSE(host.isLoaded());
    host.close();  // twice is harmless
}

TEST(PluginHost, CapabilityAnswersAreConfigurable) {
    HostConfig config;
    config.canDo.push_back({"asyncProcessing", CanDoAnswer::Yes});
    config.canDo.push_back({"receiveVstEvents", CanDoAnswer::No});
    PluginHost host(config);
    startUp(host);
    EXPECT_EQ(host.parameterDisplay(fixture::kHostCan), "11");  // async, IO changes, MIDI events
    AEffect* effect = host.effect();
    char unknown[] = "teleportation";
    EXPECT_EQ(PluginHost::callback(effect, audioMasterCanDo, 0, 0, unknown, 0.0f), 0);
    EXPECT_EQ(PluginHost::callback(effect, audioMasterCanDo, 0, 0, nullptr, 0.0f), 0);
    char no[] = "offline";
    EXPECT_EQ(PluginHost::callback(effect, audioMasterCanDo, 0, 0, no, 0.0f), -1);
}

TEST(PluginHost, LoadsAPluginThatExportsOnlyMain) {
    PluginHost host;
    std::string error;
    ASSERT_TRUE(host.load(TOLVANE_HOST_FIXTURE_MAIN_ONLY, error)) << error;
    EXPECT_EQ(host.effectName(), "Fixture");
}

TEST(PluginHost, RefusesMisbehavingPluginsWithoutCallingIntoThem) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {TOLVANE_HOST_FIXTURE_NULL, "returned no plug-in record"},
        // This record's functions abort: reaching any of them fails the test.
        {TOLVANE_HOST_FIXTURE_MAGIC, "wrong magic 0x12345678"},
        {TOLVANE_HOST_FIXTURE_NO_ENTRY, "exports neither VSTPluginMain nor main"},
        {TOLVANE_HOST_FIXTURE_COUNTS, "100000 outputs"},
        {TOLVANE_HOST_FIXTURE_NO_DISPATCHER, "no dispatcher"},
        {TOLVANE_HOST_TEST_DIR "/no_such_plugin.so", "cannot load"},
    };
    for (const Case& c : cases) {
        PluginHost host;
        std::string error;
        EXPECT_FALSE(host.load(c.path, error)) << c.path;
        EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        EXPECT_FALSE(host.isLoaded());
        EXPECT_EQ(host.numParams(), 0);
        host.close();
    }
}

TEST(PluginHost, TimeInformationFollowsTheTransport) {
    PluginHost host;
    startUp(host, 44100.0, 64);
    AEffect* effect = host.effect();
    host.beginBlock(0, 0);
    auto* time = reinterpret_cast<const VstTimeInfo*>(PluginHost::callback(effect, audioMasterGetTime, 0, 0xFFFF, nullptr, 0.0f));
    ASSERT_EQ(time, &host.timeInfo());
    const VstInt32 always = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid;
    EXPECT_EQ(time->flags & always, always);
    EXPECT_NE(time->flags & kVstTransportChanged, 0) << "the first block after the start";
    // Four and a half quarter notes at 120 BPM: 2.25 s.
    host.beginBlock(1, 99225);
    EXPECT_EQ(time->flags & kVstTransportChanged, 0);
    EXPECT_DOUBLE_EQ(time->samplePos, 99225.0);
    EXPECT_DOUBLE_EQ(time->sampleRate, 44100.0);
    EXPECT_DOUBLE_EQ(time->tempo, 120.0);
    EXPECT_DOUBLE_EQ(time->ppqPos, 4.5);
    EXPECT_DOUBLE_EQ(time->barStartPos, 4.0);
    EXPECT_EQ(time->timeSigNumerator, 4);
    EXPECT_EQ(time->timeSigDenominator, 4);
    EXPECT_EQ(time->samplesToNextClock, 0);  // 4.5 quarters lie on a MIDI clock
    EXPECT_EQ(PluginHost::callback(effect, audioMasterTempoAt, 0, 0, nullptr, 0.0f), 1200000);

    // The fixture's time mode writes the counter of the position it read: sample-exact.
    ASSERT_TRUE(host.setParameter(fixture::kMode, 1.0f));
    Buffers b(64);
    host.beginBlock(7, 7 * 64);
    host.processReplacing(b.inPtr.data(), b.outPtr.data(), 64);
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < 64; ++i) ASSERT_EQ(b.out[c][i], counterSample(7 * 64 + i, c)) << c << ":" << i;
    }
}

TEST(PluginHost, EventsGoToThePluginAndComeBack) {
    PluginHost host;
    startUp(host);
    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.byteSize = sizeof(note);
    note.deltaFrames = 3;
    note.midiData[0] = static_cast<char>(0x90);
    note.midiData[1] = 60;
    note.midiData[2] = 100;
    char dump[] = {static_cast<char>(0xF0), 0x7D, 0x01, 0x02, static_cast<char>(0xF7)};
    VstMidiSysexEvent sysex{};
    sysex.type = kVstSysExType;
    sysex.byteSize = sizeof(sysex);
    sysex.deltaFrames = 5;
    sysex.dumpBytes = sizeof(dump);
    sysex.sysexDump = dump;
    VstEvents list{};
    list.numEvents = 2;
    list.events[0] = reinterpret_cast<VstEvent*>(&note);
    list.events[1] = reinterpret_cast<VstEvent*>(&sysex);
    host.beginBlock(4, 256);
    EXPECT_EQ(host.processEvents(&list), 1);
    Buffers b(64);
    host.processReplacing(b.inPtr.data(), b.outPtr.data(), 64);

    const auto& received = host.receivedEvents();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].type, kVstMidiType);
    EXPECT_EQ(received[0].block, 4);
    EXPECT_EQ(received[0].deltaFrames, 3);
    EXPECT_EQ(received[0].midi[0], 0x90);
    EXPECT_EQ(received[0].midi[1], 60);
    EXPECT_EQ(received[0].midi[2], 100);
    EXPECT_EQ(received[1].type, kVstSysExType);
    EXPECT_EQ(received[1].deltaFrames, 5);
    ASSERT_EQ(received[1].sysexKept, sizeof(dump));
    EXPECT_EQ(std::memcmp(host.sysexBytes().data() + received[1].sysexOffset, dump, sizeof(dump)), 0);
    EXPECT_EQ(host.counters().midiReceived.load(), 1u);
    EXPECT_EQ(host.counters().sysexReceived.load(), 1u);
}

TEST(PluginHost, TheCallbackBoundsWhatAPluginHandsIt) {
    HostConfig config;
    config.keptEventCapacity = 2;
    config.vendor = std::string(100, 'v');
    PluginHost host(config);
    startUp(host);
    AEffect* effect = host.effect();
    auto call = [&](VstInt32 opcode, void* ptr, VstInt32 index = 0, VstIntPtr value = 0) {
        return PluginHost::callback(effect, opcode, index, value, ptr, 0.0f);
    };
    EXPECT_EQ(call(audioMasterProcessEvents, nullptr), 0);
    VstEvents negative{};
    negative.numEvents = -5;
    EXPECT_EQ(call(audioMasterProcessEvents, &negative), 0);
    EXPECT_EQ(host.counters().badEventLists.load(), 2u);

    // A null slot is skipped; a SysEx with no dump or an absurd length is counted, not copied.
    VstMidiSysexEvent noDump{};
    noDump.type = kVstSysExType;
    noDump.dumpBytes = 1 << 30;
    VstMidiSysexEvent negativeDump{};
    negativeDump.type = kVstSysExType;
    negativeDump.dumpBytes = -1;
    char byte = 0;
    negativeDump.sysexDump = &byte;
    VstEvents list{};
    list.numEvents = 2;
    list.events[0] = nullptr;
    list.events[1] = reinterpret_cast<VstEvent*>(&noDump);
    EXPECT_EQ(call(audioMasterProcessEvents, &list), 1);
    list.events[0] = reinterpret_cast<VstEvent*>(&negativeDump);
    EXPECT_EQ(call(audioMasterProcessEvents, &list), 1);
    EXPECT_EQ(host.counters().sysexReceived.load(), 3u);
    EXPECT_EQ(host.counters().eventsNotKept.load(), 1u);  // room for two
    EXPECT_EQ(host.counters().badEventLists.load(), 3u);
    ASSERT_EQ(host.receivedEvents().size(), 2u);
    EXPECT_EQ(host.receivedEvents()[0].sysexKept, 0u);
    EXPECT_EQ(host.receivedEvents()[0].sysexSize, 1 << 30);
    EXPECT_TRUE(host.sysexBytes().empty());

    char vendor[kVstMaxVendorStrLen + 8];
    std::memset(vendor, 'x', sizeof(vendor));
    EXPECT_EQ(call(audioMasterGetVendorString, vendor), 1);
    EXPECT_EQ(std::strlen(vendor), static_cast<std::size_t>(kVstMaxVendorStrLen - 1));
    EXPECT_EQ(vendor[kVstMaxVendorStrLen + 1], 'x') << "nothing written past the 64 bytes";
    EXPECT_EQ(call(audioMasterGetVendorString, nullptr), 0);
    EXPECT_EQ(call(audioMasterPinConnected, nullptr, 1, 0), 0);   // input 1 of 2: connected
    EXPECT_EQ(call(audioMasterPinConnected, nullptr, 2, 0), 1);   // input 2: not there
    EXPECT_EQ(call(audioMasterPinConnected, nullptr, -1, 1), 1);
    EXPECT_EQ(call(audioMasterGetCurrentProcessLevel, nullptr), 1);  // not inside a process call
    EXPECT_EQ(call(9999, nullptr), 0);
    EXPECT_EQ(host.counters().unknownOpcodes.load(), 1u);
    // No instance: only the version is answered.
    AEffect stranger{};
    EXPECT_EQ(PluginHost::callback(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f), 2400);
    EXPECT_EQ(PluginHost::callback(&stranger, audioMasterGetSampleRate, 0, 0, nullptr, 0.0f), 0);
}

TEST(PluginHost, FindsParametersByIndexOrNameAndRefusesOthers) {
    PluginHost host;
    startUp(host);
    EXPECT_EQ(host.findParameter("Gain").value_or(-1), fixture::kGain);
    EXPECT_EQ(host.findParameter("gAiN").value_or(-1), fixture::kGain);
    EXPECT_EQ(host.findParameter("4").value_or(-1), fixture::kOutputs);
    EXPECT_FALSE(host.findParameter("11"));
    EXPECT_FALSE(host.findParameter("-1"));
    EXPECT_FALSE(host.findParameter("Volume"));
    EXPECT_FALSE(host.findParameter(""));
    char text[] = "1.5";
    EXPECT_TRUE(host.setParameterText(fixture::kGain, text));
    EXPECT_FLOAT_EQ(host.getParameter(fixture::kGain), 0.75f);
    EXPECT_EQ(host.parameterDisplay(fixture::kGain), "1.500");
    char word[] = "loud";
    EXPECT_FALSE(host.setParameterText(fixture::kGain, word));
    EXPECT_FALSE(host.setParameter(99, 0.5f));
    EXPECT_FALSE(host.setParameterText(-1, text));
    EXPECT_EQ(host.parameterName(-1), "");
    EXPECT_EQ(host.getParameter(11), 0.0f);
    EXPECT_TRUE(host.setParameter(fixture::kSkip, 0.25f));
    EXPECT_EQ(host.parameterDisplay(fixture::kSkip), "4");
}

TEST(PluginHost, PinChangesAreTakenOnceAndOnlyWhenAccepted) {
    {
        PluginHost host;
        startUp(host);
        ASSERT_TRUE(host.setParameter(fixture::kOutputs, 1.0f));
        EXPECT_TRUE(host.takeIoChanged());
        EXPECT_FALSE(host.takeIoChanged());
        VstInt32 inputs = 0;
        VstInt32 outputs = 0;
        ASSERT_TRUE(host.readChannelCounts(inputs, outputs));
        EXPECT_EQ(outputs, 2) << "the fixture applies pins at the suspend";
        host.suspend();
        ASSERT_TRUE(host.readChannelCounts(inputs, outputs));
        EXPECT_EQ(outputs, 4);
    }
    HostConfig config;
    config.canDo.push_back({"acceptIOChanges", CanDoAnswer::No});
    PluginHost host(config);
    startUp(host);
    EXPECT_EQ(PluginHost::callback(host.effect(), audioMasterIOChanged, 0, 0, nullptr, 0.0f), 0);
    EXPECT_FALSE(host.takeIoChanged());
}

}  // namespace
}  // namespace tolvane::host
