// The host's building blocks: the counter signal's exact encoding, the generators, block-time
// statistics and raw audio files.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "tools/host/audio_file.h"
#include "tools/host/counter_signal.h"
#include "tools/host/signals.h"
#include "tools/host/summary.h"

namespace tolvane::host {
namespace {

TEST(CounterSignal, EverySampleDecodesToItsFrameAndChannel) {
    for (std::int64_t frame : {std::int64_t{0}, std::int64_t{1}, std::int64_t{44099}, kCounterPeriodFrames - 1}) {
        for (int channel = 0; channel < 16; ++channel) {
            const CounterCode code = decodeCounterSample(counterSample(frame, channel));
            ASSERT_TRUE(code.valid);
            EXPECT_EQ(code.frameIndex, frame);
            EXPECT_EQ(code.channel, channel);
        }
    }
    // Neighbouring frames and channels never share a value; the index wraps with the period.
    EXPECT_NE(counterSample(1000, 0), counterSample(1001, 0));
    EXPECT_NE(counterSample(1000, 0), counterSample(1000, 1));
    EXPECT_EQ(counterSample(kCounterPeriodFrames + 5, 3), counterSample(5, 3));
    EXPECT_LT(counterSample(kCounterPeriodFrames - 1, 15), 1.0f);
    EXPECT_GE(counterSample(0, 0), 0.0f);
    // A value that went through an arbitrary gain or a mix is no code.
    EXPECT_FALSE(decodeCounterSample(counterSample(12345, 2) * 0.7f + 1e-7f).valid);
    EXPECT_FALSE(decodeCounterSample(-counterSample(5, 1)).valid);
    EXPECT_FALSE(decodeCounterSample(1.0f).valid);
    EXPECT_FALSE(decodeCounterSample(std::nanf("")).valid);
}

TEST(SignalGenerator, OutputDoesNotDependOnTheBlockSize) {
    for (SignalKind kind : {SignalKind::Counter, SignalKind::Sine, SignalKind::Noise}) {
        SignalShape shape;
        shape.kind = kind;
        SignalGenerator whole(shape, 48000.0, 7);
        SignalGenerator pieces(shape, 48000.0, 7);
        std::vector<float> a0(300), a1(300), b0(300), b1(300);
        float* wholeBuffers[] = {a0.data(), a1.data()};
        whole.fill(wholeBuffers, 2, 300);
        for (int at = 0, step = 1; at < 300; at += step, step = step * 2 + 1) {
            const int frames = std::min(step, 300 - at);
            float* buffers[] = {b0.data() + at, b1.data() + at};
            pieces.fill(buffers, 2, frames);
        }
        EXPECT_EQ(a0, b0) << toString(kind);
        EXPECT_EQ(a1, b1) << toString(kind);
        EXPECT_EQ(pieces.position(), 300);
    }
}

TEST(SignalGenerator, SineNoiseAndSilenceHaveTheirShape) {
    SignalShape sine;
    sine.frequencyHz = 1000.0;
    sine.amplitude = 0.25;
    SignalGenerator generator(sine, 48000.0, 1);
    std::vector<float> samples(480);
    float* buffers[] = {samples.data(), nullptr};  // a null channel is skipped
    generator.fill(buffers, 2, 480);
    float peak = 0.0f;
    for (float s : samples) peak = std::max(peak, std::fabs(s));
    EXPECT_NEAR(peak, 0.25f, 1e-4f);
    EXPECT_NEAR(samples[12], 0.25f, 1e-6f);  // a quarter period of 48 samples

    SignalShape noise;
    noise.kind = SignalKind::Noise;
    noise.amplitude = 0.5;
    std::vector<float> x(1000), y(1000), z(1000);
    float* bx[] = {x.data()};
    float* by[] = {y.data()};
    float* bz[] = {z.data()};
    SignalGenerator(noise, 44100.0, 3).fill(bx, 1, 1000);
    SignalGenerator(noise, 44100.0, 3).fill(by, 1, 1000);
    SignalGenerator(noise, 44100.0, 4).fill(bz, 1, 1000);
    EXPECT_EQ(x, y);
    EXPECT_NE(x, z);
    for (float s : x) ASSERT_LE(std::fabs(s), 0.5f);

    SignalShape silence;
    silence.kind = SignalKind::Silence;
    std::vector<float> quiet(64, 3.0f);
    float* bq[] = {quiet.data()};
    SignalGenerator(silence, 44100.0, 1).fill(bq, 1, 64);
    for (float s : quiet) ASSERT_EQ(s, 0.0f);
}

TEST(BlockTimeStats, MedianPercentileAndMaximum) {
    std::vector<double> times;
    for (int i = 100; i >= 1; --i) times.push_back(i);  // unsorted on purpose
    BlockTimeStats stats = computeBlockTimeStats(times);
    EXPECT_DOUBLE_EQ(stats.medianUs, 50.5);
    EXPECT_DOUBLE_EQ(stats.p99Us, 99.0);
    EXPECT_DOUBLE_EQ(stats.maxUs, 100.0);
    EXPECT_DOUBLE_EQ(stats.meanUs, 50.5);
    // One slow block among few is the 99th percentile.
    stats = computeBlockTimeStats({1.0, 1.0, 9.0});
    EXPECT_DOUBLE_EQ(stats.medianUs, 1.0);
    EXPECT_DOUBLE_EQ(stats.p99Us, 9.0);
    stats = computeBlockTimeStats({});
    EXPECT_DOUBLE_EQ(stats.maxUs, 0.0);
}

TEST(AudioFile, RawFilesRoundTripAndDropATrailingPartialFrame) {
    test::ScratchFile file("audio.F32");
    AudioData data;
    data.channels = 3;
    data.samples = {1.0f, -2.0f, 3.5f, counterSample(9, 1), 0.0f, -0.0f, 7.0f};
    std::string error;
    ASSERT_TRUE(writeAudioFile(file.path(), data, error)) << error;
    AudioData back;
    ASSERT_TRUE(readAudioFile(file.path(), 3, back, error)) << error;
    EXPECT_EQ(back.channels, 3);
    EXPECT_EQ(back.frames(), 2);
    EXPECT_EQ(back.samples, std::vector<float>(data.samples.begin(), data.samples.begin() + 6));
    EXPECT_FALSE(readAudioFile(file.path(), 0, back, error));
    EXPECT_NE(error.find("channel count"), std::string::npos) << error;
    EXPECT_TRUE(isRawAudioPath("x.RAW"));
    EXPECT_FALSE(isRawAudioPath("x.wav"));
    EXPECT_FALSE(isRawAudioPath("raw"));
}

}  // namespace
}  // namespace tolvane::host
