// The reader of packed event records over an area and a count that the other process wrote.
//
// Input: a mode byte, a 32-bit value for the count, then a pattern for the area's bytes. The
// mode picks the count as given, near the area's end or below 65536, fills the area with the
// pattern once or repeated, and may place a SysEx record at the start whose end falls a few bytes
// either side of the area's end; so the boundaries are reached without luck. The area is a heap
// block of exactly the area's size, and every byte at or past the count (and the area's last byte)
// is poisoned, so that any read past the count or the area is reported. Each rebuilt event is
// checked against the record it came from, and its SysEx data is read through the handed-out
// pointer.
#include <algorithm>
#include <memory>

#include "link/slave_block.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const auto mode = input.value<std::uint8_t>();
    const auto raw = input.value<std::int32_t>();
    std::int32_t count = raw;
    switch (mode % 4) {
    case 1: count = kEventAreaSize - 8 + (raw & 15); break;  // 65528 .. 65543
    case 2: count = raw & 0xFFFF; break;
    default: break;
    }

    std::unique_ptr<std::uint8_t[]> area(new std::uint8_t[kEventAreaSize]());
    const std::size_t patternBytes = input.remaining();
    if (patternBytes > 0) {
        const std::size_t once = patternBytes < kEventAreaSize ? patternBytes : kEventAreaSize;
        std::memcpy(area.get(), input.rest(), once);
        if (mode & 4) {
            for (std::size_t filled = once; filled < kEventAreaSize; filled *= 2) {
                const std::size_t more = std::min(filled, kEventAreaSize - filled);
                std::memcpy(area.get() + filled, area.get(), more);
            }
        }
    }
    if (mode & 8) {
        // A SysEx record at the start ending 4 bytes before to 3 bytes after the area's end.
        const std::int32_t type = kVstSysExType;
        const std::int32_t dumpBytes = kEventAreaSize - 1 - kSysexRecordHeader - 4 + ((mode >> 4) & 7);
        std::memcpy(area.get() + 1, &type, 4);
        std::memcpy(area.get() + 1 + 16, &dumpBytes, 4);
    }

    // The reader may use bytes 0 .. min(count, kMaxEventBytes) - 1 and nothing else.
    const std::int32_t readable = std::clamp(count, 0, kMaxEventBytes);
    forbid(area.get() + readable, static_cast<std::size_t>(kEventAreaSize - readable));

    PackedEventReader reader(area.get(), count);
    UnpackedEvent event;
    std::int32_t previous = 0;
    std::uint32_t sink = 0;
    while (reader.next(event)) {
        const std::int32_t position = reader.offset();
        FUZZ_CHECK(position > previous && position <= readable);
        const std::uint8_t* record = area.get() + previous;
        if (event.event.type == kVstMidiType) {
            FUZZ_CHECK(position - previous == kMidiRecordSize);
            FUZZ_CHECK(std::memcmp(&event.midi, record + 1, kMidiRecordBody) == 0);
            FUZZ_CHECK(event.midi.reserved1 == 0 && event.midi.reserved2 == 0);
        } else {
            FUZZ_CHECK(event.event.type == kVstSysExType);
            const VstMidiSysexEvent& sysex = event.sysex;
            FUZZ_CHECK(sysex.dumpBytes >= 0);
            FUZZ_CHECK(position - previous == 1 + kSysexRecordHeader + sysex.dumpBytes);
            FUZZ_CHECK(std::memcmp(&sysex, record + 1, kSysexRecordHeader) == 0);
            FUZZ_CHECK(sysex.resvd1 == 0 && sysex.resvd2 == 0);
            const auto* dump = reinterpret_cast<const std::uint8_t*>(sysex.sysexDump);
            FUZZ_CHECK(dump == record + 1 + kSysexRecordHeader);
            for (std::int32_t i = 0; i < sysex.dumpBytes; ++i) {
                sink += dump[i];  // poisoned bytes would be reported here
            }
        }
        previous = position;
    }
    FUZZ_CHECK(reader.offset() == previous);
    FUZZ_CHECK(reader.endedEarly() || reader.offset() == readable);
    FUZZ_CHECK(!reader.next(event));  // the end is final

    allow(area.get(), kEventAreaSize);
    return static_cast<int>(sink & 0);
}
