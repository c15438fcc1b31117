// tolvane-slave hosting a plug-in as a child process of this test, driven by a master written
// here over the named objects: the command line around the plug-in, and --supervise surviving a
// plug-in that crashes while processing and one that crashes at load.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "link/slave_shmem.h"
#include "tests/support/child_program.h"
#include "tests/support/scratch.h"
#include "tests/support/test_files.h"
#include "tests/slave/slave_test_block.h"
#include "tests/slave/slave_test_master.h"
#include "tools/slave/supervisor.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const std::string kSlave = TOLVANE_SLAVE_EXE;
const std::string kFixture = TOLVANE_HOST_FIXTURE;
const std::string kCrash = TOLVANE_CRASH_PLUGIN;

std::int32_t uniqueSlaveNumber(int which) { return 2000000 + (testProcessId() % 100000) * 10 + which; }

void stopAndExpectClean(CChildProgram& slave, std::int32_t number) {
    ASSERT_TRUE(slave.requestStop());
    int code = -1;
    ASSERT_TRUE(slave.waitExit(8000, code)) << slave.output();
    EXPECT_EQ(code, 0) << slave.output();
    EXPECT_FALSE(linkObjectsExist(number));
}

std::string scratchFile(const char* name) { return testScratchPath(TOLVANE_TEST_DIR, "supervisor", name); }

TEST(Supervisor, RestartDelaysDoubleUpToTheCeilingAndStartOverAfterAHealthyRun) {
    CRestartPolicy policy(RestartBackoff{milliseconds(100), milliseconds(1000), milliseconds(5000)});
    const long expected[] = {100, 200, 400, 800, 1000, 1000};
    for (long delay : expected) EXPECT_EQ(policy.afterDeath(milliseconds(10)).count(), delay);
    EXPECT_EQ(policy.deathsInARow(), 6);
    EXPECT_EQ(policy.afterDeath(milliseconds(5000)).count(), 100);
    EXPECT_EQ(policy.afterDeath(milliseconds(4999)).count(), 200);
    // A long run of deaths never overflows the delay.
    for (int i = 0; i < 100; ++i) policy.afterDeath(milliseconds(0));
    EXPECT_EQ(policy.afterDeath(milliseconds(0)).count(), 1000);
}

TEST(Supervisor, ExitsAreToldApartAndADeadChildsBlockIsSilencedBeforeItIsReleased) {
    EXPECT_EQ(classifyChildExit({false, 0}), ChildOutcome::Stopped);
    EXPECT_EQ(classifyChildExit({false, 2}), ChildOutcome::BadArguments);
    EXPECT_EQ(classifyChildExit({false, 3}), ChildOutcome::PluginFailed);
    EXPECT_EQ(classifyChildExit({false, 4}), ChildOutcome::LinkHeld);
    EXPECT_EQ(classifyChildExit({false, 1}), ChildOutcome::Died);  // e.g. a sanitizer's report
    EXPECT_EQ(classifyChildExit({true, 11}), ChildOutcome::Died);
    EXPECT_EQ(classifyChildExit({false, static_cast<int>(0xC0000005u)}), ChildOutcome::Died);

    auto block = makeTestBlock();
    block->slaveAttached = 1;
    block->masterAttached = 1;
    std::fill(block->outputs, block->outputs + kSampleAreaSamples, 0.5f);
    block->inputs[3] = 0.25f;
    releaseAfterDeath(*block);
    EXPECT_EQ(block->slaveAttached, 0);
    EXPECT_EQ(block->masterAttached, 1);
    EXPECT_EQ(block->inputs[3], 0.25f);
    for (std::int32_t s = 0; s < kSampleAreaSamples; ++s) ASSERT_EQ(block->outputs[s], 0.0f) << s;
}

TEST(PluginSlave, ListsParametersAndRefusesBadOnes) {
    CChildProgram list;
    ASSERT_TRUE(list.start(kSlave, {"--process", "plugin:" + kFixture, "--param", "Gain=0.25", "--list-params"}));
    int code = -1;
    ASSERT_TRUE(list.waitExit(10000, code));
    EXPECT_EQ(code, 0) << list.output();
    EXPECT_NE(list.output().find("Gain      0.250000  0.500"), std::string::npos) << list.output();
    EXPECT_NE(list.output().find("Outputs"), std::string::npos);

    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"--process", "plugin:" + kFixture, "--param", "99=0.5", "--list-params"}, 2},  // no such index
        {{"--process", "plugin:" + kFixture, "--param", "Gain=2"}, 2},                  // not 0..1
        {{"--process", "passthrough", "--param", "0=0.5"}, 2},                          // no plug-in
        {{"--process", "plugin:/no/such/plugin.so", "--list-params"}, 3},
        {{"--supervise", "--slave", std::to_string(uniqueSlaveNumber(9)), "--process", "plugin:/no/such/plugin.so"}, 3},
    };
    for (const auto& [args, expected] : cases) {
        CChildProgram slave;
        ASSERT_TRUE(slave.start(kSlave, args));
        ASSERT_TRUE(slave.waitExit(15000, code));
        EXPECT_EQ(code, expected) << args[1] << " " << args.back() << "\n" << slave.output();
    }
    EXPECT_FALSE(linkObjectsExist(uniqueSlaveNumber(9)));
}

