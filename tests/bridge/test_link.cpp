// The bridge against a scripted slave in a thread of the test: the connect sequence, the
// commands, the state changes and the audio and event streaming, through the plug-in record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bridge_fixture.h"

namespace {

VstIntPtr dispatch(CTolvane* b, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                   float opt = 0.0f) {
    AEffect* e = b->getAeffect();
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

// Host buffers for one block; outputs start as a sentinel so that untouched buffers show.
struct Buffers {
    Buffers(int ins, int outs, int frames) : in(ins, std::vector<float>(frames)), out(outs, std::vector<float>(frames)) {
        for (int c = 0; c < ins; ++c)
            for (int i = 0; i < frames; ++i) in[c][i] = static_cast<float>(c * 1000 + i + 1);
        for (auto& v : in) inPtr.push_back(v.data());
        for (auto& v : out) outPtr.push_back(v.data());
        reset();
    }
    void reset() {
        for (auto& v : out) std::fill(v.begin(), v.end(), kSentinel);
    }
    bool untouched(int c) const {
        for (float f : out[c])
            if (f != kSentinel) return false;
        return true;
    }
    static constexpr float kSentinel = -12345.0f;
    std::vector<std::vector<float>> in, out;
    std::vector<float*> inPtr, outPtr;
};

void processBlock(CTolvane* b, Buffers& buffers, int frames) {
    AEffect* e = b->getAeffect();
    e->processReplacing(e, buffers.inPtr.empty() ? nullptr : buffers.inPtr.data(), buffers.outPtr.data(), frames);
}

// Lets the processing call pick up the start answer once the slave has answered it, and the
// slave receive the host's on/off state that the pick-up sends.
void pickUp(CTolvane* b, ScriptedSlave& slave) {
    Buffers buffers(2, 2, 16);
    for (int i = 0; i < 200 && !b->connected; ++i) {
        processBlock(b, buffers, 16);
        if (!b->connected) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(b->connected);
    EXPECT_TRUE(slave.waitForCommand(b->suspended ? kCmdSuspend : kCmdResume));
}

class BridgeLink : public ::testing::Test {
protected:
    void SetUp() override {
        sandbox.write("ConfigDlg", 0);
        number = uniqueSlaveNumber();
    }
    // A bridge moved onto this test's slave number, with the host's state set as a DAW does.
    CTolvane* makeConnectedBridge(ScriptedSlave& slave) {
        CTolvane* b = makeBridge(sandbox);
        b->renumber(number);  // connects (the sequence runs against the waiting slave)
        EXPECT_TRUE(b->startPending);
        EXPECT_TRUE(slave.waitForCommand(kCmdStart));
        pickUp(b, slave);
        // One block through, so that the answer to the on/off state sent at the pick-up has been
        // taken and the next block of the test goes out at once.
        Buffers buffers(2, 2, 16);
        for (int i = 0; i < 200 && slave.countOf(kCmdProcess) == 0; ++i) {
            processBlock(b, buffers, 16);
            if (slave.countOf(kCmdProcess) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        EXPECT_GT(slave.countOf(kCmdProcess), 0);
        slave.clearLog();
        return b;
    }
    FakeHost host;
    SettingsSandbox sandbox;
    std::int32_t number = 0;
};

}  // namespace

TEST_F(BridgeLink, ConnectSequenceInOrderThenPickUp) {
    ScriptedSlave slave(number);
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);
    slave.waitForCommand(kCmdStart);
    EXPECT_EQ(slave.commands(), (std::vector<std::int32_t>{kCmdSetIo, kCmdSetSampleRate, kCmdSetBlockSize,
                                                           kCmdGetInfo, kCmdStart}));
    EXPECT_TRUE(b->startPending);
    EXPECT_FALSE(b->connected);
    EXPECT_EQ(std::memcmp(b->slaveInfo, "SCRIPTED", 8), 0);
    EXPECT_EQ(b->slaveInfoWord, 77);
    SlaveBlock* block = b->channel.block;
    EXPECT_EQ(block->masterAttached, 1);
    EXPECT_EQ(block->masterVersion[0], 1);
    EXPECT_EQ(block->masterVersion[1], 8);

    // The base's initial rate and block size went out, and the pin counts.
    slave.clearLog();
    Buffers buffers(2, 2, 8);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the answer arrive
    processBlock(b, buffers, 8);
    EXPECT_TRUE(b->connected);
    EXPECT_FALSE(b->startPending);
    EXPECT_TRUE(buffers.untouched(0));  // the pick-up call exchanges no audio
    // Suspended since construction: the state goes out right after the pick-up.
    EXPECT_TRUE(slave.waitForCommand(kCmdSuspend));
    EXPECT_EQ(slave.commands(), (std::vector<std::int32_t>{kCmdSuspend}));
    closeBridge(b);
}

TEST_F(BridgeLink, ResumeBeforeConnectIsSentAfterPickUp) {
    ScriptedSlave slave(number);
    CTolvane* b = makeBridge(sandbox);
    dispatch(b, effMainsChanged, 0, 1);
    EXPECT_FALSE(b->suspendStateSent);
    b->renumber(number);
    slave.waitForCommand(kCmdStart);
    slave.clearLog();
    pickUp(b, slave);
    EXPECT_EQ(slave.commands(), (std::vector<std::int32_t>{kCmdResume}));
    closeBridge(b);
}

TEST_F(BridgeLink, LateAnswerStopsTheSequence) {
    ScriptedSlave slave(number);
    slave.handler = [](SlaveBlock& block, std::int32_t command) {
        if (command == kCmdSetSampleRate) return false;  // never answered
        return ScriptedSlave::passThrough(block, command);
    };
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);
    EXPECT_EQ(slave.commands(), (std::vector<std::int32_t>{kCmdSetIo, kCmdSetSampleRate}));
    EXPECT_FALSE(b->startPending);
    closeBridge(b);
}

TEST_F(BridgeLink, RateAndBlockSizeReachTheSlave) {
    ScriptedSlave slave(number);
    std::atomic<float> rate{0};
    std::atomic<std::int32_t> frames{0};
    slave.handler = [&](SlaveBlock& block, std::int32_t command) {
        if (command == kCmdSetSampleRate) {
            float r;
            std::memcpy(&r, block.args, 4);
            rate = r;
        }
        if (command == kCmdSetBlockSize) {
            std::int32_t f;
            std::memcpy(&f, block.args, 4);
            frames = f;
        }
        return ScriptedSlave::passThrough(block, command);
    };
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);
    EXPECT_EQ(rate.load(), 44100.0f);
    EXPECT_EQ(frames.load(), 1024);
    pickUp(b, slave);
    dispatch(b, effSetSampleRate, 0, 0, nullptr, 48000.0f);
    dispatch(b, effSetBlockSize, 0, 256);
    EXPECT_EQ(rate.load(), 48000.0f);
    EXPECT_EQ(frames.load(), 256);
    EXPECT_EQ(dispatch(b, effSetBlockSizeAndSampleRate, 0, 512, nullptr, 96000.0f), 1);
    EXPECT_EQ(rate.load(), 96000.0f);
    EXPECT_EQ(frames.load(), 512);
    closeBridge(b);
}

TEST_F(BridgeLink, AudioComesBackWithTheStrideRule) {
    ScriptedSlave slave(number);
    CTolvane* b = makeConnectedBridge(slave);
    Buffers buffers(2, 2, 5);
    processBlock(b, buffers, 5);
    SlaveBlock* block = b->channel.block;
    EXPECT_EQ(block->numInputs, 2);
    EXPECT_EQ(block->blockSize, 5);
    EXPECT_EQ(block->inputs[8], 1001.0f);  // channel 1 starts at stride 8
    EXPECT_EQ(block->inputs[5], 0.0f);     // the stride's tail is silence
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 5; ++i) EXPECT_EQ(buffers.out[c][i], buffers.in[c][i]);
    // The time record went into args.
    VstTimeInfo seen;
    std::memcpy(&seen, block->args, sizeof seen);
    EXPECT_EQ(seen.tempo, 120.0);
    EXPECT_EQ(seen.samplePos, 4096.0);
    EXPECT_EQ(host.calls.back().opcode == audioMasterGetTime || host.count(audioMasterGetTime) > 0, true);
    closeBridge(b);
}

