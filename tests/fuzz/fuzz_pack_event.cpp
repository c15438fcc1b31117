// Packing host events into an area whose count the other process may have spoiled.
//
// Input: a mode byte and a 32-bit value for the starting count (as given, within a few hundred
// bytes of the area's end, or 0), then up to 64 events, each a kind byte, the raw bytes of the
// event record and, for SysEx, its data. Each event lives in a heap block of exactly its
// record's size and its data in a block of exactly dumpBytes bytes (a small one when dumpBytes
// is out of reach), so reading more of the host's memory than the event promises is reported.
// The area's last byte is poisoned: it must never be used. A refusal must leave area and count
// as they were; a success must write exactly the record. When the count started at 0, the
// reader must then give back exactly the events packed.
#include <memory>
#include <vector>

#include "link/slave_block.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const auto mode = input.value<std::uint8_t>();
    const auto raw = input.value<std::int32_t>();
    std::int32_t count = raw;
    switch (mode % 4) {
    case 1: count = kMaxEventBytes - (raw & 0x1FF); break;
    case 2: count = 0; break;
    default: break;
    }
    const std::int32_t startCount = count;
    std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[kEventAreaSize]());
    forbid(area.get() + kMaxEventBytes, 1);
    std::vector<std::uint8_t> before(kEventAreaSize - 1);
    std::vector<std::vector<std::uint8_t>> packed;  // each record after its tag

    for (int n = 0; n < 64 && input.remaining() > 0; ++n) {
        const auto kind = input.value<std::uint8_t>();
        const auto tag = input.value<std::uint8_t>();
        // Mostly MIDI and SysEx, sometimes any type the input says.
        VstMidiSysexEvent raw;
        input.take(&raw, sizeof raw);
        std::size_t eventBytes = sizeof(VstEvent);
        switch (kind % 4) {
        case 0: raw.type = kVstMidiType; eventBytes = sizeof(VstMidiEvent); break;
        case 1: raw.type = kVstSysExType; eventBytes = sizeof(VstMidiSysexEvent); break;
        case 2: raw.type = kVstSysExType; eventBytes = sizeof(VstMidiSysexEvent);
                raw.dumpBytes = static_cast<std::int32_t>(kind) * 257 - 2000; break;  // near the limits
        default: if (raw.type == kVstSysExType) eventBytes = sizeof(VstMidiSysexEvent); break;
        }

        // The data the event points at: exactly dumpBytes bytes when that is a sensible size,
        // else a few bytes that must not be read, since such an event cannot fit.
        std::unique_ptr<std::uint8_t[]> dump;
        const bool sensible = raw.dumpBytes >= 0 && raw.dumpBytes <= 2 * kEventAreaSize;
        const std::size_t dumpSize = sensible ? static_cast<std::size_t>(raw.dumpBytes) : 4;
        if (raw.type == kVstSysExType && !(kind & 0x80)) {
            dump.reset(new std::uint8_t[dumpSize + 1]);
            input.take(dump.get(), dumpSize < input.remaining() ? dumpSize : input.remaining());
            if (!sensible) {
                forbid(dump.get(), dumpSize + 1);
            }
            raw.sysexDump = reinterpret_cast<char*>(dump.get());
        } else if (raw.type == kVstSysExType) {
            raw.sysexDump = nullptr;
        }

        std::unique_ptr<std::uint8_t[]> event(new std::uint8_t[eventBytes]);
        std::memcpy(event.get(), &raw, eventBytes);

        const std::int32_t oldCount = count;
        std::memcpy(before.data(), area.get(), before.size());
        const bool ok = packEventRecord(tag, reinterpret_cast<const VstEvent*>(event.get()), area.get(), &count);
        if (dump && !sensible) {
            allow(dump.get(), dumpSize + 1);
        }

        const bool isMidi = raw.type == kVstMidiType;
        const bool isSysex = raw.type == kVstSysExType;
        const std::int64_t dataBytes = isSysex ? raw.dumpBytes : 0;
        const std::int64_t bodyBytes = isMidi ? kMidiRecordBody : kSysexRecordHeader + dataBytes;
        const bool shouldFit = (isMidi || isSysex) && oldCount >= 0 && dataBytes >= 0 &&
                               (dataBytes == 0 || raw.sysexDump != nullptr) &&
                               static_cast<std::int64_t>(oldCount) + 1 + bodyBytes <= kMaxEventBytes;
        FUZZ_CHECK(ok == shouldFit);
        if (!ok) {
            FUZZ_CHECK(count == oldCount);
            FUZZ_CHECK(std::memcmp(before.data(), area.get(), before.size()) == 0);
            continue;
        }
        FUZZ_CHECK(count == oldCount + 1 + bodyBytes);
        const std::uint8_t* record = area.get() + oldCount;
        FUZZ_CHECK(record[0] == tag);
        FUZZ_CHECK(std::memcmp(record + 1, event.get(), isMidi ? kMidiRecordBody : kSysexRecordHeader) == 0);
        if (dataBytes > 0) {
            FUZZ_CHECK(std::memcmp(record + 1 + kSysexRecordHeader, dump.get(), static_cast<std::size_t>(dataBytes)) == 0);
        }
        FUZZ_CHECK(std::memcmp(before.data(), area.get(), static_cast<std::size_t>(oldCount)) == 0);
        packed.emplace_back(record + 1, record + 1 + bodyBytes);
    }

    if (startCount == 0) {
        PackedEventReader reader(area.get(), count);
        UnpackedEvent event;
        std::size_t index = 0;
        while (reader.next(event)) {
            FUZZ_CHECK(index < packed.size());
            const std::vector<std::uint8_t>& body = packed[index++];
            const std::size_t header = event.event.type == kVstMidiType ? kMidiRecordBody : kSysexRecordHeader;
            FUZZ_CHECK(std::memcmp(&event, body.data(), header) == 0);
            if (event.event.type == kVstSysExType && event.sysex.dumpBytes > 0) {
                FUZZ_CHECK(std::memcmp(event.sysex.sysexDump, body.data() + header,
                                       static_cast<std::size_t>(event.sysex.dumpBytes)) == 0);
            }
        }
        FUZZ_CHECK(index == packed.size());
        FUZZ_CHECK(!reader.endedEarly() && reader.offset() == count);
    }
    allow(area.get() + kMaxEventBytes, 1);
    return 0;
}
