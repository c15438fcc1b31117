// CSlaveMem's roles and version bytes over a block in ordinary memory.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

#include "link/slave_mem.h"
#include "link/slave_shmem.h"

namespace {

class SlaveMemTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage.reset(new std::uint8_t[kSlaveBlockSize]);
        std::memset(storage.get(), 0, kSlaveBlockSize);
        block = reinterpret_cast<SlaveBlock*>(storage.get());
        resetSlaveBlock(*block);
        first.block = block;
        second.block = block;
    }

    const std::uint8_t* header() const { return storage.get(); }

    std::unique_ptr<std::uint8_t[]> storage;  // a plain heap buffer of the block's size
    SlaveBlock* block = nullptr;
    CSlaveMem first;
    CSlaveMem second;
};

TEST(SlaveMemWithoutBlock, RefusesEverythingAndReadsZeros) {
    CSlaveMem mem;
    EXPECT_EQ(nullptr, mem.block);
    EXPECT_FALSE(mem.masterRole);
    EXPECT_FALSE(mem.slaveRole);
    mem.resetBlock();
    mem.closeMapping();
    EXPECT_FALSE(mem.isMasterAttached());
    EXPECT_FALSE(mem.isSlaveAttached());
    EXPECT_FALSE(mem.attachMaster(true));
    EXPECT_FALSE(mem.attachMaster(false));
    EXPECT_FALSE(mem.attachSlave(true));
    EXPECT_FALSE(mem.writeMasterVersion(1, 8));
    EXPECT_FALSE(mem.writeSlaveVersion(1, 8));
    std::uint8_t a = 9, b = 9;
    mem.readSlaveVersion(a, b);
    EXPECT_EQ(0, a);
    EXPECT_EQ(0, b);
    a = b = 9;
    mem.readMasterVersion(a, b);
    EXPECT_EQ(0, a);
    EXPECT_EQ(0, b);
    EXPECT_FALSE(mem.masterRole || mem.slaveRole);
}

TEST_F(SlaveMemTest, AttachAndVersionGiveHeaderBytes118) {
    ASSERT_TRUE(first.attachMaster(true));
    ASSERT_TRUE(first.writeMasterVersion(kMasterVersionMajor, kMasterVersionMinor));
    EXPECT_EQ(1, header()[4]);
    EXPECT_EQ(1, header()[5]);
    EXPECT_EQ(8, header()[6]);
    EXPECT_EQ(0, header()[7]);
    EXPECT_TRUE(second.isMasterAttached());
    EXPECT_FALSE(second.isSlaveAttached());

    // The other side reads what this side wrote, and the reverse.
    ASSERT_TRUE(second.attachSlave(true));
    ASSERT_TRUE(second.writeSlaveVersion(2, 5));
    EXPECT_EQ(1, header()[7]);
    std::uint8_t a = 0, b = 0;
    first.readSlaveVersion(a, b);
    EXPECT_EQ(2, a);
    EXPECT_EQ(5, b);
    second.readMasterVersion(a, b);
    EXPECT_EQ(1, a);
    EXPECT_EQ(8, b);
}

TEST_F(SlaveMemTest, SecondMasterIsRefusedUntilTheFirstLeaves) {
    ASSERT_TRUE(first.attachMaster(true));
    // Taking a role already held is a success that writes nothing: a byte changed behind the
    // object's back stays as it is.
    block->masterAttached = 7;
    EXPECT_TRUE(first.attachMaster(true));
    EXPECT_EQ(7, block->masterAttached);
    block->masterAttached = 1;

    EXPECT_FALSE(second.attachMaster(true));
    EXPECT_FALSE(second.masterRole);
    EXPECT_EQ(1, block->masterAttached);

    EXPECT_TRUE(first.attachMaster(false));
    EXPECT_FALSE(first.masterRole);
    EXPECT_EQ(0, block->masterAttached);
    EXPECT_TRUE(second.attachMaster(true));
    EXPECT_TRUE(second.masterRole);
}

TEST_F(SlaveMemTest, GivingUpARoleNotHeldLeavesTheByte) {
    ASSERT_TRUE(first.attachMaster(true));
    ASSERT_TRUE(first.attachSlave(false));  // holds no slave role
    EXPECT_TRUE(second.attachMaster(false));
    EXPECT_EQ(1, block->masterAttached);
    block->slaveAttached = 1;  // a slave in another process
    EXPECT_TRUE(second.attachSlave(false));
    EXPECT_EQ(1, block->slaveAttached);
}

