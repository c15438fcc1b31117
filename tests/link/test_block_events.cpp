// Packing host events into an event area and reading them back, including the boundaries of
// the area and counts and records spoiled by the other process.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <vector>

#include "link/slave_block.h"
#include "link/slave_mem.h"

namespace {

// An event area on the heap of exactly the area's size, so that AddressSanitizer reports any
// access past it.
struct Area {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[kEventAreaSize]};
    std::int32_t count = 0;
    Area() { std::memset(bytes.get(), 0xEE, kEventAreaSize); }
    std::vector<std::uint8_t> snapshot() const { return {bytes.get(), bytes.get() + kEventAreaSize}; }
};

VstMidiEvent midiEvent(std::int32_t deltaFrames, std::uint8_t status, std::uint8_t note) {
    VstMidiEvent event;
    std::memset(&event, 0, sizeof event);
    event.type = kVstMidiType;
    event.byteSize = sizeof(VstMidiEvent);
    event.deltaFrames = deltaFrames;
    event.flags = kVstMidiEventIsRealtime;
    event.noteLength = 480;
    event.noteOffset = 12;
    event.midiData[0] = static_cast<char>(status);
    event.midiData[1] = static_cast<char>(note);
    event.midiData[2] = 0x64;
    event.midiData[3] = 0x01;
    event.detune = -7;
    event.noteOffVelocity = 0x40;
    event.reserved1 = 0x5A;  // not carried
    event.reserved2 = 0x5B;
    return event;
}

VstMidiSysexEvent sysexEvent(std::int32_t deltaFrames, std::vector<char>& data) {
    VstMidiSysexEvent event;
    std::memset(&event, 0, sizeof event);
    event.type = kVstSysExType;
    event.byteSize = sizeof(VstMidiSysexEvent);
    event.deltaFrames = deltaFrames;
    event.dumpBytes = static_cast<std::int32_t>(data.size());
    event.resvd1 = 0x1111;
    event.sysexDump = data.empty() ? nullptr : data.data();
    event.resvd2 = 0x2222;
    return event;
}

const VstEvent* asEvent(const void* event) { return static_cast<const VstEvent*>(event); }

TEST(EventPacking, MidiRecordIsTagAndFirstThirtyBytes) {
    Area area;
    const VstMidiEvent event = midiEvent(17, 0x90, 60);
    ASSERT_TRUE(packEventRecord(0, asEvent(&event), area.bytes.get(), &area.count));
    EXPECT_EQ(31, area.count);
    const std::uint8_t* r = area.bytes.get();
    EXPECT_EQ(0, r[0]);
    std::int32_t fields[6];
    std::memcpy(fields, r + 1, sizeof fields);
    EXPECT_EQ(1, fields[0]);
    EXPECT_EQ(32, fields[1]);
    EXPECT_EQ(17, fields[2]);
    EXPECT_EQ(1, fields[3]);
    EXPECT_EQ(480, fields[4]);
    EXPECT_EQ(12, fields[5]);
    const std::uint8_t tail[6] = {0x90, 60, 0x64, 0x01, 0xF9, 0x40};  // midiData, detune, noteOffVelocity
    EXPECT_EQ(0, std::memcmp(r + 25, tail, 6));
    EXPECT_EQ(0xEE, r[31]);  // the reserved bytes are not carried
}

TEST(EventPacking, SysexRecordCarriesHeaderGapAndData) {
    Area area;
    std::vector<char> data = {char(0xF0), 0x7E, 0x7F, 0x06, 0x01, char(0xF7)};
    VstMidiSysexEvent event = sysexEvent(5, data);
    std::memset(reinterpret_cast<char*>(&event) + 20, 0x33, 4);  // alignment gap, copied as found
    area.count = 3;  // records follow whatever is already there, unaligned
    ASSERT_TRUE(packEventRecord(9, asEvent(&event), area.bytes.get(), &area.count));
    EXPECT_EQ(3 + 25 + 6, area.count);
    const std::uint8_t* r = area.bytes.get() + 3;
    EXPECT_EQ(9, r[0]);
    EXPECT_EQ(0, std::memcmp(r + 1, &event, 24));
    EXPECT_EQ(0, std::memcmp(r + 25, data.data(), data.size()));
    EXPECT_EQ(0xEE, r[31]);
}

