// The shared block between the plug-in (master) and the slave process: its fixed layout,
// the command codes, the audio stride rule and the packed event records.
//
// Every field lies at a fixed byte offset; the struct below is laid over a mapped view of
// exactly kSlaveBlockSize bytes and is checked field by field at compile time. Both sides of the
// link may be faulty: every count read from the block is bounded before it is used as a size or
// an index (see the helpers below).
#pragma once

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