TEST_F(BridgeLink, NullInputIsSilenceAndMissingOutputsStayUntouched) {
    ScriptedSlave slave(number);
    slave.handler = [](SlaveBlock& block, std::int32_t command) {
        ScriptedSlave::passThrough(block, command);
        if (command == kCmdProcess) block.numOutputs = 1;
        return true;
    };
    CTolvane* b = makeConnectedBridge(slave);
    Buffers buffers(2, 2, 64);
    buffers.inPtr[0] = nullptr;
    processBlock(b, buffers, 64);
    for (float f : buffers.out[0]) EXPECT_EQ(f, 0.0f);
    EXPECT_TRUE(buffers.untouched(1));
    closeBridge(b);
}

TEST_F(BridgeLink, HostileSlaveCountsStayInsideTheBlock) {
    ScriptedSlave slave(number);
    std::atomic<int> mode{0};
    slave.handler = [&](SlaveBlock& block, std::int32_t command) {
        ScriptedSlave::passThrough(block, command);
        if (command != kCmdProcess) return true;
        switch (mode.load()) {
        case 0: block.numOutputs = 1 << 30; break;
        case 1: block.numOutputs = -7; break;
        case 2: block.blockSize = 1 << 30; break;
        case 3: block.blockSize = -1; break;
        case 4: block.slaveEventBytes = 1 << 30; std::memset(block.slaveEvents, 6, 64); break;
        case 5: block.slaveEventBytes = -100; break;
        }
        return true;
    };
    CTolvane* b = makeConnectedBridge(slave);
    Buffers buffers(2, 2, 64);
    for (int m = 0; m < 6; ++m) {
        mode = m;
        buffers.reset();
        processBlock(b, buffers, 64);
        EXPECT_TRUE(b->connected) << m;
        EXPECT_EQ(b->channel.block->slaveEventBytes, 0) << m;
    }
    closeBridge(b);
}