TEST(EventPacking, SysexWithoutDataNeverReadsItsPointer) {
    Area area;
    std::vector<char> none;
    VstMidiSysexEvent event = sysexEvent(0, none);
    // A pointer that faults if it were read.
    event.sysexDump = reinterpret_cast<char*>(static_cast<std::uintptr_t>(16));
    ASSERT_TRUE(packEventRecord(0, asEvent(&event), area.bytes.get(), &area.count));
    EXPECT_EQ(25, area.count);
}

TEST(EventPacking, LastByteOfTheAreaIsNeverUsed) {
    const VstMidiEvent midi = midiEvent(0, 0x80, 1);
    std::vector<char> none;
    std::vector<char> one = {0x12};
    const VstMidiSysexEvent emptySysex = sysexEvent(0, none);
    const VstMidiSysexEvent oneByteSysex = sysexEvent(0, one);
    struct Case { std::int32_t count; const void* event; bool packed; std::int32_t after; };
    const Case cases[] = {
        {65504, &midi, true, 65535},
        {65505, &midi, false, 65505},
        {65510, &emptySysex, true, 65535},
        {65510, &oneByteSysex, false, 65510},
        {65511, &emptySysex, false, 65511},
        {65535, &midi, false, 65535},
    };
    for (const Case& c : cases) {
        Area area;
        area.count = c.count;
        const auto before = area.snapshot();
        EXPECT_EQ(c.packed, packEventRecord(0, asEvent(c.event), area.bytes.get(), &area.count)) << c.count;
        EXPECT_EQ(c.after, area.count);
        if (!c.packed) {
            EXPECT_EQ(before, area.snapshot()) << "refusal wrote into the area at " << c.count;
        }
    }
}

TEST(EventPacking, RefusalsLeaveAreaAndCountUnchanged) {
    std::vector<char> data(8, 0x55);
    std::vector<VstMidiSysexEvent> refusedEvents;
    for (std::int32_t type : {0, 2, 3, 4, 5, 7, -1}) {
        VstMidiSysexEvent event = sysexEvent(0, data);
        event.type = type;
        refusedEvents.push_back(event);
    }
    VstMidiSysexEvent negative = sysexEvent(0, data);
    negative.dumpBytes = -1;
    refusedEvents.push_back(negative);
    negative.dumpBytes = INT32_MIN;
    refusedEvents.push_back(negative);
    VstMidiSysexEvent nullData = sysexEvent(0, data);
    nullData.sysexDump = nullptr;
    refusedEvents.push_back(nullData);
    VstMidiSysexEvent huge = sysexEvent(0, data);  // claims far more than the 8 bytes it has
    huge.dumpBytes = INT32_MAX;
    refusedEvents.push_back(huge);
    huge.dumpBytes = kEventAreaSize;
    refusedEvents.push_back(huge);

    for (const VstMidiSysexEvent& event : refusedEvents) {
        Area area;
        area.count = 100;
        const auto before = area.snapshot();
        EXPECT_FALSE(packEventRecord(0, asEvent(&event), area.bytes.get(), &area.count))
            << "type " << event.type << " dumpBytes " << event.dumpBytes;
        EXPECT_EQ(100, area.count);
        EXPECT_EQ(before, area.snapshot());
    }

    // A count spoiled by the other process is refused, never used as an index.
    const VstMidiEvent midi = midiEvent(0, 0x90, 1);
    for (std::int32_t spoiled : {-1, -31, INT32_MIN, 65536, 70000, INT32_MAX - 10, INT32_MAX}) {
        Area area;
        area.count = spoiled;
        const auto before = area.snapshot();
        EXPECT_FALSE(packEventRecord(0, asEvent(&midi), area.bytes.get(), &area.count)) << spoiled;
        EXPECT_EQ(spoiled, area.count);
        EXPECT_EQ(before, area.snapshot());
    }

    Area area;
    EXPECT_FALSE(packEventRecord(0, nullptr, area.bytes.get(), &area.count));
    EXPECT_FALSE(packEventRecord(0, asEvent(&midi), nullptr, &area.count));
    EXPECT_FALSE(packEventRecord(0, asEvent(&midi), area.bytes.get(), nullptr));
    EXPECT_EQ(0, area.count);
}

