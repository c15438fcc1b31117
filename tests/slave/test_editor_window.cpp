// tolvane-slave --editor with the fixture plug-in, as a user meets it: the window appears with
// the plug-in's name and the slave number, the editor is opened and idled while blocks are
// served, closing the window closes the editor and leaves the slave serving, and (Linux)
// SIGUSR1 opens it again, and a Stop's reopening of the plug-in moves the editor to the fresh
// instance.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/slave/editor_driver.h"
#include "tests/slave/slave_test_master.h"
#include "tests/support/child_program.h"
#include "tests/support/scratch.h"
#include "tests/support/test_files.h"

namespace {

using std::chrono::milliseconds;

const std::string kSlave = TOLVANE_SLAVE_EXE;
const std::string kFixture = TOLVANE_HOST_FIXTURE;
const std::string kTestDir = TOLVANE_TEST_DIR;

// The fixture's editor counts, one line per effEditClose: opens, effEditIdle calls, closes,
// effIdle calls.
struct EditorCounts {
    long long opens = 0, idles = 0, closes = 0, effIdle = 0;
};
std::vector<EditorCounts> readCounts(const std::string& path) {
    std::vector<EditorCounts> lines;
    std::istringstream file(readText(path));
    std::string line;
    while (std::getline(file, line)) {
        EditorCounts c;
        if (std::sscanf(line.c_str(), "opens=%lld idles=%lld closes=%lld effIdle=%lld", &c.opens, &c.idles, &c.closes,
                        &c.effIdle) == 4) {
            lines.push_back(c);
        }
    }
    return lines;
}

bool blockAnswered(CTestMaster& master) { return master.process(2, 64) == CTestMaster::Answer::Answered; }

// The first number after `prefix` in the output: the slave's process id from its message on
// how to open the editor again ("kill -USR1 N"), a supervisor's child's ("child process N").
long numberAfter(const std::string& output, const std::string& prefix) {
    for (std::size_t at = output.find(prefix); at != std::string::npos; at = output.find(prefix, at + 1)) {
        const long number = std::atol(output.c_str() + at + prefix.size());
        if (number > 0) return number;
    }
    return 0;
}

// Exactly `count` times, once the output holds it that often.
bool waitForOccurrences(const CChildProgram& slave, const std::string& text, int count, std::uint32_t ms) {
    return slave.waitForOutput(text, ms, count) && occurrences(slave.output(), text) == count;
}

TEST(SlaveEditor, OpensIdlesClosesAndOpensAgainWhileTheSlaveServes) {
    if (!editor_driver::available()) GTEST_SKIP() << "no display";
    const std::int32_t number = uniqueSlaveNumber();
    const ScratchFile countsFile(testScratchPath(kTestDir, "editor", "counts"));
    const std::string& log = countsFile.path();
    const ScopedEnv countsEnv("TOLVANE_FIXTURE_EDITOR_LOG", log);
    const std::string title = "Fixture - tolvane-slave " + std::to_string(number);

    CChildProgram slave;
    ASSERT_TRUE(slave.start(kSlave, {"--slave", std::to_string(number), "--process", "plugin:" + kFixture, "--editor"}));
    ASSERT_TRUE(slave.waitForOutput("editor open: " + title + " (320 x 200)", 15000)) << slave.output();
    ASSERT_TRUE(editor_driver::waitForWindow(title, true, 5000)) << slave.output();

    CTestMaster master(number);
    ASSERT_TRUE(master.attach() && master.connect(2, 2, 64));
    const auto openedAt = std::chrono::steady_clock::now();
    int blocks = 0;
    while (std::chrono::steady_clock::now() - openedAt < milliseconds(1200)) {
        blocks += blockAnswered(master) ? 1 : 0;
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_GT(blocks, 10) << "blocks are served while the editor is open";

    ASSERT_TRUE(editor_driver::requestClose(title));
    ASSERT_TRUE(slave.waitForOutput("editor closed; the slave goes on serving", 5000)) << slave.output();
    EXPECT_TRUE(editor_driver::waitForWindow(title, false, 5000));
    std::vector<EditorCounts> counts = readCounts(log);
    ASSERT_EQ(counts.size(), 1u) << slave.output();
    EXPECT_EQ(counts[0].opens, 1);
    EXPECT_EQ(counts[0].closes, 1);
    // About 30 a second for 1.2 s; a loaded machine's slack is left well below that.
    EXPECT_GE(counts[0].idles, 10);
    EXPECT_GE(counts[0].effIdle, 10);
    EXPECT_TRUE(blockAnswered(master)) << "the slave serves with its editor closed";

    // Linux: SIGUSR1 opens it again; then Stop, which reopens the plug-in, has the editor closed
    // on the old instance first and opened on the fresh one.
    if (editor_driver::canReopen()) {
        ASSERT_TRUE(editor_driver::requestReopen(numberAfter(slave.output(), "kill -USR1 "))) << slave.output();
        EXPECT_TRUE(editor_driver::waitForWindow(title, true, 5000)) << slave.output();
        EXPECT_TRUE(blockAnswered(master));
        EXPECT_TRUE(master.send(kCmdStop, 2000));
        EXPECT_TRUE(slave.waitForOutput("Stop (2)", 5000)) << slave.output();
        counts = readCounts(log);
        ASSERT_EQ(counts.size(), 2u) << slave.output();
        EXPECT_EQ(counts[1].opens, 2);
        EXPECT_EQ(counts[1].closes, 2);
        EXPECT_TRUE(waitForOccurrences(slave, "editor open: ", 3, 5000)) << slave.output();
        EXPECT_TRUE(editor_driver::waitForWindow(title, true, 5000)) << slave.output();
        EXPECT_TRUE(blockAnswered(master));
    }
    master.channel.attachMaster(false);
    ASSERT_TRUE(slave.requestStop());
    int code = -1;
    ASSERT_TRUE(slave.waitExit(10000, code)) << slave.output();
    EXPECT_EQ(code, 0) << slave.output();
    counts = readCounts(log);
    if (editor_driver::canReopen()) {  // the fresh instance's editor, closed on the way out
        ASSERT_EQ(counts.size(), 3u) << slave.output();
        EXPECT_EQ(counts[2].opens, 1);
        EXPECT_EQ(counts[2].closes, 1);
    }
}

// Under --supervise the child hosts the plug-in and owns the window: a child that dies is started
// again and opens the window again.
TEST(SlaveEditor, ARestartedChildOpensItsWindowAgain) {
    if (!editor_driver::available()) GTEST_SKIP() << "no display";
    const std::int32_t number = uniqueSlaveNumber();
    const std::string title = "Fixture - tolvane-slave " + std::to_string(number);
    CChildProgram slave;
    ASSERT_TRUE(slave.start(kSlave, {"--supervise", "--slave", std::to_string(number), "--process",
                                     "plugin:" + kFixture, "--editor"}));
    ASSERT_TRUE(slave.waitForOutput("editor open: " + title, 15000)) << slave.output();
    ASSERT_TRUE(editor_driver::waitForWindow(title, true, 5000)) << slave.output();
    ASSERT_TRUE(editor_driver::endProcess(numberAfter(slave.output(), "child process "))) << slave.output();
    EXPECT_TRUE(waitForOccurrences(slave, "editor open: " + title, 2, 15000)) << slave.output();
    EXPECT_NE(slave.output().find("restart 1"), std::string::npos) << slave.output();
    EXPECT_TRUE(editor_driver::waitForWindow(title, true, 5000)) << slave.output();
    ASSERT_TRUE(slave.requestStop());
    int code = -1;
    ASSERT_TRUE(slave.waitExit(10000, code)) << slave.output();
    EXPECT_EQ(code, 0) << slave.output();
}

}  // namespace