TEST_F(BridgeLink, EventsGoBothWays) {
    ScriptedSlave slave(number);
    std::vector<unsigned char> seen;
    std::mutex seenMutex;
    slave.handler = [&](SlaveBlock& block, std::int32_t command) {
        if (command == kCmdProcess) {
            // Echo every record back and remember what arrived.
            const std::int32_t n = block.masterEventBytes;
            {
                std::lock_guard<std::mutex> lock(seenMutex);
                seen.assign(block.masterEvents, block.masterEvents + n);
            }
            std::memcpy(block.slaveEvents, block.masterEvents, n);
            block.slaveEventBytes = n;
        }
        return ScriptedSlave::passThrough(block, command);
    };
    CTolvane* b = makeConnectedBridge(slave);
    dispatch(b, effMainsChanged, 0, 1);
    host.canDoAnswers["receiveVstEvents"] = 1;
    dispatch(b, effMainsChanged, 0, 1);
    EXPECT_TRUE(b->hostReceivesEvents);

    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.byteSize = 24;
    note.deltaFrames = 3;
    note.midiData[0] = static_cast<char>(0x90);
    note.midiData[1] = 60;
    note.midiData[2] = 100;
    char dump[] = {static_cast<char>(0xF0), 0x7D, 0x01, static_cast<char>(0xF7)};
    VstMidiSysexEvent sysex{};
    sysex.type = kVstSysExType;
    sysex.byteSize = 40;
    sysex.dumpBytes = 4;
    sysex.sysexDump = dump;
    VstEvent other{};
    other.type = kVstAudioType;
    struct {
        VstInt32 numEvents;
        VstIntPtr reserved;
        VstEvent* events[4];
    } list{4, 0, {reinterpret_cast<VstEvent*>(&note), reinterpret_cast<VstEvent*>(&sysex), &other,
                  reinterpret_cast<VstEvent*>(&note)}};
    EXPECT_EQ(dispatch(b, effProcessEvents, 0, 0, &list), 1);
    EXPECT_EQ(b->channel.block->masterEventBytes, 31 + 25 + 4);  // stops at the audio event

    host.events.clear();
    Buffers buffers(2, 2, 32);
    processBlock(b, buffers, 32);
    {
        std::lock_guard<std::mutex> lock(seenMutex);
        EXPECT_EQ(seen.size(), 60u);
    }
    ASSERT_EQ(host.events.size(), 2u);
    EXPECT_EQ(host.events[0].type, kVstMidiType);
    EXPECT_EQ(host.events[0].deltaFrames, 3);
    EXPECT_EQ(host.events[0].bytes[1], 60);
    EXPECT_EQ(host.events[1].type, kVstSysExType);
    EXPECT_EQ(host.events[1].bytes, std::vector<unsigned char>({0xF0, 0x7D, 0x01, 0xF7}));
    EXPECT_EQ(b->channel.block->slaveEventBytes, 0);
    closeBridge(b);
}

