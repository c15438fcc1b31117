// Audio files for the host's input and output, held whole in memory (the process loop does no
// file I/O). Raw files (.raw, .f32) are interleaved little-endian float32 without a header and
// work on every platform. Other formats go through libsndfile where the platform has it (Linux:
// read any format it knows, write .wav as 32-bit float or .flac as 24-bit).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tolvane::host {

struct AudioData {
    int channels = 0;
    double sampleRate = 0.0;      // 0 when the file does not say (raw files)
    std::vector<float> samples;   // interleaved, frames() * channels values
    std::int64_t frames() const {
        return channels > 0 ? static_cast<std::int64_t>(samples.size()) / channels : 0;
    }
};

// True when path ends with lowerSuffix, compared without regard to case.
bool pathEndsWith(const std::string& path, const char* lowerSuffix);
// True for names ending in .raw or .f32 (any case).
bool isRawAudioPath(const std::string& path);

// Reads a file. rawChannels is the channel count of a raw file (at least 1).
bool readAudioFile(const std::string& path, int rawChannels, AudioData& data, std::string& error);
bool writeAudioFile(const std::string& path, const AudioData& data, std::string& error);

// The formats handled by the platform's sound-file library (per-OS implementation).
bool readSoundFile(const std::string& path, AudioData& data, std::string& error);
bool writeSoundFile(const std::string& path, const AudioData& data, std::string& error);

}  // namespace tolvane::host
