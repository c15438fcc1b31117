// Sound files through libsndfile (the Linux build): a float WAV carries the counter signal
// exactly, and an input file's sample rate becomes the run's.
#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "host_test_support.h"
#include "tools/host/audio_file.h"
#include "tools/host/counter_signal.h"
#include "tools/host/session.h"

namespace tolvane::host {
namespace {

SessionResult runWith(std::vector<std::string> args) {
    args.insert(args.begin(), test::kFixture);
    args.insert(args.begin(), "tolvane-host");
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    HostOptions options;
    EXPECT_TRUE(parseArguments(static_cast<int>(argv.size()), argv.data(), options).ok);
    std::ostringstream out;
    std::ostringstream err;
    SessionResult result = runSession(options, out, err);
    EXPECT_EQ(result.exitCode, kExitOk) << err.str();
    return result;
}

TEST(HostSoundFile, AWavInputAndOutputCarryTheCounterExactly) {
    test::ScratchFile input("in.wav");
    test::ScratchFile output("out.wav");
    AudioData data;
    data.channels = 2;
    data.sampleRate = 22050.0;
    for (int i = 0; i < 300; ++i) {
        data.samples.push_back(counterSample(i, 0));
        data.samples.push_back(counterSample(i, 1));
    }
    std::string error;
    ASSERT_TRUE(writeAudioFile(input.path(), data, error)) << error;
    const SessionResult result = runWith({"--input", input.path(), "--block", "128", "--output", output.path()});
    EXPECT_DOUBLE_EQ(result.summary.sampleRate, 22050.0);
    EXPECT_EQ(result.summary.blocks, 3);
    AudioData back;
    ASSERT_TRUE(readAudioFile(output.path(), 0, back, error)) << error;
    EXPECT_EQ(back.channels, 2);
    EXPECT_DOUBLE_EQ(back.sampleRate, 22050.0);
    EXPECT_EQ(back.samples, data.samples);
}

TEST(HostSoundFile, UnknownFormatsAndMissingFilesAreRefusedWithAMessage) {
    AudioData data;
    data.channels = 1;
    data.samples = {0.0f};
    std::string error;
    EXPECT_FALSE(writeAudioFile(test::scratchPath("out.mp9"), data, error));
    EXPECT_NE(error.find("use a .wav, .flac, .raw or .f32 name"), std::string::npos) << error;
    AudioData back;
    EXPECT_FALSE(readAudioFile(test::scratchPath("missing.wav"), 0, back, error));
    EXPECT_NE(error.find("missing.wav"), std::string::npos) << error;
}

}  // namespace
}  // namespace tolvane::host