// Hosts index their buffers with deltaFrames and copy byteSize bytes: whatever the slave wrote,
// the events the host receives stay inside its block and their record.
TEST_F(BridgeLink, SlaveEventsStayInsideTheHostsBlockAndRecord) {
    ScriptedSlave slave(number);
    slave.handler = [](SlaveBlock& block, std::int32_t command) {
        if (command == kCmdProcess) {
            const struct { VstInt32 delta, size; } shapes[] = {
                {INT32_MIN, 24}, {2147483646, 32}, {-5, 1000}, {7, -1}};
            std::int32_t count = 0;
            for (const auto& shape : shapes) {
                VstMidiEvent note{};
                note.type = kVstMidiType;
                note.byteSize = shape.size;
                note.deltaFrames = shape.delta;
                packEventRecord(0, reinterpret_cast<VstEvent*>(&note), block.slaveEvents, &count);
            }
            block.slaveEventBytes = count;
        }
        return ScriptedSlave::passThrough(block, command);
    };
    CTolvane* b = makeConnectedBridge(slave);
    host.canDoAnswers["receiveVstEvents"] = 1;
    dispatch(b, effMainsChanged, 0, 1);
    host.events.clear();
    Buffers buffers(2, 2, 512);
    processBlock(b, buffers, 512);
    ASSERT_EQ(host.events.size(), 4u);
    const VstInt32 delta[] = {0, 511, 0, 7};
    const VstInt32 size[] = {24, 32, 24, 24};  // the hosts' sizeof (32) is kept; what lies outside is not
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(host.events[i].deltaFrames, delta[i]) << i;
        EXPECT_EQ(host.events[i].byteSize, size[i]) << i;
    }
    closeBridge(b);
}

TEST_F(BridgeLink, EventsAreDiscardedWhenTheHostTakesNone) {
    ScriptedSlave slave(number);
    slave.handler = [](SlaveBlock& block, std::int32_t command) {
        ScriptedSlave::passThrough(block, command);
        if (command == kCmdProcess) {
            VstMidiEvent m{};
            m.type = kVstMidiType;
            std::int32_t count = 0;
            packEventRecord(0, reinterpret_cast<VstEvent*>(&m), block.slaveEvents, &count);
            block.slaveEventBytes = count;
        }
        return true;
    };
    CTolvane* b = makeConnectedBridge(slave);
    dispatch(b, effMainsChanged, 0, 1);  // the host answers no event capability
    EXPECT_FALSE(b->hostReceivesEvents);
    host.clear();
    Buffers buffers(2, 2, 16);
    processBlock(b, buffers, 16);
    EXPECT_EQ(host.count(audioMasterProcessEvents), 0);
    EXPECT_EQ(b->channel.block->slaveEventBytes, 0);
    closeBridge(b);
}

