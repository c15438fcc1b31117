// A shared block on the heap for the slave's in-memory tests, with a few master-side writers.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "link/slave_block.h"

// Zero-filled, exactly kSlaveBlockSize bytes, so that AddressSanitizer catches any access
// outside the block.
inline std::unique_ptr<SlaveBlock> makeTestBlock() {
    auto block = std::make_unique<SlaveBlock>();
    resetSlaveBlock(*block);
    return block;
}

inline void putArgInt(SlaveBlock& block, std::size_t offset, std::int32_t value) {
    std::memcpy(block.args + offset, &value, sizeof value);
}
inline void putArgFloat(SlaveBlock& block, std::size_t offset, float value) {
    std::memcpy(block.args + offset, &value, sizeof value);
}
inline std::int32_t argInt(const SlaveBlock& block, std::size_t offset) {
    std::int32_t value;
    std::memcpy(&value, block.args + offset, sizeof value);
    return value;
}

// A MIDI event as a host hands it over.
inline VstMidiEvent midiEvent(std::int32_t deltaFrames, unsigned char status, unsigned char data1, unsigned char data2) {
    VstMidiEvent event{};
    event.type = kVstMidiType;
    event.byteSize = sizeof(VstMidiEvent);
    event.deltaFrames = deltaFrames;
    event.flags = kVstMidiEventIsRealtime;
    event.noteLength = 7;
    event.noteOffset = 3;
    event.midiData[0] = static_cast<char>(status);
    event.midiData[1] = static_cast<char>(data1);
    event.midiData[2] = static_cast<char>(data2);
    event.detune = 5;
    event.noteOffVelocity = 9;
    return event;
}

inline VstMidiSysexEvent sysexEvent(std::int32_t deltaFrames, char* data, std::int32_t bytes) {
    VstMidiSysexEvent event{};
    event.type = kVstSysExType;
    event.byteSize = sizeof(VstMidiSysexEvent);
    event.deltaFrames = deltaFrames;
    event.dumpBytes = bytes;
    event.sysexDump = data;
    return event;
}
