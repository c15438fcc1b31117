// The reference slave's command handling over one shared block, without any operating-system
// object: the serving loop calls handleCommand after each wake-up and then wakes the master.
// Everything read from the block comes from the master, which may be faulty: every count is
// read once and bounded before it is used as a size or an index.
//
// Thread tags (frame/thread_tags.h) in the slave: the serving thread takes the place of the
// audio thread. Process keeps the [audio thread] rules; the configuration commands have the
// [dispatch thread] allowance (they may let the processor allocate, well inside 100 ms).
#pragma once

#include <cstdint>

#include "link/slave_block.h"
#include "tools/slave/processor.h"

// Protocol version written into slaveVersion (the master's is 1.8; nobody on the master side
// reads ours).
constexpr std::uint8_t kSlaveVersionMajor = 1;
constexpr std::uint8_t kSlaveVersionMinor = 8;

// The GetInfo answer, 12 bytes at args+0 (command is left at kCmdGetInfo):
//   args+0..3  the characters 'T' 'S' 'L' 'V' (this reference slave)
//   args+4     tool version major, args+5 tool version minor
//   args+6     processor kind (ProcessorKind: 1 passthrough, 2 gain, 3 sine, 4 echo, 5 plug-in)
//   args+7     output channels in force (1..16)
//   args+8..11 int32 little-endian: the slave number served (-1 for the unnumbered objects)
constexpr char kInfoId[4] = {'T', 'S', 'L', 'V'};
constexpr std::uint8_t kToolVersionMajor = 1;
constexpr std::uint8_t kToolVersionMinor = 0;

constexpr std::int32_t kDefaultOutputs = 2;
constexpr std::int32_t kDefaultInputs = 2;
constexpr float kDefaultSampleRate = 44100.0f;
constexpr std::int32_t kDefaultMaxBlock = 1024;
constexpr float kMaxSampleRate = 10000000.0f;

// What the master has told the slave so far, already bounded.
struct SlaveSettings {
    std::int32_t numInputs = kDefaultInputs;    // SetIo inputs, 0..16
    std::int32_t numOutputs = kDefaultOutputs;  // SetIo outputs, 1..16: channels written per block
    float sampleRate = kDefaultSampleRate;      // SetSampleRate, finite and in (0, 10 MHz]
    std::int32_t maxBlockFrames = kDefaultMaxBlock;  // SetBlockSize, 1..kSampleAreaSamples
    bool started = false;    // Start seen and no Stop since
    bool suspended = false;  // Suspend seen and no Resume since
    std::uint64_t blocksProcessed = 0;
};

class CSlaveCore {
public:
    // The processor must outlive the core. Prepares it with the default settings.
    CSlaveCore(CProcessor& processor, std::int32_t slaveNumber);

    // [audio thread] for Process, [dispatch thread] for the other commands. Carries out the
    // command found in the block and writes its answer into the block; the caller then wakes
    // the master. Returns the code that was read (codes the master never sends are answered by
    // the wake-up alone).
    std::int32_t handleCommand(SlaveBlock& block);

    const SlaveSettings& settings() const { return current; }

private:
    void process(SlaveBlock& block);
    void prepareProcessor();

    CProcessor& processor;
    std::int32_t slaveNumber;
    SlaveSettings current;
};
