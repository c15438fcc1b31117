// Real plug-ins behind the bridge: tolvane-host loads Tolvane or TolvaneI, the bridge reaches
// tolvane-slave, and the slave hosts a VST 2.4 plug-in: Debian's DPF 3-band equaliser and the
// DPF "Kars" synthesizer (Linux, skipped when the package is missing), and our crashing test
// plug-in under --supervise (both platforms).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/settings/settings_store.h"
#include "tests/support/child_program.h"
#include "tests/support/scratch.h"
#include "tests/support/test_files.h"
#include "tools/host/counter_signal.h"

#if defined(_WIN32)
constexpr bool kDebianPlugins = false;
#else
constexpr bool kDebianPlugins = true;
#endif

namespace {

const std::string kHost = TOLVANE_HOST_EXE;
const std::string kSlave = TOLVANE_SLAVE_EXE;
const std::string kEffect = TOLVANE_EFFECT;
const std::string kInstrument = TOLVANE_INSTRUMENT_PLUGIN;
const std::string kCrash = TOLVANE_CRASH_PLUGIN;
// From the Debian package dpf-plugins-vst.
const std::string kEqualiser = "/usr/lib/vst/3BandEQ-vst.so";
const std::string kKars = "/usr/lib/vst/Kars-vst.so";  // exports its entry point as main only

std::string scratch(const std::string& suffix) { return testScratchPath(TOLVANE_TEST_DIR, "chain", suffix); }

// Raw floats a run wrote; the file goes away.
std::vector<float> readFloats(const std::string& path) {
    std::vector<float> values = readRawFloats(path);
    std::remove(path.c_str());
    return values;
}

bool fileExists(const std::string& path) { return std::ifstream(path).good(); }

// Root mean square of one channel of interleaved stereo, from frame `first` on.
double rms(const std::vector<float>& samples, int channel, std::size_t first) {
    double sum = 0.0;
    std::size_t count = 0;
    for (std::size_t i = first * 2 + static_cast<std::size_t>(channel); i < samples.size(); i += 2, ++count) {
        sum += static_cast<double>(samples[i]) * samples[i];
    }
    return count > 0 ? std::sqrt(sum / static_cast<double>(count)) : 0.0;
}

class PluginChain : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The plug-ins read their settings at creation: no configuration dialog, two channels
        // each way, and the slave told to stop when the plug-in closes.
        for (const char* key : {"Software\\Vantor\\Tolvane", "Software\\Vantor\\TolvaneI"}) {
            SettingsKey* settings = platformOpenSettings(key);
            ASSERT_NE(settings, nullptr);
            platformWriteSetting(settings, "ConfigDlg", 0);
            platformWriteSetting(settings, "TermSlave", 1);
            platformWriteSetting(settings, "NumInputs", 2);
            platformWriteSetting(settings, "NumOutputs", 2);
            platformWriteSetting(settings, "StereoPins", 0);
            platformCloseSettings(settings);
        }
    }

    std::unique_ptr<CChildProgram> startSlave(const std::vector<std::string>& args) {
        auto slave = std::make_unique<CChildProgram>();
        EXPECT_TRUE(slave->start(kSlave, args));
        for (int i = 0; i < 1500 && slave->output().find("serving") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_NE(slave->output().find("serving"), std::string::npos) << slave->output();
        return slave;
    }

    // Runs tolvane-host to the end and returns its key=value summary.
    std::map<std::string, std::string> runHost(std::vector<std::string> args) {
        const std::string summary = scratch("summary.txt");
        std::remove(summary.c_str());
        args.insert(args.end(), {"--quiet", "--summary-kv", summary});
        CChildProgram host;
        EXPECT_TRUE(host.start(kHost, args));
        int code = -1;
        EXPECT_TRUE(host.waitExit(120000, code));
        EXPECT_EQ(code, 0) << host.output();
        auto kv = parseKv(readText(summary));
        std::remove(summary.c_str());
        return kv;
    }

    void stopSlave(CChildProgram& slave) {
        slave.requestStop();
        int code = -1;
        EXPECT_TRUE(slave.waitExit(8000, code));
        EXPECT_EQ(code, 0) << slave.output();
    }

    static std::string slaveParam(int number) { return "Slave#=" + std::to_string(number); }
};

#define SKIP_WITHOUT(path)                                                                        \
    if (!kDebianPlugins) GTEST_SKIP() << "the Debian plug-ins are tested on Linux";               \
    if (!fileExists(path)) GTEST_SKIP() << path << " is missing (install dpf-plugins-vst)"