TEST(EventPacking, ChannelDefaultsToTheMasterEventArea) {
    auto block = std::make_unique<SlaveBlock>();
    CSlaveMem mem;
    const VstMidiEvent midi = midiEvent(3, 0x90, 64);
    EXPECT_FALSE(mem.packEvent(0, asEvent(&midi)));  // no block, no explicit area

    Area area;  // an explicit area and count need no block
    EXPECT_TRUE(mem.packEvent(0, asEvent(&midi), area.bytes.get(), &area.count));
    EXPECT_EQ(31, area.count);

    mem.block = block.get();
    EXPECT_TRUE(mem.packEvent(0, asEvent(&midi)));
    EXPECT_TRUE(mem.packEvent(0, asEvent(&midi)));
    EXPECT_EQ(62, block->masterEventBytes);
    EXPECT_EQ(0, std::memcmp(block->masterEvents + 32, &midi, 30));
    EXPECT_EQ(0, block->slaveEventBytes);

    EXPECT_TRUE(mem.packEvent(0, asEvent(&midi), block->slaveEvents, &block->slaveEventBytes));
    EXPECT_EQ(31, block->slaveEventBytes);
    EXPECT_EQ(62, block->masterEventBytes);
}

std::vector<UnpackedEvent> readAll(std::uint8_t* area, std::int32_t count, PackedEventReader* end = nullptr) {
    PackedEventReader reader(area, count);
    std::vector<UnpackedEvent> events;
    UnpackedEvent event;
    while (reader.next(event)) {
        events.push_back(event);
    }
    if (end != nullptr) {
        *end = reader;
    }
    return events;
}

TEST(EventReading, RebuildsWhatWasPacked) {
    Area area;
    std::vector<char> data = {char(0xF0), 0x41, 0x10, char(0xF7)};
    std::vector<char> none;
    const VstMidiEvent first = midiEvent(0, 0x90, 60);
    const VstMidiSysexEvent second = sysexEvent(7, data);
    const VstMidiSysexEvent third = sysexEvent(9, none);
    const VstMidiEvent fourth = midiEvent(31, 0x80, 60);
    for (const void* e : {static_cast<const void*>(&first), static_cast<const void*>(&second),
                          static_cast<const void*>(&third), static_cast<const void*>(&fourth)}) {
        ASSERT_TRUE(packEventRecord(0, asEvent(e), area.bytes.get(), &area.count));
    }

    PackedEventReader end(nullptr, 0);
    const auto events = readAll(area.bytes.get(), area.count, &end);
    ASSERT_EQ(4u, events.size());
    EXPECT_EQ(area.count, end.offset());
    EXPECT_FALSE(end.endedEarly());

    VstMidiEvent expectedMidi = first;
    expectedMidi.reserved1 = expectedMidi.reserved2 = 0;
    EXPECT_EQ(0, std::memcmp(&events[0].midi, &expectedMidi, sizeof expectedMidi));
    expectedMidi = fourth;
    expectedMidi.reserved1 = expectedMidi.reserved2 = 0;
    EXPECT_EQ(0, std::memcmp(&events[3].midi, &expectedMidi, sizeof expectedMidi));

    const VstMidiSysexEvent& sysex = events[1].sysex;
    EXPECT_EQ(kVstSysExType, sysex.type);
    EXPECT_EQ(7, sysex.deltaFrames);
    EXPECT_EQ(4, sysex.dumpBytes);
    EXPECT_EQ(0, sysex.resvd1);
    EXPECT_EQ(0, sysex.resvd2);
    // The data stays in the area: the pointer is into it, right after the record's header.
    EXPECT_EQ(reinterpret_cast<char*>(area.bytes.get()) + 31 + 25, sysex.sysexDump);
    EXPECT_EQ(0, std::memcmp(sysex.sysexDump, data.data(), data.size()));

    EXPECT_EQ(0, events[2].sysex.dumpBytes);
    EXPECT_EQ(9, events[2].sysex.deltaFrames);
    const auto* dump = reinterpret_cast<std::uint8_t*>(events[2].sysex.sysexDump);
    EXPECT_TRUE(dump >= area.bytes.get() && dump < area.bytes.get() + kEventAreaSize);
}

