// The tolvane-host executable as a user runs it: exit codes, messages, a full run with its
// machine-readable summary and output file, and plug-ins that misbehave.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "tests/support/child_program.h"
#include "tools/host/counter_signal.h"

namespace tolvane::host {
namespace {

using test::ScratchFile;

struct ToolRun {
    int exitCode = -1;
    std::string out;
    std::string err;
};

ToolRun runTool(std::vector<std::string> args) {
    ScratchFile out("stdout.txt");
    ScratchFile err("stderr.txt");
    args.insert(args.begin(), test::kHostExe);
    ToolRun r;
    r.exitCode = runChildProcess(args, out.path(), err.path(), 60000);
    r.out = test::readText(out.path());
    r.err = test::readText(err.path());
    return r;
}

TEST(HostTool, HelpAndArgumentErrors) {
    ToolRun r = runTool({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Usage: tolvane-host [options] PLUGIN"), std::string::npos) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;

    r = runTool({test::kFixture, "--blocks", "many"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("tolvane-host: option --blocks"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("'many'"), std::string::npos) << r.err;

    r = runTool({});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no plug-in given"), std::string::npos) << r.err;

    r = runTool({test::kFixture, "--param", "Loudness=1"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("no parameter 'Loudness'"), std::string::npos) << r.err;
}

TEST(HostTool, MisbehavingPluginsFailCleanlyWithoutACrash) {
    for (const char* plugin : {TOLVANE_HOST_FIXTURE_NULL, TOLVANE_HOST_FIXTURE_MAGIC, TOLVANE_HOST_FIXTURE_NO_ENTRY}) {
        const ToolRun r = runTool({plugin, "--blocks", "4"});
        EXPECT_EQ(r.exitCode, 1) << plugin << ": " << r.err;  // -1 would mean a crash or a hang
        EXPECT_NE(r.err.find("tolvane-host: "), std::string::npos) << r.err;
    }
}

TEST(HostTool, AFullRunWritesItsSummaryAndOutput) {
    ScratchFile summary("summary.txt");
    ScratchFile output("out.raw");
    ScratchFile times("times.txt");
    const ToolRun r = runTool({test::kFixture, "--signal", "counter", "--blocks", "8", "--block", "128", "--note",
                               "60:100:2", "--sysex", "F07D01F7", "--idle", "--quiet", "--summary-kv", summary.path(),
                               "--output", output.path(), "--block-times", times.path()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;  // --quiet
    const auto values = test::parseKv(test::readText(summary.path()));
    ASSERT_FALSE(values.empty());
    EXPECT_EQ(values.at("blocks"), "8");
    EXPECT_EQ(values.at("frames"), "1024");
    EXPECT_EQ(values.at("untouched_blocks"), "0");
    EXPECT_EQ(values.at("midi_sent"), "8");
    EXPECT_EQ(values.at("midi_received"), "8");
    EXPECT_EQ(values.at("sysex_sent"), "1");
    EXPECT_EQ(values.at("sysex_received"), "1");
    EXPECT_EQ(values.at("idle_calls"), "8");
    EXPECT_EQ(values.at("sample_rate"), "44100");
    // One line of microseconds per block.
    std::istringstream lines(test::readText(times.path()));
    int timed = 0;
    for (double micros = 0; lines >> micros; ++timed) EXPECT_GE(micros, 0.0);
    EXPECT_EQ(timed, 8);
    const std::vector<float> samples = test::readRawFloats(output.path());
    ASSERT_EQ(samples.size(), 1024u * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(samples[i], counterSample(static_cast<std::int64_t>(i / 2), static_cast<int>(i % 2))) << i;
    }
}

TEST(HostTool, AsynchronousRunWithTheJsonSummaryOnStdout) {
    const ToolRun r = runTool({test::kFixture, "--async", "--param", "Async=1", "--blocks", "5", "--summary-json", "-"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.front(), '{') << "the JSON replaces the text summary";
    EXPECT_NE(r.out.find("\"async_blocks\": 5,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"async_timeouts\": 0,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"untouched_blocks\": 0,"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tolvane::host
