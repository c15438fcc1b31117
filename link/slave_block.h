// The shared block between the plug-in (master) and the slave process: its fixed layout,
// the command codes, the audio stride rule and the packed event records.
//
// Every field lies at a fixed byte offset; the struct below is laid over a mapped view of
// exactly kSlaveBlockSize bytes and is checked field by field at compile time. Both sides of the
// link may be faulty: every count read from the block is bounded before it is used as a size or
// an index (see the helpers below).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "frame/vst_abi.h"

constexpr std::size_t kSlaveBlockSize = 5776176;
constexpr std::int32_t kEventAreaSize = 65536;        // bytes in each event area
constexpr std::int32_t kMaxEventBytes = kEventAreaSize - 1;  // the last byte is never used
constexpr std::int32_t kSampleAreaSamples = 705600;   // float32 samples in each audio area
constexpr std::int32_t kMaxLinkChannels = 16;
constexpr std::int32_t kMaxLinkFrames = kSampleAreaSamples / kMaxLinkChannels;  // 44100
constexpr std::uint32_t kBlockMagic = 0x53485348;      // "HSHS"
constexpr std::int32_t kArgsSize = 256;

// Protocol version the master writes into masterVersion.
constexpr std::uint8_t kMasterVersionMajor = 1;
constexpr std::uint8_t kMasterVersionMinor = 8;

// Command codes; the payload each carries in `args` is noted beside it.
enum SlaveCommand : std::int32_t {
    kCmdNone = 0,            // only the reset writes it
    kCmdStart = 1,           // none; answered by the wake-up alone, picked up by the processing call
    kCmdStop = 2,            // none
    kCmdSetIo = 5,           // int32 inputs, int32 outputs, int32 1, int32 1
    kCmdSetSampleRate = 7,   // float32 Hz
    kCmdSetBlockSize = 8,    // int32 frames (host's maximum block size)
    kCmdProcess = 11,        // VstTimeInfo (88 bytes) when the host gave one; audio header, inputs, events
    kCmdSuspend = 12,        // none
    kCmdResume = 13,         // none
    kCmdGetInfo = 16,        // none; slave answers 12 bytes in args, leaving command at 16
};
const char* toString(SlaveCommand command);

// Layout of the block. Written-by / read-by rules are noted per field.
struct SlaveBlock {
    std::uint32_t magic;               // "HSHS" once reset; checked by whoever maps it
    std::uint8_t masterAttached;       // master's attach byte (taken with compare-and-swap)
    std::uint8_t masterVersion[2];     // master writes 1, 8
    std::uint8_t slaveAttached;        // slave's attach byte
    std::uint8_t slaveVersion[2];      // written by the slave, read by nobody on the master side
    std::uint8_t padding[2];           // never written by the master, not touched by the reset
    std::int32_t command;              // master writes; slave reads
    std::int32_t reserved;             // cleared by the reset only
    std::uint8_t args[kArgsSize];      // command arguments and the slave's answer
    std::int32_t masterEventBytes;     // master appends, slave empties
    std::uint8_t masterEvents[kEventAreaSize];
    std::int32_t slaveEventBytes;      // slave fills, master empties after reading
    std::uint8_t slaveEvents[kEventAreaSize];
    std::int32_t numInputs;            // master, every processing call
    std::int32_t blockSize;            // master, every processing call; sets the channel stride
    std::int32_t numOutputs;           // slave: output channels it wrote
    std::uint8_t unnamed[8];           // never touched by the master
    float inputs[kSampleAreaSamples];  // master writes, slave reads
    float outputs[kSampleAreaSamples]; // slave writes, master reads
};

