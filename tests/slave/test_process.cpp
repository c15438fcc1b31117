// The slave over the real named objects: CSlaveServer in a thread of this process, and the
// tolvane-slave program as a child process, each driven by a master written here that follows
// the plug-in's calling order (attach, version, one command at a time, 100 ms answer waits).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "link/slave_shmem.h"
#include "tests/support/child_program.h"
#include "tests/slave/slave_test_block.h"
#include "tests/slave/slave_test_master.h"
#include "tools/slave/slave_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// Slave numbers of this test process only, so that parallel runs never share objects.
std::int32_t uniqueSlaveNumber(int which) { return 1000000 + (testProcessId() % 100000) * 10 + which; }

// One processing round trip with `ins` channels of `frames` frames, channel i holding
// i + f / 1000, and the given events packed into masterEvents.
bool processBlock(CTestMaster& master, std::int32_t ins, std::int32_t frames, const std::vector<const VstEvent*>& events) {
    SlaveBlock& block = master.block();
    for (const VstEvent* event : events)
        if (!packEventRecord(0, event, block.masterEvents, &block.masterEventBytes)) return false;
    VstTimeInfo time{};
    time.sampleRate = 48000.0;
    std::memcpy(block.args, &time, sizeof time);
    block.numInputs = ins;
    block.blockSize = frames;
    for (std::int32_t i = 0; i < ins; ++i) {
        float* channel = channelStart(block.inputs, frames, i, ins);
        for (std::int32_t f = 0; f < frames; ++f) channel[f] = static_cast<float>(i) + static_cast<float>(f) / 1000.0f;
    }
    return master.send(kCmdProcess, 2100);
}

TEST(SlaveServer, ServesInAThreadAndReleasesWithinAWaitOfTheStop) {
    const std::int32_t n = uniqueSlaveNumber(0);
    std::string error;
    auto processor = makeProcessor("gain:0", error);
    CSlaveServer server(n, *processor);
    std::mutex seenLock;
    std::vector<std::int32_t> seen;
    server.setObserver([&](std::int32_t command, const SlaveSettings&) {
        std::lock_guard<std::mutex> hold(seenLock);
        seen.push_back(command);
    });
    {
        CTestMaster master(n);
        ASSERT_TRUE(master.attach());
        EXPECT_FALSE(master.send(kCmdSetIo, 10));  // no slave yet: refused, nothing written
        ASSERT_TRUE(server.open()) << server.error();

        // A second slave on the same number is refused and leaves the first one's byte alone.
        CSlaveServer second(n, *processor);
        EXPECT_FALSE(second.open());
        EXPECT_NE(second.error().find("another slave"), std::string::npos);
        second.close();
        EXPECT_TRUE(master.channel.isSlaveAttached());

        std::uint8_t major = 0, minor = 0;
        master.channel.readSlaveVersion(major, minor);
        EXPECT_EQ(major, kSlaveVersionMajor);
        EXPECT_EQ(minor, kSlaveVersionMinor);

        std::atomic<bool> stop{false};
        std::thread serving([&] { server.serve(stop); });
        EXPECT_TRUE(master.sendSetIo(1, 3));
        EXPECT_TRUE(master.start());
        EXPECT_TRUE(processBlock(master, 1, 32, {}));
        EXPECT_EQ(master.block().numOutputs, 3);
        EXPECT_EQ(channelStart(master.block().outputs, 32, 0, 3)[31], 0.031f);
        EXPECT_EQ(channelStart(master.block().outputs, 32, 2, 3)[0], 0.0f);

        const auto stopAt = Clock::now();
        stop = true;
        serving.join();
        EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(kServeWaitMs * 3));
        server.close();
        EXPECT_FALSE(master.channel.isSlaveAttached());
        EXPECT_EQ(server.commandsServed(), 3u);
        std::lock_guard<std::mutex> hold(seenLock);
        EXPECT_EQ(seen, (std::vector<std::int32_t>{kCmdSetIo, kCmdStart}));  // Process is not reported
    }
    EXPECT_FALSE(linkObjectsExist(n));
}