TEST_F(BridgeLink, AsynchronousBlocksAreCollectedThroughThePosition) {
    host.canDoAnswers["asyncProcessing"] = 1;
    ScriptedSlave slave(number);
    slave.answerDelayMs = 0;
    CTolvane* b = makeConnectedBridge(slave);
    AEffect* e = b->getAeffect();
    e->setParameter(e, 0, 0.0f);
    ASSERT_FALSE(b->synchronous);
    slave.answerDelayMs = 50;
    Buffers buffers(2, 2, 16);
    processBlock(b, buffers, 16);
    EXPECT_TRUE(buffers.untouched(0));
    VstIntPtr position = dispatch(b, effGetCurrentPosition);
    EXPECT_EQ(position, 0);
    for (int i = 0; i < 200 && position == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        position = dispatch(b, effGetCurrentPosition);
    }
    EXPECT_EQ(position, 16);
    EXPECT_EQ(buffers.out[1][3], buffers.in[1][3]);
    buffers.reset();
    EXPECT_EQ(dispatch(b, effGetCurrentPosition), 16);  // later polls copy nothing again
    EXPECT_TRUE(buffers.untouched(0));
    closeBridge(b);
}

TEST_F(BridgeLink, OversizedHostBlockIsSplit) {
    ScriptedSlave slave(number);
    CTolvane* b = makeConnectedBridge(slave);
    const int frames = 400000;  // more than one sample area holds for two channels
    Buffers buffers(2, 2, frames);
    processBlock(b, buffers, frames);
    EXPECT_EQ(slave.countOf(kCmdProcess), 2);
    EXPECT_EQ(buffers.out[0][frames - 1], buffers.in[0][frames - 1]);
    EXPECT_EQ(buffers.out[1][352800], buffers.in[1][352800]);
    closeBridge(b);
}

TEST_F(BridgeLink, SlaveLeavingDropsTheConnection) {
    ScriptedSlave slave(number);
    CTolvane* b = makeConnectedBridge(slave);
    slave.stop();
    Buffers buffers(2, 2, 16);
    processBlock(b, buffers, 16);
    EXPECT_FALSE(b->connected);
    EXPECT_TRUE(buffers.untouched(0));
    closeBridge(b);
}