#define TOLVANE_BLOCK_OFFSET(field, off) static_assert(offsetof(SlaveBlock, field) == (off), "SlaveBlock." #field)
static_assert(sizeof(SlaveBlock) == kSlaveBlockSize);
static_assert(std::is_standard_layout_v<SlaveBlock> && std::is_trivially_copyable_v<SlaveBlock>);
TOLVANE_BLOCK_OFFSET(magic, 0);
TOLVANE_BLOCK_OFFSET(masterAttached, 4);
TOLVANE_BLOCK_OFFSET(masterVersion, 5);
TOLVANE_BLOCK_OFFSET(slaveAttached, 7);
TOLVANE_BLOCK_OFFSET(slaveVersion, 8);
TOLVANE_BLOCK_OFFSET(padding, 10);
TOLVANE_BLOCK_OFFSET(command, 12);
TOLVANE_BLOCK_OFFSET(reserved, 16);
TOLVANE_BLOCK_OFFSET(args, 20);
TOLVANE_BLOCK_OFFSET(masterEventBytes, 276);
TOLVANE_BLOCK_OFFSET(masterEvents, 280);
TOLVANE_BLOCK_OFFSET(slaveEventBytes, 65816);
TOLVANE_BLOCK_OFFSET(slaveEvents, 65820);
TOLVANE_BLOCK_OFFSET(numInputs, 131356);
TOLVANE_BLOCK_OFFSET(blockSize, 131360);
TOLVANE_BLOCK_OFFSET(numOutputs, 131364);
TOLVANE_BLOCK_OFFSET(unnamed, 131368);
TOLVANE_BLOCK_OFFSET(inputs, 131376);
TOLVANE_BLOCK_OFFSET(outputs, 2953776);
static_assert(offsetof(SlaveBlock, inputs) % 16 == 0 && offsetof(SlaveBlock, outputs) % 16 == 0,
              "sample areas start on 16-byte boundaries");
static_assert(alignof(SlaveBlock) <= 16);

// The attach bytes are taken and given up with byte-wide atomics, and the two event counts are
// loaded and stored with 32-bit atomics, across processes: these must be lock-free (a lock in one
// process's memory means nothing to the other) and the fields aligned as the atomics need.
static_assert(std::atomic_ref<std::uint8_t>::is_always_lock_free &&
              std::atomic_ref<std::int32_t>::is_always_lock_free);
static_assert(offsetof(SlaveBlock, masterEventBytes) % std::atomic_ref<std::int32_t>::required_alignment == 0 &&
              offsetof(SlaveBlock, slaveEventBytes) % std::atomic_ref<std::int32_t>::required_alignment == 0);

// ---- Attach bytes ----------------------------------------------------------------------------
//
// Each side's attach byte is taken with one compare-and-swap from 0 to 1, so that of two
// processes attaching at the same instant exactly one wins; giving it up is one atomic store.

// [any thread] True when this call changed the byte from 0 to 1; false when it was already set.
inline bool takeAttachByte(std::uint8_t& byte) {
    std::uint8_t expected = 0;
    return std::atomic_ref<std::uint8_t>(byte).compare_exchange_strong(expected, 1);
}
// [any thread]
inline void releaseAttachByte(std::uint8_t& byte) { std::atomic_ref<std::uint8_t>(byte).store(0); }
// [audio thread ok] Any non-zero value counts as attached.
inline bool attachByteSet(std::uint8_t& byte) {
    return std::atomic_ref<std::uint8_t>(byte).load(std::memory_order_acquire) != 0;
}

// ---- Reset -----------------------------------------------------------------------------------

// [any thread] True when the block's first four bytes read "HSHS".
bool hasBlockMagic(const SlaveBlock& block);
// [any thread] Writes the magic, clears the six attach and version bytes at offsets 4 to 9,
// `command`, `reserved` and both event counts. Everything else (args, the event areas, the
// audio header and the sample areas, the padding and the unnamed bytes) keeps its bytes.
void resetSlaveBlock(SlaveBlock& block);

// ---- Audio channels --------------------------------------------------------------------------
//
// Both sample areas hold channel after channel at a stride of `blockSize` raised to a multiple of
// 4 samples, so every channel starts 16-byte aligned. `blockSize` and the channel counts come from
// the block (the slave writes `numOutputs`), so they are bounded here before any address is formed.

// Stride in samples for a block of `blockSize` frames: 1..4 give 4, 5 gives 8, 44100 gives 44100.
// Computed in 64 bits, so no int32 value overflows; a negative blockSize gives a negative stride,
// which channelStart refuses.
constexpr std::int64_t channelStrideSamples(std::int32_t blockSize) {
    return (static_cast<std::int64_t>(blockSize) + 3) & ~std::int64_t{3};
}