TEST(SlaveServer, TakesOverOnlyWhenAskedFromASlaveThatVanished) {
    const std::int32_t n = uniqueSlaveNumber(1);
    std::string error;
    auto processor = makeProcessor("passthrough", error);
    {
        CTestMaster master(n);
        master.block().slaveAttached = 1;  // a slave that died without clearing its byte
        CSlaveServer server(n, *processor);
        EXPECT_FALSE(server.open());
        EXPECT_NE(server.error().find("--takeover"), std::string::npos);
        ASSERT_TRUE(server.open(true)) << server.error();
        EXPECT_TRUE(master.channel.isSlaveAttached());
        server.close();
        EXPECT_FALSE(master.channel.isSlaveAttached());
    }
    EXPECT_FALSE(linkObjectsExist(n));
}

class SlaveProgram : public ::testing::Test {
protected:
    static std::string program() { return TOLVANE_SLAVE_EXE; }
};

TEST_F(SlaveProgram, HelpAndBadArguments) {
    int code = -1;
    CChildProgram help;
    ASSERT_TRUE(help.start(program(), {"--help"}));
    ASSERT_TRUE(help.waitExit(10000, code));
    EXPECT_EQ(code, 0);
    EXPECT_NE(help.output().find("--process"), std::string::npos);

    for (std::vector<std::string> bad : {std::vector<std::string>{"--slave", "x"}, {"--process", "gain:999"}, {"--what"}}) {
        CChildProgram child;
        ASSERT_TRUE(child.start(program(), bad));
        ASSERT_TRUE(child.waitExit(10000, code));
        EXPECT_EQ(code, 2) << bad[0];
        EXPECT_NE(child.output().find("see --help"), std::string::npos) << child.output();
    }
}