// A slave that stops answering costs the audio thread one answer wait; later calls only look
// for the answer. A slave that answers again is heard on the next call; one silent for the
// whole patience is given up, and a huge host block split into pieces waits once as a whole.
TEST_F(BridgeLink, SilentSlaveCostsOneWaitAcrossCalls) {
    ScriptedSlave slave(number);
    std::atomic<bool> silent{false};
    slave.handler = [&](SlaveBlock& block, std::int32_t command) {
        if (silent) return false;
        return ScriptedSlave::passThrough(block, command);
    };
    CTolvane* b = makeConnectedBridge(slave);
    silent = true;
    Buffers buffers(2, 2, 16);
    auto timed = [&](int frames, Buffers& host) {
        const auto start = std::chrono::steady_clock::now();
        processBlock(b, host, frames);
        return std::chrono::steady_clock::now() - start;
    };
    EXPECT_GE(timed(16, buffers), std::chrono::milliseconds(90));
    EXPECT_TRUE(b->connected);
    EXPECT_TRUE(buffers.untouched(0));
    std::chrono::steady_clock::duration longest{};
    for (int i = 0; i < 50; ++i) {
        longest = std::max(longest, timed(16, buffers));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_LT(longest, std::chrono::milliseconds(50));
    EXPECT_TRUE(b->connected);

    // The slave answers again (its late answer to the outstanding block first): audio is back.
    silent = false;
    slave.channel.signalEvent(true);
    bool back = false;
    for (int i = 0; i < 100 && !back; ++i) {
        buffers.reset();
        processBlock(b, buffers, 16);
        back = buffers.out[0][15] == buffers.in[0][15];
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(back);

    // Silent again, for longer than the patience: the link is given up without a long call.
    silent = true;
    const int frames = 2000000;  // pieces of the sample area, waited for once as a whole
    Buffers huge(2, 2, frames);
    EXPECT_LT(timed(frames, huge), std::chrono::milliseconds(1000));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    longest = {};
    while (b->connected && std::chrono::steady_clock::now() < deadline) {
        longest = std::max(longest, timed(16, buffers));
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(b->connected);
    EXPECT_LT(longest, std::chrono::milliseconds(50));
    closeBridge(b);
}

TEST_F(BridgeLink, HostWithoutIdlePausesReconnectsAfterALateAnswer) {
    ScriptedSlave slave(number);
    slave.handler = [](SlaveBlock&, std::int32_t) { return false; };
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);  // the first attempt: SetIo is late
    slave.clearLog();
    Buffers buffers(2, 2, 16);
    // A host that never idles: the processing call tries once, then waits about a second.
    for (int i = 0; i < 30; ++i) processBlock(b, buffers, 16);
    EXPECT_LE(slave.countOf(kCmdSetIo), 1);
    closeBridge(b);
}

TEST_F(BridgeLink, RenumberStopsTheOldSlaveWhateverTermSlaveSays) {
    ScriptedSlave slave(number);
    CTolvane* b = makeConnectedBridge(slave);
    AEffect* e = b->getAeffect();
    e->setParameter(e, 3, 0.0f);  // TrmSlave off
    std::int32_t other = uniqueSlaveNumber();
    ScriptedSlave second(other);
    b->renumber(other);
    EXPECT_TRUE(second.waitForCommand(kCmdStart));
    EXPECT_EQ(slave.commands(), (std::vector<std::int32_t>{kCmdStop}));
    EXPECT_EQ(slave.channel.block->masterAttached, 0);
    EXPECT_EQ(second.commands().size(), 5u);
    EXPECT_FALSE(b->suspendStateSent);  // the new slave is told the state at pick-up
    second.clearLog();
    pickUp(b, second);
    EXPECT_EQ(second.commands(), (std::vector<std::int32_t>{kCmdSuspend}));
    closeBridge(b);
}

TEST_F(BridgeLink, CloseStopsTheSlaveOnlyWhenAsked) {
    ScriptedSlave slave(number);
    CTolvane* b = makeConnectedBridge(slave);
    closeBridge(b);
    EXPECT_EQ(slave.commands(), (std::vector<std::int32_t>{kCmdStop}));
    EXPECT_EQ(slave.channel.block->masterAttached, 0);

    slave.clearLog();
    b = makeConnectedBridge(slave);
    AEffect* e = b->getAeffect();
    e->setParameter(e, 3, 0.0f);
    closeBridge(b);
    EXPECT_TRUE(slave.commands().empty());
    EXPECT_EQ(slave.channel.block->masterAttached, 0);
}

TEST_F(BridgeLink, IdleConnectsAndProcessingStopsTrying) {
    ScriptedSlave slave(number, false);
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);  // no slave attached yet
    dispatch(b, effIdle);
    EXPECT_TRUE(b->idleSeen);
    EXPECT_TRUE(slave.commands().empty());
    ASSERT_TRUE(slave.attach());
    Buffers buffers(2, 2, 16);
    processBlock(b, buffers, 16);  // idleSeen: the processing call does not connect
    EXPECT_TRUE(slave.commands().empty());
    dispatch(b, effIdle);
    EXPECT_TRUE(slave.waitForCommand(kCmdStart));
    EXPECT_EQ(slave.commands().size(), 5u);
    closeBridge(b);
}

// A second instance on the same slave number is refused the master role, and refused means
// nothing written: its rate, block size, events and Stop on close never reach the block that
// the first instance streams through.
TEST_F(BridgeLink, SecondMasterIsRefusedAndWritesNothing) {
    ScriptedSlave slave(number);
    CTolvane* first = makeConnectedBridge(slave);
    CTolvane* second = makeBridge(sandbox);
    second->renumber(number);
    EXPECT_FALSE(second->startPending);
    EXPECT_FALSE(second->channel.masterRole);
    SlaveBlock* block = slave.channel.block;
    const std::int32_t command = block->command;
    std::uint8_t args[sizeof block->args];
    std::memcpy(args, block->args, sizeof args);
    dispatch(second, effSetSampleRate, 0, 0, nullptr, 96000.0f);
    dispatch(second, effSetBlockSize, 0, 64);
    VstMidiEvent note{};
    note.type = kVstMidiType;
    VstEvents list{1, 0, {reinterpret_cast<VstEvent*>(&note), nullptr}};
    dispatch(second, effProcessEvents, 0, 0, &list);
    closeBridge(second);  // TrmSlave is on: a Stop would go out if it were not refused
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(slave.commands().empty());
    EXPECT_EQ(block->command, command);
    EXPECT_EQ(std::memcmp(block->args, args, sizeof args), 0);
    EXPECT_EQ(block->masterEventBytes, 0);
    EXPECT_EQ(block->masterAttached, 1);  // the first master keeps the block
    closeBridge(first);
}

// A block that could not be had (the shared-memory file system full, objects that are not
// ours) is opened again by the next idle call, which then connects.
TEST_F(BridgeLink, MissingBlockIsOpenedAgainByIdleCalls) {
    ScriptedSlave slave(number, false);
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);
    b->channel.closeChannel();  // as if the move to `number` had found no block
    ASSERT_TRUE(slave.attach());
    dispatch(b, effIdle);
    EXPECT_NE(b->channel.block, nullptr);
    EXPECT_TRUE(slave.waitForCommand(kCmdStart));
    closeBridge(b);
}

