// The master's side of the link as the plug-in follows it, for the slave's tests over the named
// objects: attach, one command at a time with 100 ms answer waits, and processing that waits in
// 100 ms steps while the slave is attached.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>

#include "link/slave_shmem.h"
#include "tests/slave/slave_test_block.h"

class CTestMaster {
public:
    explicit CTestMaster(std::int32_t slaveNumber) : channel(slaveNumber) {}
    ~CTestMaster() { channel.attachMaster(false); }

    bool attach() { return channel.attachMaster(true) && channel.writeMasterVersion(1, 8); }
    bool waitForSlave(bool attached, std::uint32_t milliseconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (channel.isSlaveAttached() != attached) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
    // One command as the plug-in sends it; true when answered within `waitMs`.
    bool send(std::int32_t code, std::uint32_t waitMs = 100) {
        if (!channel.isSlaveAttached() || channel.pollEvent(true)) return false;
        block().command = code;
        return channel.signalEvent(true) && channel.waitEvent(waitMs, nullptr);
    }
    bool sendSetIo(std::int32_t ins, std::int32_t outs, std::uint32_t waitMs = 100) {
        putArgInt(block(), 0, ins);
        putArgInt(block(), 4, outs);
        putArgInt(block(), 8, 1);
        putArgInt(block(), 12, 1);
        return send(kCmdSetIo, waitMs);
    }
    // The start answer is picked up later by the processing calls; here within a second.
    bool start() {
        if (!channel.isSlaveAttached() || channel.pollEvent(true)) return false;
        block().command = kCmdStart;
        channel.signalEvent(true);
        for (int step = 0; step < 10; ++step)
            if (channel.waitEvent(100, nullptr)) return true;
        return false;
    }
    // SetIo, rate, block size and Start, as a plug-in connects.
    bool connect(std::int32_t ins, std::int32_t outs, std::int32_t maxBlock) {
        if (!sendSetIo(ins, outs, 1000)) return false;
        putArgFloat(block(), 0, 48000.0f);
        if (!send(kCmdSetSampleRate, 1000)) return false;
        putArgInt(block(), 0, maxBlock);
        if (!send(kCmdSetBlockSize, 1000)) return false;
        return send(kCmdStart, 1000);
    }
    enum class Answer { Answered, SlaveLeft, TimedOut, Refused };
    // One block of `ins` channels of `frames` frames, channel i holding i + 1 + f / 1000; the
    // output area is filled with 9 first, so that what the slave left there shows.
    Answer process(std::int32_t ins, std::int32_t frames) {
        if (!channel.isSlaveAttached() || channel.pollEvent(true)) return Answer::Refused;
        block().numInputs = ins;
        block().blockSize = frames;
        for (std::int32_t i = 0; i < ins; ++i) {
            float* samples = channelStart(block().inputs, frames, i, ins);
            for (std::int32_t f = 0; f < frames; ++f) samples[f] = input(i, f);
        }
        std::fill(block().outputs, block().outputs + 16 * channelStrideSamples(frames), 9.0f);
        block().command = kCmdProcess;
        channel.signalEvent(true);
        for (int step = 0; step < 21; ++step) {
            if (!channel.isSlaveAttached()) return Answer::SlaveLeft;
            if (channel.waitEvent(100, nullptr)) return Answer::Answered;
        }
        return Answer::TimedOut;
    }
    static float input(std::int32_t channel, std::int32_t frame) {
        return static_cast<float>(channel + 1) + static_cast<float>(frame) / 1000.0f;
    }
    float output(std::int32_t channel, std::int32_t frame) {
        const float* start = channelStart(block().outputs, block().blockSize, channel, 2);
        return start[frame];
    }
    SlaveBlock& block() { return *channel.block; }

    CSlaveShMem channel;
};
