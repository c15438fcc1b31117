#include "tools/host/audio_file.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace tolvane::host {

static_assert(std::endian::native == std::endian::little, "raw files are written in native order");

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool pathEndsWith(const std::string& text, const char* suffix) {
    const std::size_t length = std::strlen(suffix);
    if (text.size() < length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const auto a = static_cast<unsigned char>(text[text.size() - length + i]);
        if (std::tolower(a) != static_cast<unsigned char>(suffix[i])) return false;
    }
    return true;
}

bool isRawAudioPath(const std::string& path) { return pathEndsWith(path, ".raw") || pathEndsWith(path, ".f32"); }

bool readAudioFile(const std::string& path, int rawChannels, AudioData& data, std::string& error) {
    if (!isRawAudioPath(path)) return readSoundFile(path, data, error);
    if (rawChannels < 1) {
        error = "raw audio file " + path + " needs a channel count of at least 1";
        return false;
    }
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        error = "cannot open " + path + " for reading";
        return false;
    }
    std::vector<float> samples;
    float chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, sizeof(float), std::size(chunk), file.get())) > 0) {
        samples.insert(samples.end(), chunk, chunk + got);
    }
    if (std::ferror(file.get())) {
        error = "cannot read " + path;
        return false;
    }
    // A trailing partial frame is dropped: it cannot be assigned to channels.
    samples.resize(samples.size() - samples.size() % static_cast<std::size_t>(rawChannels));
    data.channels = rawChannels;
    data.sampleRate = 0.0;
    data.samples = std::move(samples);
    return true;
}

bool writeAudioFile(const std::string& path, const AudioData& data, std::string& error) {
    if (data.channels < 1) {
        error = "nothing to write to " + path + ": no channels";
        return false;
    }
    if (!isRawAudioPath(path)) return writeSoundFile(path, data, error);
    FilePtr file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot open " + path + " for writing";
        return false;
    }
    if (!data.samples.empty() &&
        std::fwrite(data.samples.data(), sizeof(float), data.samples.size(), file.get()) != data.samples.size()) {
        error = "cannot write " + path;
        return false;
    }
    if (std::fclose(file.release()) != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace tolvane::host