// True when `count` channels of `blockSize` frames lie inside one sample area
// (count x stride <= 705600 samples) and neither value is negative.
bool channelSetFits(std::int32_t blockSize, std::int32_t count);

// [audio thread ok] Start of channel `channel` of a set of `count` channels of `blockSize`
// frames in `area` (the block's `inputs` or `outputs`), or null when that channel addresses no
// samples inside the area: channel outside 0..count-1, blockSize or count not positive, or
// count x stride beyond the area. Pass values read once from the block; a non-null result is
// valid for `blockSize` samples.
float* channelStart(float* area, std::int32_t blockSize, std::int32_t channel, std::int32_t count);
const float* channelStart(const float* area, std::int32_t blockSize, std::int32_t channel,
                          std::int32_t count);

// ---- Packed event records --------------------------------------------------------------------
//
// A record is one tag byte and a prefix of the host's event as it lies in memory: 30 bytes of a
// VstMidiEvent (its two reserved bytes are not carried), or 24 bytes of a VstMidiSysexEvent
// followed by its dumpBytes bytes of data. Records lie end to end, unaligned; the area's count
// field gives the bytes used, at most kMaxEventBytes.

constexpr std::int32_t kMidiRecordBody = 30;
constexpr std::int32_t kSysexRecordHeader = 24;
constexpr std::int32_t kMidiRecordSize = 1 + kMidiRecordBody;  // 31

// [audio or dispatch thread: no allocation, no system call] Appends one record for `event` to
// the event `area` (kEventAreaSize bytes) whose used length is `*count`. Refused, with area and
// count unchanged: a null event, area or count; a type other than MIDI (1) or SysEx (6); a SysEx
// event with a negative dumpBytes, or with data but a null sysexDump; a count found outside
// 0..kMaxEventBytes (the count lives in shared memory and the peer may have spoiled it); and a
// record that would not fit with the last byte of the area left unused. The count is read once.
bool packEventRecord(std::uint8_t tag, const VstEvent* event, std::uint8_t* area, std::int32_t* count);

// [audio thread ok] The event count of an area, loaded once (acquire) from shared memory, and
// stored back (release), e.g. to empty the area after reading it.
std::int32_t loadEventCount(std::int32_t& count);
void storeEventCount(std::int32_t& count, std::int32_t value);

// One host event rebuilt from a record; big enough for either kind. Hand `event` (or its
// address) to the host: every member starts at the same address.
union UnpackedEvent {
    VstEvent event;
    VstMidiEvent midi;
    VstMidiSysexEvent sysex;
};

// [audio thread ok: no allocation] Walks the records of an area that the other process filled.
// Whatever the count and the records say, nothing outside the area and nothing at or past the
// count is read:
//  - a count below 0 reads as an empty area; a count above kMaxEventBytes is cut to
//    kMaxEventBytes (the last byte of the area is never part of a record);
//  - a record of a type other than 1 or 6 has no known length, so the reading ends there;
//  - a SysEx record with a negative dumpBytes, or one whose data would run past the count, ends
//    the reading, as does any record cut short by the count.
// The rebuilt SysEx event's sysexDump points at its data inside the area (not copied), so the
// area must stay untouched while the event is in use; reserved fields are cleared.
class PackedEventReader {
public:
    PackedEventReader(std::uint8_t* area, std::int32_t count);

    // Rebuilds the next record into `out`; false at the end of the records or at the first one
    // that cannot be read whole (then `out` is left as it was).
    bool next(UnpackedEvent& out);

    // Bytes of the area consumed by the records read so far.
    std::int32_t offset() const { return position; }
    // True when the reading ended at a record that could not be read, not at the count.
    bool endedEarly() const { return broken; }

private:
    std::uint8_t* area;
    std::int32_t end;       // bytes available to read, 0..kMaxEventBytes
    std::int32_t position;  // start of the next record
    bool broken;
};