TEST_F(SlaveMemTest, AnyNonZeroByteCountsAsAttached) {
    block->masterAttached = 2;
    block->slaveAttached = 0xFF;
    EXPECT_TRUE(first.isMasterAttached());
    EXPECT_TRUE(first.isSlaveAttached());
    EXPECT_FALSE(first.attachMaster(true));
    EXPECT_FALSE(first.attachSlave(true));
    EXPECT_EQ(2, block->masterAttached);
    EXPECT_EQ(0xFF, block->slaveAttached);
}

TEST_F(SlaveMemTest, TakingOneRoleGivesUpTheOther) {
    ASSERT_TRUE(first.attachSlave(true));
    ASSERT_TRUE(first.attachMaster(true));
    EXPECT_TRUE(first.masterRole);
    EXPECT_FALSE(first.slaveRole);
    EXPECT_EQ(1, block->masterAttached);
    EXPECT_EQ(0, block->slaveAttached);

    ASSERT_TRUE(first.attachSlave(true));
    EXPECT_FALSE(first.masterRole);
    EXPECT_TRUE(first.slaveRole);
    EXPECT_EQ(0, block->masterAttached);
    EXPECT_EQ(1, block->slaveAttached);
}

TEST_F(SlaveMemTest, RefusedRoleChangeKeepsTheRoleHeld) {
    ASSERT_TRUE(first.attachSlave(true));
    ASSERT_TRUE(second.attachMaster(true));
    EXPECT_FALSE(first.attachMaster(true));
    EXPECT_TRUE(first.slaveRole);
    EXPECT_FALSE(first.masterRole);
    EXPECT_EQ(1, block->slaveAttached);
    EXPECT_TRUE(second.masterRole);
}

TEST_F(SlaveMemTest, ResetClearsTheHeaderOfTheBlock) {
    ASSERT_TRUE(first.attachMaster(true));
    ASSERT_TRUE(first.writeMasterVersion(1, 8));
    block->command = kCmdProcess;
    block->masterEventBytes = 31;
    block->args[0] = 0x42;
    first.resetBlock();
    for (int offset = 4; offset < 10; ++offset) {
        EXPECT_EQ(0, header()[offset]);
    }
    EXPECT_EQ(kCmdNone, block->command);
    EXPECT_EQ(0, block->masterEventBytes);
    EXPECT_EQ(0x42, block->args[0]);
}

// Two masters attaching to one block at the same instant: exactly one may win each time. The
// window of a test-then-set is a few instructions wide; with this many rounds such an attach
// was seen to lose the race dozens of times on a two-core machine.
TEST_F(SlaveMemTest, RacingMastersNeverBothWin) {
    constexpr int kRounds = 50000;
    CSlaveMem racers[2];
    std::atomic<int> round{-1};
    std::atomic<int> arrived{0};
    std::atomic<int> finished{0};
    bool won[2] = {false, false};

    auto race = [&](int index) {
        for (int r = 0; r < kRounds; ++r) {
            while (round.load() != r) {
                std::this_thread::yield();
            }
            // Both racers arrive, then both go as close together as the machine allows.
            arrived.fetch_add(1);
            for (int spins = 1; arrived.load() < 2 * (r + 1); ++spins) {
                if (spins % 1024 == 0) {
                    std::this_thread::yield();  // the other racer may not be running at all
                }
            }
            won[index] = racers[index].attachMaster(true);
            finished.fetch_add(1);
        }
    };

    std::thread a(race, 0);
    std::thread b(race, 1);
    int bothWon = 0;
    int noneWon = 0;
    for (int r = 0; r < kRounds; ++r) {
        block->masterAttached = 0;
        for (CSlaveMem& racer : racers) {
            racer.block = block;
            racer.masterRole = false;
        }
        finished.store(0);
        round.store(r);
        while (finished.load() < 2) {
            std::this_thread::yield();
        }
        bothWon += won[0] && won[1];
        noneWon += !won[0] && !won[1];
        if (won[0] != won[1]) {
            EXPECT_EQ(1, block->masterAttached);
            EXPECT_TRUE(racers[won[0] ? 0 : 1].masterRole);
            EXPECT_FALSE(racers[won[0] ? 1 : 0].masterRole);
        }
    }
    a.join();
    b.join();
    EXPECT_EQ(0, bothWon);
    EXPECT_EQ(0, noneWon);
}

}  // namespace