// The whole life of the program against a master: attach, versions, the connect sequence
// answered within 100 ms each, the start answer, processing with audio and echoed events, a
// second slave refused, and the polite stop that clears slaveAttached and releases the objects.
TEST_F(SlaveProgram, AnswersAMasterAndReleasesOnStop) {
    const std::int32_t n = uniqueSlaveNumber(2);
    CTestMaster master(n);
    ASSERT_TRUE(master.attach());

    CChildProgram slave;
    ASSERT_TRUE(slave.start(program(), {"--slave", std::to_string(n), "--process", "echo"}));
    ASSERT_TRUE(master.waitForSlave(true, 20000)) << slave.output();

    std::uint8_t major = 0, minor = 0;
    master.channel.readSlaveVersion(major, minor);
    EXPECT_EQ(major, kSlaveVersionMajor);
    EXPECT_EQ(minor, kSlaveVersionMinor);

    // The connect sequence.
    EXPECT_FALSE(master.channel.waitEvent(0, nullptr));
    ASSERT_TRUE(master.sendSetIo(2, 2));
    putArgFloat(master.block(), 0, 48000.0f);
    ASSERT_TRUE(master.send(kCmdSetSampleRate));
    putArgInt(master.block(), 0, 256);
    ASSERT_TRUE(master.send(kCmdSetBlockSize));
    ASSERT_TRUE(master.send(kCmdGetInfo));
    EXPECT_EQ(master.block().command, kCmdGetInfo);
    EXPECT_EQ(std::memcmp(master.block().args, "TSLV", 4), 0);
    EXPECT_EQ(master.block().args[6], static_cast<std::uint8_t>(ProcessorKind::Echo));
    EXPECT_EQ(argInt(master.block(), 8), n);
    ASSERT_TRUE(master.start());
    ASSERT_TRUE(master.send(kCmdResume));

    // Blocks with audio both ways and events echoed.
    char dump[3] = {'\xF0', 0x11, '\xF7'};
    for (int round = 0; round < 20; ++round) {
        const std::int32_t frames = round % 2 ? 256 : 61;  // 61: stride 64, three unused samples
        VstMidiEvent note = midiEvent(round, 0x90, 60 + round, 100);
        VstMidiSysexEvent sysex = sysexEvent(round + 1, dump, 3);
        const std::int32_t before = master.block().masterEventBytes;
        ASSERT_TRUE(processBlock(master, 2, frames,
                                 {reinterpret_cast<const VstEvent*>(&note), reinterpret_cast<const VstEvent*>(&sysex)}))
            << "round " << round;
        SlaveBlock& block = master.block();
        EXPECT_EQ(before, 0);
        EXPECT_EQ(block.masterEventBytes, 0);
        ASSERT_EQ(block.numOutputs, 2);
        for (std::int32_t o = 0; o < 2; ++o) {
            const float* out = channelStart(block.outputs, frames, o, 2);
            const float* in = channelStart(block.inputs, frames, o, 2);
            ASSERT_EQ(std::memcmp(out, in, static_cast<std::size_t>(frames) * sizeof(float)), 0) << round;
        }
        ASSERT_EQ(block.slaveEventBytes, kMidiRecordSize + 1 + kSysexRecordHeader + 3);
        PackedEventReader reader(block.slaveEvents, block.slaveEventBytes);
        UnpackedEvent event;
        ASSERT_TRUE(reader.next(event));
        EXPECT_EQ(event.midi.deltaFrames, round);
        EXPECT_EQ(event.midi.midiData[1], 60 + round);
        ASSERT_TRUE(reader.next(event));
        EXPECT_EQ(event.sysex.deltaFrames, round + 1);
        EXPECT_EQ(std::memcmp(event.sysex.sysexDump, dump, 3), 0);
        block.slaveEventBytes = 0;  // the master empties the area after reading
    }

    // A second slave program on the same number is refused.
    {
        CChildProgram second;
        ASSERT_TRUE(second.start(program(), {"--slave", std::to_string(n)}));
        int code = -1;
        ASSERT_TRUE(second.waitExit(20000, code));
        EXPECT_EQ(code, 1);
        EXPECT_NE(second.output().find("another slave"), std::string::npos) << second.output();
        EXPECT_TRUE(master.channel.isSlaveAttached());
    }

    ASSERT_TRUE(master.send(kCmdStop));
    ASSERT_TRUE(slave.requestStop());
    int code = -1;
    ASSERT_TRUE(slave.waitExit(10000, code));
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(master.channel.isSlaveAttached());
    const std::string printed = slave.output();
    EXPECT_NE(printed.find("serving slave " + std::to_string(n)), std::string::npos) << printed;
    EXPECT_NE(printed.find("SetIo: 2 inputs, 2 outputs"), std::string::npos) << printed;
    EXPECT_NE(printed.find("SetSampleRate: 48000 Hz"), std::string::npos) << printed;
    EXPECT_NE(printed.find("SetBlockSize: 256 frames"), std::string::npos) << printed;
    EXPECT_NE(printed.find("released"), std::string::npos) << printed;
    // With the slave gone the master is refused again, as the plug-in would be.
    EXPECT_FALSE(master.send(kCmdSetIo, 10));
}

TEST_F(SlaveProgram, LeavesNoObjectsBehind) {
    const std::int32_t n = uniqueSlaveNumber(3);
    CChildProgram slave;
    ASSERT_TRUE(slave.start(program(), {"--slave", std::to_string(n)}));
    {
        CTestMaster master(n);
        ASSERT_TRUE(master.waitForSlave(true, 20000)) << slave.output();
    }
    ASSERT_TRUE(slave.requestStop());
    int code = -1;
    ASSERT_TRUE(slave.waitExit(10000, code));
    EXPECT_EQ(code, 0);
    EXPECT_FALSE(linkObjectsExist(n));
}

}  // namespace
