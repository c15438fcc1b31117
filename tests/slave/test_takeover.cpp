// The reference slave and its slave lock: a tolvane-slave that was killed is seen gone by the
// master and taken over by the next one without --takeover. (That a living slave's byte is never
// taken, asked or not, is tested on the channel: StalePeers.KilledSlaveIsSeenGoneAndTakenOverByTheNext.)
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "link/slave_shmem.h"
#include "tests/support/child_program.h"
#include "tools/slave/slave_core.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int32_t uniqueSlaveNumber(int which) { return 3000000 + (testProcessId() % 100000) * 10 + which; }

// Starts tolvane-slave on the number and waits until it says it serves.
std::unique_ptr<CChildProgram> startProgram(std::int32_t number) {
    auto slave = std::make_unique<CChildProgram>();
    EXPECT_TRUE(slave->start(TOLVANE_SLAVE_EXE, {"--slave", std::to_string(number)}));
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (slave->output().find("serving") == std::string::npos && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_NE(slave->output().find("serving"), std::string::npos) << slave->output();
    return slave;
}

// GetInfo as the plug-in sends it; true when answered with the reference slave's mark.
bool answersGetInfo(CSlaveShMem& master) {
    if (!master.isSlaveAlive() || master.pollEvent(true)) return false;
    master.block->command = kCmdGetInfo;
    return master.signalEvent(true) && master.waitEvent(2000, nullptr) && master.block->command == kCmdGetInfo &&
           std::memcmp(master.block->args, kInfoId, sizeof kInfoId) == 0;
}

}  // namespace

TEST(SlaveTakeover, KilledProgramIsTakenOverByTheNextWithoutAsking) {
    const std::int32_t n = uniqueSlaveNumber(0);
    CSlaveShMem master(n);
    ASSERT_TRUE(master.attachMaster(true));
    auto slave = startProgram(n);
    ASSERT_TRUE(master.isSlaveAlive());
    EXPECT_TRUE(answersGetInfo(master));

    slave.reset();  // killed: no chance to clear its byte
    EXPECT_TRUE(master.isSlaveAttached());
    EXPECT_FALSE(master.isSlaveAlive());
    EXPECT_FALSE(answersGetInfo(master));  // nothing is sent to a dead slave

    slave = startProgram(n);
    EXPECT_TRUE(master.isSlaveAlive());
    EXPECT_TRUE(answersGetInfo(master));
    ASSERT_TRUE(slave->requestStop());
    int code = -1;
    ASSERT_TRUE(slave->waitExit(10000, code));
    EXPECT_EQ(code, 0) << slave->output();
    EXPECT_FALSE(master.isSlaveAttached());
}
