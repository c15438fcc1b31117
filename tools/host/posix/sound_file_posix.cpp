// Sound files through libsndfile.
#include <sndfile.h>

#include "tools/host/audio_file.h"

namespace tolvane::host {

bool readSoundFile(const std::string& path, AudioData& data, std::string& error) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) {
        error = "cannot read " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    if (info.channels < 1 || info.frames < 0) {
        sf_close(file);
        error = "cannot read " + path + ": no audio channels";
        return false;
    }
    std::vector<float> samples(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    const sf_count_t got = samples.empty() ? 0 : sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    samples.resize(static_cast<std::size_t>(got) * static_cast<std::size_t>(info.channels));
    data.channels = info.channels;
    data.sampleRate = info.samplerate;
    data.samples = std::move(samples);
    return true;
}

bool writeSoundFile(const std::string& path, const AudioData& data, std::string& error) {
    SF_INFO info{};
    info.channels = data.channels;
    info.samplerate = data.sampleRate > 0.0 ? static_cast<int>(data.sampleRate + 0.5) : 44100;
    if (pathEndsWith(path, ".wav")) {
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    } else if (pathEndsWith(path, ".flac")) {
        info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
    } else {
        error = "cannot write " + path + ": use a .wav, .flac, .raw or .f32 name";
        return false;
    }
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        error = "cannot write " + path + ": " + sf_strerror(nullptr);
        return false;
    }
    const sf_count_t frames = data.frames();
    const sf_count_t written = frames > 0 ? sf_writef_float(file, data.samples.data(), frames) : 0;
    const int closed = sf_close(file);
    if (written != frames || closed != 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace tolvane::host
