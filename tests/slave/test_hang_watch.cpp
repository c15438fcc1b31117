// --supervise with --state and the hang watch: the supervisor's judgement of the child's beats,
// and tolvane-slave as a child process of this test, driven by a master over the named objects,
// with the crash plug-in (tests/fixtures/crash_plugin.cpp) crashing or hanging on demand.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <string>
#include <thread>

#include "tests/slave/slave_test_master.h"
#include "tests/support/child_program.h"
#include "tests/support/scratch.h"
#include "tools/slave/hang_watch.h"
#include "tools/slave/state_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

TEST(HangWatch, BeatsStandingStillPastTheLimitAreAHangAndAChildNotServingIsNot) {
    WatchPage page{};
    CHangWatch watch(milliseconds(1000));
    const auto t0 = Clock::now();
    EXPECT_FALSE(watch.hung(page, t0));
    EXPECT_FALSE(watch.hung(page, t0 + milliseconds(5000))) << "0 beats: still loading";
    watchBeat(&page, true);
    EXPECT_FALSE(watch.hung(page, t0 + milliseconds(5000)));
    EXPECT_FALSE(watch.hung(page, t0 + milliseconds(6000)));
    EXPECT_TRUE(watch.hung(page, t0 + milliseconds(6001)));
    EXPECT_TRUE(watch.wasBusy());
    watchBeat(&page, false);
    EXPECT_FALSE(watch.hung(page, t0 + milliseconds(6002))) << "a beat starts the count again";
    EXPECT_FALSE(watch.hung(page, t0 + milliseconds(7000)));
    watchIdle(&page);
    EXPECT_FALSE(watch.hung(page, t0 + milliseconds(60000))) << "stopped serving";

    CHangWatch off(milliseconds(0));
    watchBeat(&page, true);
    EXPECT_FALSE(off.hung(page, t0));
    EXPECT_FALSE(off.hung(page, t0 + milliseconds(60000)));
}

constexpr std::int32_t kFrames = 64;

bool waitFor(const std::function<bool()>& done, std::uint32_t ms) {
    const auto deadline = Clock::now() + milliseconds(ms);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

struct Supervised {
    explicit Supervised(const std::vector<std::string>& extra) : number(uniqueSlaveNumber()), master(number) {
        std::vector<std::string> args = {"--supervise", "--slave", std::to_string(number), "--process",
                                         "plugin:" + std::string(TOLVANE_CRASH_PLUGIN)};
        args.insert(args.end(), extra.begin(), extra.end());
        started = slave.start(TOLVANE_SLAVE_EXE, args);
    }
    ~Supervised() {
        master.channel.closeChannel();
        int code = -1;
        EXPECT_TRUE(slave.requestStop() && slave.waitExit(8000, code)) << slave.output();
        EXPECT_EQ(code, 0) << slave.output();
    }
    // Connected, and `blocks` blocks answered with `gain` on the outputs.
    void serves(int blocks, float gain) {
        ASSERT_TRUE(master.waitForSlave(true, 20000)) << slave.output();
        ASSERT_TRUE(master.attach() && master.connect(2, 2, 256)) << slave.output();
        for (int b = 0; b < blocks; ++b) {
            ASSERT_EQ(process(), CTestMaster::Answer::Answered) << b << slave.output();
            expectGain(gain, b);
        }
    }
    CTestMaster::Answer process() { return master.process(2, kFrames); }
    void expectGain(float gain, int b = 0) {
        EXPECT_FLOAT_EQ(master.output(1, kFrames - 1), gain * CTestMaster::input(1, kFrames - 1)) << b;
    }
    std::int32_t number;
    CTestMaster master;
    CChildProgram slave;
    bool started = false;
};

// The plug-in changes its Gain from 0.25 (--param) to 0.75 in its third block and tells the host;
// the state is saved; it crashes in its sixth block. The restarted plug-in plays at 0.75 at once.
TEST(SupervisedState, ACrashedPluginComesBackWithItsSavedState) {
    const std::string state = std::string(TOLVANE_TEST_DIR) + "/crash_state_" + std::to_string(testProcessId());
    const std::string marker = state + ".crashed";
    std::remove(state.c_str());
    std::remove(marker.c_str());
    const ScopedEnv automate("TOLVANE_AUTOMATE_AT_BLOCK", "3");
    const ScopedEnv crashAt("TOLVANE_CRASH_AT_BLOCK", "6");
    const ScopedEnv once("TOLVANE_CRASH_ONCE_FILE", marker);
    const ScopedEnv sanitizer("ASAN_OPTIONS", "handle_segv=0");
    Supervised run({"--param", "0=0.25", "--state", state});
    ASSERT_TRUE(run.started);
    run.serves(2, 0.5f);
    ASSERT_EQ(run.process(), CTestMaster::Answer::Answered);
    run.expectGain(1.5f);
    PluginState saved;
    std::string error;
    ASSERT_TRUE(waitFor([&] { return readStateFile(state, saved, error) == StateRead::Read && saved.params == std::vector<float>{0.75f}; },
                        5000)) << error;
    for (int b = 4; b <= 5; ++b) ASSERT_EQ(run.process(), CTestMaster::Answer::Answered);
    run.expectGain(1.5f);
    ASSERT_EQ(run.process(), CTestMaster::Answer::SlaveLeft) << run.slave.output();

    run.serves(2, 1.5f);
    EXPECT_EQ(occurrences(run.slave.output(), "died"), 1) << run.slave.output();
    std::remove(marker.c_str());
    std::remove(state.c_str());
}

// A plug-in that hangs in a block is killed within the limit, long before the bridge's 2.1 s
// patience ends, and the slave serves again.
TEST(SupervisedState, AHungPluginIsKilledWithinTheLimitAndTheSlaveServesAgain) {
    const std::string marker = std::string(TOLVANE_TEST_DIR) + "/hang_once_" + std::to_string(testProcessId());
    std::remove(marker.c_str());
    const ScopedEnv hangAt("TOLVANE_HANG_AT_BLOCK", "3");
    const ScopedEnv once("TOLVANE_CRASH_ONCE_FILE", marker);
    Supervised run({"--hang-limit", "500"});
    ASSERT_TRUE(run.started);
    run.serves(2, 1.0f);
    const auto hung = Clock::now();
    ASSERT_EQ(run.process(), CTestMaster::Answer::SlaveLeft) << run.slave.output();
    EXPECT_LT(Clock::now() - hung, milliseconds(2000)) << "within the limit and a few steps";
    for (std::int32_t f = 0; f < kFrames; ++f) {
        ASSERT_EQ(run.master.output(0, f), 0.0f) << "silence";
    }
    run.serves(3, 1.0f);
    EXPECT_NE(run.slave.output().find("hung in a command"), std::string::npos) << run.slave.output();
    std::remove(marker.c_str());
}

}  // namespace