// The equaliser at its defaults leaves the level alone; with every band at its lowest the sine
// comes back far quieter.
TEST_F(PluginChain, EqualiserShapesTheHostsAudio) {
    SKIP_WITHOUT(kEqualiser);
    const std::vector<std::pair<std::vector<std::string>, bool>> runs = {
        {{}, true}, {{"--param", "Low=0", "--param", "Mid=0", "--param", "High=0"}, false}};
    for (const auto& [params, flat] : runs) {
        std::vector<std::string> args = {"--slave", "10", "--process", "plugin:" + kEqualiser};
        args.insert(args.end(), params.begin(), params.end());
        auto slave = startSlave(args);
        const std::string out = scratch("out.f32");
        // Paced in real time for about 2 s: on a loaded machine the slave may miss the start's
        // wake-up, which costs the link a second before it connects again.
        auto kv = runHost({kEffect, "--param-text", slaveParam(10), "--signal", "sine:1000:0.5", "--block", "256",
                           "--blocks", "400", "--realtime", "--output", out});
        const std::vector<float> samples = readFloats(out);
        ASSERT_EQ(samples.size(), 400u * 256u * 2u);
        const double untouched = kvNumber(kv, "untouched_blocks");
        EXPECT_LE(untouched, 250);
        // Past the blocks before the connection and the filters' settling.
        const std::size_t settled = static_cast<std::size_t>(untouched + 20) * 256;
        const double in = 0.5 / std::sqrt(2.0);
        for (int channel = 0; channel < 2; ++channel) {
            const double level = rms(samples, channel, settled);
            if (flat) {
                EXPECT_NEAR(20.0 * std::log10(level / in), 0.0, 1.0) << channel;
            } else {
                EXPECT_LT(level, in * 0.1) << channel;
                EXPECT_GT(level, 0.0) << channel;
            }
        }
        stopSlave(*slave);
        EXPECT_NE(slave->output().find("3 Band EQ"), std::string::npos) << slave->output();
    }
}

// Kars is a mono instrument: the notes the host plays come back as sound on the first output,
// and the link's second output, which the plug-in does not have, is silent.
TEST_F(PluginChain, InstrumentPlaysTheHostsNotes) {
    SKIP_WITHOUT(kKars);
    auto slave = startSlave({"--slave", "11", "--process", "plugin:" + kKars});
    const std::string out = scratch("out.f32");
    auto kv = runHost({kInstrument, "--param-text", slaveParam(11), "--note", "60:110:20:10", "--note", "67:90:20:10",
                       "--block", "512", "--blocks", "80", "--realtime", "--output", out});
    EXPECT_GE(kvNumber(kv, "midi_sent"), 8);
    const std::vector<float> samples = readFloats(out);
    ASSERT_EQ(samples.size(), 80u * 512u * 2u);
    float peak = 0.0f;
    for (std::size_t i = 0; i < samples.size(); i += 2) peak = std::max(peak, std::fabs(samples[i]));
    EXPECT_GT(peak, 0.05f);
    EXPECT_GT(rms(samples, 0, 0), 0.005);
    for (std::size_t i = 1; i < samples.size(); i += 2) ASSERT_EQ(samples[i], 0.0f) << i;
    stopSlave(*slave);
}

// The crash plug-in passes audio through and crashes once, in its 150th block. The host keeps
// running: while the slave is down the bridge writes nothing (the host counts those blocks as
// untouched), and once the supervisor has the slave back and the bridge has reconnected from its
// idle calls, the counter signal comes back sample-exact to the end.
TEST_F(PluginChain, SupervisedSlaveBringsTheAudioBackAfterACrash) {
    const std::string marker = scratch("crashed");
    std::remove(marker.c_str());
    const ScopedEnv crashAt("TOLVANE_CRASH_AT_BLOCK", "150");
    const ScopedEnv once("TOLVANE_CRASH_ONCE_FILE", marker);
    const ScopedEnv sanitizer("ASAN_OPTIONS", "handle_segv=0");
    auto slave = startSlave({"--supervise", "--slave", "13", "--process", "plugin:" + kCrash});
    const std::string out = scratch("out.f32");
    constexpr int kFrames = 512;
    auto kv = runHost({kEffect, "--param-text", slaveParam(13), "--idle", "--realtime", "--signal", "counter", "--block",
                       std::to_string(kFrames), "--blocks", "430", "--output", out});
    const std::vector<float> samples = readFloats(out);
    const auto blocks = static_cast<int>(kvNumber(kv, "blocks"));
    ASSERT_GT(blocks, 400);
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(blocks) * kFrames * 2);
    EXPECT_GE(kvNumber(kv, "untouched_blocks"), 1);        // the gap while the plug-in was down
    EXPECT_LT(kvNumber(kv, "untouched_blocks"), blocks - 250);
    EXPECT_LT(kvNumber(kv, "block_us_max"), 1.0e6);       // released at once, not the 2.1 s wait

    // The last 100 blocks carry every frame of the counter.
    for (std::size_t i = static_cast<std::size_t>(blocks - 100) * kFrames * 2; i < samples.size(); ++i) {
        const auto frame = static_cast<std::int64_t>(i / 2);
        ASSERT_EQ(samples[i], tolvane::host::counterSample(frame, static_cast<int>(i % 2))) << "frame " << frame;
    }
    stopSlave(*slave);
    const std::string output = slave->output();
    EXPECT_NE(output.find("died"), std::string::npos) << output;
    EXPECT_NE(output.find("restart 1 in"), std::string::npos) << output;
    EXPECT_EQ(output.find("restart 2 in"), std::string::npos) << output;
    std::remove(marker.c_str());
}

}  // namespace