TEST(EventReading, CountOutsideTheAreaIsBounded) {
    Area area;
    const VstMidiEvent midi = midiEvent(0, 0x90, 60);
    ASSERT_TRUE(packEventRecord(0, asEvent(&midi), area.bytes.get(), &area.count));
    for (std::int32_t count : {0, -1, -31, INT32_MIN}) {
        EXPECT_TRUE(readAll(area.bytes.get(), count).empty()) << count;
    }

    // One SysEx record that fills the area up to its last usable byte: a count above the area
    // still reads it, and nothing past it.
    Area full;
    std::vector<char> data(kMaxEventBytes - 25, 0x11);
    const VstMidiSysexEvent big = sysexEvent(0, data);
    ASSERT_TRUE(packEventRecord(0, asEvent(&big), full.bytes.get(), &full.count));
    ASSERT_EQ(kMaxEventBytes, full.count);
    for (std::int32_t count : {kMaxEventBytes, kEventAreaSize, 70000, INT32_MAX}) {
        PackedEventReader end(nullptr, 0);
        EXPECT_EQ(1u, readAll(full.bytes.get(), count, &end).size()) << count;
        EXPECT_EQ(kMaxEventBytes, end.offset());
    }

    // A record that would reach into the last byte of the area is not read, whatever the count.
    std::uint8_t* r = full.bytes.get();
    const std::int32_t tooLong = kMaxEventBytes - 25 + 1;
    std::memcpy(r + 1 + 16, &tooLong, 4);
    PackedEventReader end(nullptr, 0);
    EXPECT_TRUE(readAll(r, INT32_MAX, &end).empty());
    EXPECT_TRUE(end.endedEarly());
}

TEST(EventReading, SpoiledRecordsEndTheReading) {
    // Each case: a good MIDI record, then a spoiled or cut one, then a good one that must not be read.
    struct Case { const char* what; std::int32_t type; std::int32_t dumpBytes; std::int32_t countCut; };
    const Case cases[] = {
        {"audio type", kVstAudioType, 0, 0},
        {"type 0", 0, 0, 0},
        {"negative type", -6, 0, 0},
        {"negative dumpBytes", kVstSysExType, -1, 0},
        {"most negative dumpBytes", kVstSysExType, INT32_MIN, 0},
        {"dumpBytes past the count", kVstSysExType, 40, 0},
        {"dumpBytes past the area", kVstSysExType, INT32_MAX, 0},
        {"MIDI record cut by the count", kVstMidiType, 0, 31 + 20},
        {"one byte left", kVstMidiType, 0, 31 + 1},
        {"too short for a SysEx header", kVstSysExType, 0, 31 + 24},
    };
    for (const Case& c : cases) {
        Area area;
        const VstMidiEvent midi = midiEvent(0, 0x90, 60);
        ASSERT_TRUE(packEventRecord(0, asEvent(&midi), area.bytes.get(), &area.count));
        ASSERT_TRUE(packEventRecord(0, asEvent(&midi), area.bytes.get(), &area.count));
        std::uint8_t* spoiled = area.bytes.get() + 31;
        std::memcpy(spoiled + 1, &c.type, 4);
        std::memcpy(spoiled + 1 + 16, &c.dumpBytes, 4);
        ASSERT_TRUE(packEventRecord(0, asEvent(&midi), area.bytes.get(), &area.count));
        const std::int32_t count = c.countCut != 0 ? c.countCut : area.count;

        PackedEventReader end(nullptr, 0);
        const auto events = readAll(area.bytes.get(), count, &end);
        EXPECT_EQ(1u, events.size()) << c.what;
        EXPECT_EQ(31, end.offset()) << c.what;
        EXPECT_TRUE(end.endedEarly()) << c.what;
    }
    EXPECT_TRUE(readAll(nullptr, 100).empty());
}

}  // namespace