TEST_F(BridgeLink, SlowStartAnswerIsNotTakenAwayByIdleCalls) {
    ScriptedSlave slave(number);
    slave.handler = [](SlaveBlock& block, std::int32_t command) {
        if (command == kCmdStart) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return ScriptedSlave::passThrough(block, command);
    };
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);
    Buffers buffers(2, 2, 16);
    // The host idles every 20 ms and processes in between.
    for (int i = 0; i < 50 && !b->connected; ++i) {
        dispatch(b, effIdle);
        processBlock(b, buffers, 16);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(b->connected);
    EXPECT_EQ(slave.countOf(kCmdStart), 1);
    closeBridge(b);
}

TEST_F(BridgeLink, LostStartIsRetriedAfterASecond) {
    ScriptedSlave slave(number);
    std::atomic<bool> ignoreStart{true};
    slave.handler = [&](SlaveBlock& block, std::int32_t command) {
        if (command == kCmdStart && ignoreStart.exchange(false)) return false;
        return ScriptedSlave::passThrough(block, command);
    };
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);
    ASSERT_TRUE(b->startPending);
    Buffers buffers(2, 2, 16);
    // A host that never idles: the processing call gives up on the start after about a second
    // and connects again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!b->connected && std::chrono::steady_clock::now() < deadline) {
        processBlock(b, buffers, 16);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(b->connected);
    EXPECT_EQ(slave.countOf(kCmdStart), 2);
    closeBridge(b);
}

// A host that sets its rate right after the plug-in connected (the dialog connects in the
// constructor, the host then sets rate and block size) must not lose the start answer.
TEST_F(BridgeLink, CommandsRightAfterTheStartKeepTheStartAnswer) {
    ScriptedSlave slave(number);
    CTolvane* b = makeBridge(sandbox);
    b->renumber(number);
    ASSERT_TRUE(slave.waitForCommand(kCmdStart));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the start answer is in
    dispatch(b, effSetSampleRate, 0, 0, nullptr, 48000.0f);
    dispatch(b, effSetBlockSize, 0, 256);
    Buffers buffers(2, 2, 16);
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 100 && !b->connected; ++i) {
        processBlock(b, buffers, 16);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(b->connected);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500));
    EXPECT_EQ(slave.countOf(kCmdStart), 1);  // connected without a second sequence
    closeBridge(b);
}
