// A hostile host: random opcodes, indexes, values and options through the plug-in record, with
// null or exactly-smallest buffers (hostile_host.h), against a bridge whose link to an honest
// slave is brought back now and then. Nothing may crash or touch memory outside a buffer
// (AddressSanitizer in the Linux debug build), no call may wait beyond the design's bounds, and
// afterwards the plug-in, set back as a host would set it, streams exact audio again.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/fault/fault_support.h"
#include "tests/fault/hostile_host.h"

using namespace fault;
using namespace std::chrono_literals;

namespace {

struct RandomSource {
    explicit RandomSource(std::uint32_t seed) : random(seed) {}
    std::uint32_t next() { return static_cast<std::uint32_t>(random()); }
    std::mt19937 random;
};

}  // namespace

TEST(HostileHost, RandomCallsThroughTheRecord) {
    FaultHost host;
    // Asynchronous blocks are written after the processing call returns, into buffers the host
    // keeps for them; this host frees its buffers after each call, so it does not offer the mode
    // (the asynchronous path has fault tests of its own).
    host.canDoAnswers["asyncProcessing"] = -1;
    SettingsSandbox sandbox;
    FaultSlave slave(faultSlaveNumber());
    Plugin plugin(sandbox, host, 2, 2);
    plugin.renumber(slave.number);
    ASSERT_TRUE(plugin.recover(5s));

    RandomSource source(testSeed());
    AEffect* effect = plugin.bridge->getAeffect();
    constexpr int kCalls = 20000;
    WaitMeter calls;
    for (int i = 0; i < kCalls; ++i) {
        calls.time([&] { hostile::call(effect, source); });
        // The record itself is the host's to read: it must stay a valid record.
        ASSERT_EQ(effect->magic, kEffectMagic);
        ASSERT_GE(effect->numInputs, 0);
        ASSERT_LE(effect->numInputs, kMaxIoChannels);
        ASSERT_GE(effect->numOutputs, 1);
        ASSERT_LE(effect->numOutputs, kMaxIoChannels);
        // Now and then the link is moved back to the slave, as the dialog or a preset would.
        if (i % 1000 == 999) {
            plugin.renumber(slave.number);
            host.eventArea = plugin.bridge->channel.block->slaveEvents;
        }
    }
    EXPECT_LT(calls.longest, kAudioWaitBound + kSchedulingSlack);
    EXPECT_EQ(host.badEvents, 0u);

    // Set back as a host restoring a project would: synchronous, two pins each way, running.
    char two[] = "2";
    char on[] = "On";
    plugin.dispatch(effString2Parameter, 0, 0, on);
    plugin.dispatch(effString2Parameter, 4, 0, two);
    plugin.dispatch(effString2Parameter, 5, 0, two);
    plugin.dispatch(effMainsChanged, 0, 0);
    plugin.dispatch(effSetSampleRate, 0, 0, nullptr, 44100.0f);
    plugin.dispatch(effSetBlockSize, 0, 1024);
    plugin.dispatch(effMainsChanged, 0, 1);
    ASSERT_EQ(effect->numInputs, 2);
    ASSERT_EQ(effect->numOutputs, 2);
    plugin.renumber(slave.number);
    EXPECT_TRUE(plugin.recover(6s));
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(plugin.block(100 + i));
    std::ostringstream line;
    line << "calls=" << kCalls << " longest_call_ms=" << calls.longestMs() << " slave_commands="
         << slave.commands().size();
    figure(line.str());
}
