// A hostile slave: random values in every field the slave may write (the attach and version
// bytes, args, numOutputs, the event count and records, the sample area), including counts far
// out of range, records whose types and lengths lie, the event count and blockSize changed under
// the master while it reads, and a slave that never stops writing. The host's buffers are exact-size
// heap blocks (AddressSanitizer reports any access past them) and the host checks that every
// SysEx dump it is handed lies inside the event area. Afterwards an honest slave gets exact audio.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <thread>

#include "tests/fault/fault_support.h"

using namespace fault;
using namespace std::chrono_literals;

namespace {

// Counts far outside their range as well as the edges of it.
std::int32_t hostileCount(std::mt19937& random) {
    static const std::int32_t edges[] = {INT32_MIN, -65536, -1, 0, 1, 2, 15, 16, 17, 4096, 44100, 44101,
                                         65535, 65536, 65537, 352800, 705600, 705601, 1 << 30, INT32_MAX};
    if (random() % 2) return edges[random() % std::size(edges)];
    return static_cast<std::int32_t>(random());
}

void putInt(std::uint8_t* at, std::int32_t value) { std::memcpy(at, &value, 4); }

// Fills slaveEvents with records that are right, cut short or lying, end to end.
std::int32_t hostileRecords(std::mt19937& random, std::uint8_t* area) {
    std::int32_t at = 0;
    while (at < kEventAreaSize - 64) {
        area[at] = static_cast<std::uint8_t>(random());  // the tag, which no reader looks at
        std::uint8_t* body = area + at + 1;
        for (int i = 0; i < 30; ++i) body[i] = static_cast<std::uint8_t>(random());
        switch (random() % 6) {
        case 0:
        case 1:  // a MIDI record with a random byteSize
            putInt(body, kVstMidiType);
            at += kMidiRecordSize;
            break;
        case 2: {  // a SysEx record telling the truth
            const std::int32_t dump = static_cast<std::int32_t>(random() % 200);
            putInt(body, kVstSysExType);
            putInt(body + 16, dump);
            at += 1 + kSysexRecordHeader + dump;
            break;
        }
        case 3:  // a SysEx record whose length lies
            putInt(body, kVstSysExType);
            putInt(body + 16, hostileCount(random));
            at += 1 + kSysexRecordHeader + static_cast<std::int32_t>(random() % 64);
            break;
        case 4:  // a type that has no record
            putInt(body, static_cast<std::int32_t>(random() % 8));
            at += 1 + static_cast<std::int32_t>(random() % 40);
            break;
        default:  // garbage
            at += 1 + static_cast<std::int32_t>(random() % 40);
            break;
        }
    }
    return at;
}

class HostileSlave : public ::testing::Test {
protected:
    FaultHost host;
    SettingsSandbox sandbox;
};

}  // namespace

TEST_F(HostileSlave, RandomValuesInEveryFieldItMayWrite) {
    const std::uint32_t seed = testSeed();
    FaultSlave slave(faultSlaveNumber());
    Plugin plugin(sandbox, host, 2, 4);
    plugin.renumber(slave.number);
    ASSERT_TRUE(plugin.recover(5s));

    std::atomic<std::uint64_t> faults{0};
    std::mt19937 slaveRandom(seed);
    slave.setHandler([&](SlaveBlock& block, std::int32_t command) {
        std::mt19937& r = slaveRandom;
        ScriptedSlave::passThrough(block, command);
        // Every field the slave writes, each one hostile in some answers.
        if (r() % 3 == 0) block.numOutputs = hostileCount(r);
        if (r() % 3 == 0) block.blockSize = hostileCount(r);  // the master's field, changed under it
        if (r() % 4 == 0) storeEventCount(block.masterEventBytes, hostileCount(r));
        if (r() % 2 == 0) {
            const std::int32_t used = hostileRecords(r, block.slaveEvents);
            storeEventCount(block.slaveEventBytes, r() % 3 == 0 ? hostileCount(r) : used);
        }
        if (r() % 4 == 0)
            for (auto& byte : block.args) byte = static_cast<std::uint8_t>(r());
        if (r() % 8 == 0) {
            block.slaveVersion[0] = static_cast<std::uint8_t>(r());
            block.slaveVersion[1] = static_cast<std::uint8_t>(r());
        }
        if (r() % 16 == 0) block.slaveAttached = static_cast<std::uint8_t>(r() | 1);  // any non-zero
        if (r() % 4 == 0)
            for (int i = 0; i < 1024; ++i) {
                std::uint32_t bits = r();
                std::memcpy(&block.outputs[r() % kSampleAreaSamples], &bits, 4);  // NaNs, denormals
            }
        ++faults;
        return r() % 96 != 0;  // and now and then no answer at all (each costs the full wait)
    });

    std::mt19937 hostRandom(seed + 1);
    VstMidiEvent note{};
    note.type = kVstMidiType;
    note.byteSize = sizeof note;
    note.midiData[0] = static_cast<char>(0x90);
    VstEvents list{1, 0, {reinterpret_cast<VstEvent*>(&note), nullptr}};
    for (int i = 0; i < 300; ++i) {
        const int frames = static_cast<int>(hostRandom() % 8192);
        plugin.dispatch(effProcessEvents, 0, 0, &list);  // packed against the slave's masterEventBytes
        plugin.block(frames);
        if (hostRandom() % 8 == 0) plugin.idle();
        if (!plugin.bridge->connected && hostRandom() % 2) plugin.idle();
    }
    EXPECT_EQ(host.badEvents, 0u);
    EXPECT_LT(plugin.audioMeter.longest, kAudioWaitBound + kSchedulingSlack);

    // An honest slave again: exact audio.
    slave.setHandler(ScriptedSlave::passThrough);
    EXPECT_TRUE(plugin.recover(6s));
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(plugin.block(1 + i * 97));
    std::ostringstream line;
    line << "answers=" << faults.load() << " blocks=" << plugin.blocks << " midi=" << host.midi.size()
         << " sysex=" << host.sysexCount << " bad_events=" << host.badEvents
         << " longest_audio_ms=" << plugin.audioMeter.longestMs();
    figure(line.str());
}

