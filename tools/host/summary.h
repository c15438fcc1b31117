// The result of one run: what the host counted, and three ways to print it. The key=value and
// JSON forms use the same keys and are stable, for end-to-end tests and benchmarks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::host {

struct BlockTimeStats {
    double medianUs = 0.0;
    double p99Us = 0.0;  // nearest rank: the smallest time that at least 99 % of the blocks do not exceed
    double maxUs = 0.0;
    double meanUs = 0.0;
};

BlockTimeStats computeBlockTimeStats(std::vector<double> microseconds);

struct Summary {
    std::string plugin;
    std::string effectName;
    double sampleRate = 0.0;
    int blockSize = 0;
    int inputs = 0;
    int outputs = 0;
    bool replacing = true;  // processReplacing (false: the accumulating process, outputs pre-zeroed)

    std::int64_t blocks = 0;
    std::int64_t frames = 0;
    // Blocks after which every output sample still held the host's fill pattern, and blocks in
    // which some but not all of them did. Not counted for the accumulating process.
    std::int64_t untouchedBlocks = 0;
    std::int64_t partialBlocks = 0;
    // With the counter signal as input: blocks whose every output sample is the counter of its
    // own frame (any channel), i.e. audio passed through sample-exact. -1 with other inputs.
    std::int64_t counterExactBlocks = -1;
    BlockTimeStats blockTime;
    std::int64_t blocksOver10ms = 0;  // processing calls longer than 10 ms
    double wallSeconds = 0.0;
    // One character per second of wall time from the loop's start: '+' every block that began in
    // it carried signal (an output sample above -80 dBFS), '-' none did, '~' some did, '.' no
    // block began in it (a call took longer than the second).
    std::string signalBySecond;

    std::uint64_t midiSent = 0;
    std::uint64_t sysexSent = 0;
    std::uint64_t midiReceived = 0;
    std::uint64_t sysexReceived = 0;
    std::uint64_t otherReceived = 0;
    std::uint64_t eventsNotKept = 0;
    std::uint64_t badEventLists = 0;

    std::uint64_t timeQueries = 0;
    std::uint64_t idleCalls = 0;        // every effIdle: after blocks (--idle) and from the idle thread
    std::uint64_t idleThreadCalls = 0;
    double idleMaxUs = 0.0;             // the longest effIdle call
    double idleShare = 0.0;             // the time inside effIdle calls over the loop's wall time
    std::int64_t idleOver10ms = 0;
    std::int64_t paramThreadChanges = 0;
    double paramThreadSeconds = 0.0;    // from the thread's first change to its last
    double paramMaxUs = 0.0;            // the longest of its setParameter calls
    std::int64_t pauses = 0;
    std::int64_t asyncBlocks = 0;
    std::int64_t asyncTimeouts = 0;
    std::int64_t ioChanges = 0;
    std::int64_t parameterChanges = 0;
    std::int64_t parameterChangesRefused = 0;
    std::uint64_t automateCalls = 0;
};

std::string formatSummaryText(const Summary& summary);
std::string formatSummaryKv(const Summary& summary);
std::string formatSummaryJson(const Summary& summary);

}  // namespace tolvane::host