// A slave killed outright leaves its mark set beside its free lock: the supervisor takes it over
// as a slave would, and its child serves.
TEST(PluginSlave, SupervisorTakesOverTheMarkOfASlaveThatDied) {
    const std::int32_t n = uniqueSlaveNumber(3);
    CTestMaster watcher(n);  // keeps the objects, and on Windows the dead slave's lock, in being
    {
        CChildProgram dead;
        ASSERT_TRUE(dead.start(kSlave, {"--slave", std::to_string(n)}));
        ASSERT_TRUE(dead.waitForOutput("serving", 10000)) << dead.output();
        ASSERT_TRUE(watcher.channel.isSlaveAlive());
    }  // killed: no chance to clear its mark
    ASSERT_TRUE(watcher.channel.isSlaveAttached());
    CChildProgram slave;
    ASSERT_TRUE(slave.start(kSlave, {"--supervise", "--slave", std::to_string(n), "--process", "plugin:" + kFixture}));
    ASSERT_TRUE(slave.waitForOutput("serving slave", 15000)) << slave.output();
    EXPECT_NE(slave.output().find("took slave"), std::string::npos) << slave.output();
    watcher.channel.closeChannel();
    stopAndExpectClean(slave, n);
}

// The crash plug-in dies in its fifth block. The master waiting for that block sees the slave
// leave and finds silence in the outputs; the supervisor starts the slave again, the master
// connects again, and the plug-in (told by its marker file not to crash again) passes audio.
TEST(PluginSlave, SupervisedSlaveSurvivesACrashingPlugin) {
    const std::int32_t n = uniqueSlaveNumber(1);
    const std::string marker = scratchFile("crash_once");
    std::remove(marker.c_str());
    const ScopedEnv crashAt("TOLVANE_CRASH_AT_BLOCK", "5");
    const ScopedEnv once("TOLVANE_CRASH_ONCE_FILE", marker);
    const ScopedEnv sanitizer("ASAN_OPTIONS", "handle_segv=0");  // the crash is the plug-in's own signal

    CTestMaster master(n);
    ASSERT_TRUE(master.attach());
    CChildProgram slave;
    ASSERT_TRUE(slave.start(kSlave, {"--supervise", "--slave", std::to_string(n), "--process", "plugin:" + kCrash}));
    ASSERT_TRUE(slave.waitForOutput("serving", 15000)) << slave.output();
    ASSERT_TRUE(master.waitForSlave(true, 5000));
    ASSERT_TRUE(master.connect(2, 2, 256));

    for (int block = 1; block <= 4; ++block) {
        ASSERT_EQ(master.process(2, 64), CTestMaster::Answer::Answered) << block;
        ASSERT_EQ(master.output(1, 10), CTestMaster::input(1, 10));
    }
    const auto crashed = Clock::now();
    ASSERT_EQ(master.process(2, 64), CTestMaster::Answer::SlaveLeft) << slave.output();
    EXPECT_LT(Clock::now() - crashed, milliseconds(1500));
    for (std::int32_t f = 0; f < 64; ++f) ASSERT_EQ(master.output(0, f), 0.0f) << "silence for the lost block";

    ASSERT_TRUE(master.waitForSlave(true, 15000)) << slave.output();
    ASSERT_TRUE(master.connect(2, 2, 256)) << slave.output();
    for (int block = 1; block <= 10; ++block) {
        ASSERT_EQ(master.process(2, 64), CTestMaster::Answer::Answered) << block;
        ASSERT_EQ(master.output(0, 63), CTestMaster::input(0, 63));
    }
    const std::string output = slave.output();
    EXPECT_EQ(occurrences(output, "died"), 1) << output;
    EXPECT_NE(output.find("slave released; restart 1 in"), std::string::npos) << output;
    EXPECT_EQ(occurrences(output, "serving slave"), 2) << output;

    master.channel.closeChannel();
    stopAndExpectClean(slave, n);
    EXPECT_NE(slave.output().find("supervisor stopped after 1 restarts"), std::string::npos) << slave.output();
    std::remove(marker.c_str());
}

// A plug-in that crashes as it loads never gets the slave attached; the restarts slow down
// instead of spinning, and a stop during the wait is taken at once.
TEST(PluginSlave, SupervisedRestartsOfAPluginThatCrashesAtLoadBackOff) {
    const std::int32_t n = uniqueSlaveNumber(2);
    const ScopedEnv crashAtLoad("TOLVANE_CRASH_AT_LOAD", "1");
    const ScopedEnv sanitizer("ASAN_OPTIONS", "handle_segv=0");
    CTestMaster master(n);
    CChildProgram slave;
    ASSERT_TRUE(slave.start(kSlave, {"--supervise", "--slave", std::to_string(n), "--process", "plugin:" + kCrash}));
    const auto started = Clock::now();
    ASSERT_TRUE(slave.waitForOutput("restart 2 in 0.50 s", 20000)) << slave.output();
    // 0.25 s, then 0.5 s, then 1 s: within 2.5 s of the start at most four deaths.
    std::this_thread::sleep_until(started + milliseconds(2500));
    const int deaths = occurrences(slave.output(), "died");
    EXPECT_GE(deaths, 2);
    EXPECT_LE(deaths, 4) << slave.output();
    EXPECT_FALSE(master.channel.isSlaveAttached());
    EXPECT_EQ(occurrences(slave.output(), "serving slave"), 0);

    const auto stopAsked = Clock::now();
    master.channel.closeChannel();
    stopAndExpectClean(slave, n);
    EXPECT_LT(Clock::now() - stopAsked, milliseconds(3000));
}

}  // namespace