// A slave process is not bound by the hand-over: it may go on writing while the master reads.
// Here a second thread of the slave keeps rewriting the counts, the record lengths and blockSize
// for the whole run, so every read of the master races with a write.
TEST_F(HostileSlave, FieldsChangingWhileTheMasterReads) {
    const std::uint32_t seed = testSeed();
    FaultSlave slave(faultSlaveNumber());
    Plugin plugin(sandbox, host, 2, 2);
    plugin.renumber(slave.number);
    ASSERT_TRUE(plugin.recover(5s));
    SlaveBlock* block = slave.scripted().channel.block;

    // Honest records the master may hand on, whose lengths the racer keeps flipping.
    // The slave's own audio copy would use the raced blockSize: this one writes no audio.
    slave.setHandler([](SlaveBlock& b, std::int32_t command) {
        if (command != kCmdProcess) return true;
        storeEventCount(b.masterEventBytes, 0);
        std::int32_t used = 0;
        std::uint8_t dump[8] = {0xF0, 1, 2, 3, 4, 5, 6, 0xF7};
        VstMidiSysexEvent sysex{};
        sysex.type = kVstSysExType;
        sysex.byteSize = 48;
        sysex.dumpBytes = 8;
        sysex.sysexDump = reinterpret_cast<char*>(dump);
        while (packEventRecord(0, reinterpret_cast<VstEvent*>(&sysex), b.slaveEvents, &used)) {
        }
        storeEventCount(b.slaveEventBytes, used);
        return true;
    });
    std::atomic<bool> stop{false};
    std::thread racer([&] {
        std::mt19937 r(seed);
        const std::int32_t recordBytes = 1 + kSysexRecordHeader + 8;
        while (!stop) {
            for (int i = 0; i < 64; ++i) {
                // The dumpBytes of some record: honest one moment, huge or negative the next.
                const std::int32_t record = static_cast<std::int32_t>(r() % (kMaxEventBytes / recordBytes));
                std::uint8_t* at = block->slaveEvents + record * recordBytes + 1 + 16;
                const std::int32_t value = (r() & 1) ? 8 : hostileCount(r);
                std::memcpy(at, &value, sizeof value);  // records are not aligned
            }
            std::atomic_ref<std::int32_t>(block->numOutputs).store(hostileCount(r), std::memory_order_relaxed);
            std::atomic_ref<std::int32_t>(block->blockSize).store(hostileCount(r), std::memory_order_relaxed);
        }
    });
    for (int i = 0; i < 300; ++i) plugin.block(1 + static_cast<int>(i * 31 % 4096));
    stop = true;
    racer.join();
    EXPECT_EQ(host.badEvents, 0u);
    EXPECT_GT(host.sysexCount, 0u);

    slave.setHandler(ScriptedSlave::passThrough);
    EXPECT_TRUE(plugin.recover(6s));
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(plugin.block(64));
    figure("blocks=" + std::to_string(plugin.blocks) + " sysex=" + std::to_string(host.sysexCount) +
           " bad_events=" + std::to_string(host.badEvents));
}
