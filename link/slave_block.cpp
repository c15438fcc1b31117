// The shared block's reset, channel addressing and packed event records.
//
// Every size and index used here is computed in 64 bits from values that may have come from the
// other process, and checked against the fixed area sizes before any address is formed.
#include "link/slave_block.h"

#include <cstring>

namespace {

constexpr char kMagicBytes[4] = {'H', 'S', 'H', 'S'};

// Offsets inside a record's body (after the tag), as laid out in the 64-bit host records.
constexpr std::size_t kTypeOffset = 0;
constexpr std::size_t kDumpBytesOffset = 16;  // VstMidiSysexEvent::dumpBytes

static_assert(offsetof(VstMidiSysexEvent, dumpBytes) == kDumpBytesOffset);
static_assert(offsetof(VstMidiSysexEvent, resvd1) == kSysexRecordHeader);
static_assert(offsetof(VstMidiEvent, reserved1) == kMidiRecordBody);
static_assert(sizeof(UnpackedEvent) == sizeof(VstMidiSysexEvent));

std::int32_t readInt32(const std::uint8_t* at) {
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

const char* toString(SlaveCommand command) {
    switch (command) {
    case kCmdNone: return "None";
    case kCmdStart: return "Start";
    case kCmdStop: return "Stop";
    case kCmdSetIo: return "SetIo";
    case kCmdSetSampleRate: return "SetSampleRate";
    case kCmdSetBlockSize: return "SetBlockSize";
    case kCmdProcess: return "Process";
    case kCmdSuspend: return "Suspend";
    case kCmdResume: return "Resume";
    case kCmdGetInfo: return "GetInfo";
    }
    return "unknown";
}

bool hasBlockMagic(const SlaveBlock& block) {
    return std::memcmp(&block.magic, kMagicBytes, sizeof kMagicBytes) == 0;
}

void resetSlaveBlock(SlaveBlock& block) {
    std::memcpy(&block.magic, kMagicBytes, sizeof kMagicBytes);
    releaseAttachByte(block.masterAttached);
    block.masterVersion[0] = 0;
    block.masterVersion[1] = 0;
    releaseAttachByte(block.slaveAttached);
    block.slaveVersion[0] = 0;
    block.slaveVersion[1] = 0;
    block.command = kCmdNone;
    block.reserved = 0;
    storeEventCount(block.masterEventBytes, 0);
    storeEventCount(block.slaveEventBytes, 0);
}

bool channelSetFits(std::int32_t blockSize, std::int32_t count) {
    if (blockSize < 0 || count < 0) {
        return false;
    }
    // Both factors are below 2^31 here, so the product fits in 64 bits.
    return static_cast<std::int64_t>(count) * channelStrideSamples(blockSize) <= kSampleAreaSamples;
}

const float* channelStart(const float* area, std::int32_t blockSize, std::int32_t channel,
                          std::int32_t count) {
    if (area == nullptr || blockSize <= 0 || channel < 0 || channel >= count ||
        !channelSetFits(blockSize, count)) {
        return nullptr;
    }
    return area + static_cast<std::int64_t>(channel) * channelStrideSamples(blockSize);
}

float* channelStart(float* area, std::int32_t blockSize, std::int32_t channel, std::int32_t count) {
    return const_cast<float*>(channelStart(static_cast<const float*>(area), blockSize, channel, count));
}

std::int32_t loadEventCount(std::int32_t& count) {
    return std::atomic_ref<std::int32_t>(count).load(std::memory_order_acquire);
}

void storeEventCount(std::int32_t& count, std::int32_t value) {
    std::atomic_ref<std::int32_t>(count).store(value, std::memory_order_release);
}

bool packEventRecord(std::uint8_t tag, const VstEvent* event, std::uint8_t* area, std::int32_t* count) {
    if (event == nullptr || area == nullptr || count == nullptr) {
        return false;
    }
    const auto* source = reinterpret_cast<const std::uint8_t*>(event);
    std::int64_t headerBytes = 0;
    std::int64_t dataBytes = 0;
    const std::uint8_t* data = nullptr;
    if (event->type == kVstMidiType) {
        headerBytes = kMidiRecordBody;
    } else if (event->type == kVstSysExType) {
        headerBytes = kSysexRecordHeader;
        dataBytes = readInt32(source + kDumpBytesOffset);
        if (dataBytes < 0) {
            return false;
        }
        if (dataBytes > 0) {
            char* dump;
            std::memcpy(&dump, source + offsetof(VstMidiSysexEvent, sysexDump), sizeof dump);
            if (dump == nullptr) {
                return false;
            }
            data = reinterpret_cast<const std::uint8_t*>(dump);
        }
    } else {
        return false;
    }

    // The count lives in shared memory: read it once and bound it before it becomes an index.
    const std::int32_t used = loadEventCount(*count);
    if (used < 0 || used > kMaxEventBytes) {
        return false;
    }
    const std::int64_t after = static_cast<std::int64_t>(used) + 1 + headerBytes + dataBytes;
    if (after > kMaxEventBytes) {
        return false;
    }

    std::uint8_t* record = area + used;
    record[0] = tag;
    std::memcpy(record + 1, source, static_cast<std::size_t>(headerBytes));
    if (dataBytes > 0) {
        std::memcpy(record + 1 + headerBytes, data, static_cast<std::size_t>(dataBytes));
    }
    storeEventCount(*count, static_cast<std::int32_t>(after));
    return true;
}

PackedEventReader::PackedEventReader(std::uint8_t* area, std::int32_t count)
    : area(area), end(0), position(0), broken(false) {
    // A negative count reads as an empty area; a larger one than the area allows is cut to the
    // bytes a record may ever occupy, so that no record is read past the area.
    if (area != nullptr && count > 0) {
        end = count < kMaxEventBytes ? count : kMaxEventBytes;
    }
}

bool PackedEventReader::next(UnpackedEvent& out) {
    if (broken || position >= end) {
        return false;
    }
    const std::int64_t remaining = static_cast<std::int64_t>(end) - position;
    const std::uint8_t* body = area + position + 1;  // past the tag, which is not looked at
    // The type is needed to know the record's length; the shortest body is the SysEx header.
    if (remaining < 1 + kSysexRecordHeader) {
        broken = true;
        return false;
    }
    const std::int32_t type = readInt32(body + kTypeOffset);
    std::int64_t recordBytes = 0;
    if (type == kVstMidiType) {
        recordBytes = 1 + kMidiRecordBody;
        if (recordBytes > remaining) {
            broken = true;
            return false;
        }
        std::memset(&out, 0, sizeof out);
        std::memcpy(&out.midi, body, kMidiRecordBody);
        out.midi.type = type;  // as checked: the other process may have changed it since
    } else if (type == kVstSysExType) {
        const std::int32_t dumpBytes = readInt32(body + kDumpBytesOffset);
        recordBytes = 1 + kSysexRecordHeader + static_cast<std::int64_t>(dumpBytes);
        if (dumpBytes < 0 || recordBytes > remaining) {
            broken = true;
            return false;
        }
        std::memset(&out, 0, sizeof out);
        std::memcpy(&out.sysex, body, kSysexRecordHeader);
        // The copy reads the record a second time, and the other process may have rewritten it
        // in between: the event keeps the type and length that were checked, so that a dump
        // handed on never reaches past the count.
        out.sysex.type = type;
        out.sysex.dumpBytes = dumpBytes;
        // The record's body ends at most at kMaxEventBytes, so this address lies inside the area
        // even for a record without data.
        out.sysex.sysexDump = reinterpret_cast<char*>(area + position + 1 + kSysexRecordHeader);
    } else {
        // No other type has a known length: the rest of the area cannot be told apart.
        broken = true;
        return false;
    }
    position += static_cast<std::int32_t>(recordBytes);
    return true;
}
