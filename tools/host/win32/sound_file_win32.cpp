// Windows builds carry no sound-file library: only raw float32 files are read and written.
#include "tools/host/audio_file.h"

namespace tolvane::host {

bool readSoundFile(const std::string& path, AudioData&, std::string& error) {
    error = "cannot read " + path + ": this build reads only raw float32 files (.raw, .f32)";
    return false;
}

bool writeSoundFile(const std::string& path, const AudioData&, std::string& error) {
    error = "cannot write " + path + ": this build writes only raw float32 files (.raw, .f32)";
    return false;
}

}  // namespace tolvane::host
