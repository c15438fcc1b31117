// CSlaveShMem over the real named objects, with a second process (link_channel_peer) on the
// other side: roles, versions, the wake-up semantics, the timed wait, renumbering and the
// release of the objects. Each test uses slave numbers that no other test process shares.
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "link/object_names.h"
#include "link/slave_shmem.h"
#include "tests/support/child_program.h"

namespace {

constexpr std::uint32_t kJoinMs = 20000;
constexpr std::uint32_t kReadyMs = 10000;  // a peer's first wake-up: process start included

std::string peerArg(const char* step, std::int32_t number) { return std::string(step) + ":" + std::to_string(number); }

bool startPeer(CChildProgram& peer, const std::vector<std::string>& steps) {
    return peer.start(executableBeside("link_channel_peer"), steps, CChildProgram::Output::Shared);
}

int runPeer(const std::vector<std::string>& steps) {
    CChildProgram peer;
    if (!startPeer(peer, steps)) {
        return -2;
    }
    return peer.join(kJoinMs);
}

bool anyObjectExists(std::int32_t number) {
    return linkObjectExists(LinkObject::Mapping, number) || linkObjectExists(LinkObject::MasterEvent, number) ||
           linkObjectExists(LinkObject::SlaveEvent, number);
}

bool allObjectsExist(std::int32_t number) {
    return linkObjectExists(LinkObject::Mapping, number) && linkObjectExists(LinkObject::MasterEvent, number) &&
           linkObjectExists(LinkObject::SlaveEvent, number);
}

std::int32_t argsValue(const SlaveBlock& block) {
    std::int32_t value;
    std::memcpy(&value, block.args, sizeof value);
    return value;
}

}  // namespace

TEST(ChannelNames, NegativeNumbersSelectTheUnnumberedNames) {
    char name[kObjectNameSize];
    for (std::int32_t number : {-1, -7, INT32_MIN}) {
        formatObjectName(name, LinkObject::Mapping, number);
        EXPECT_STREQ(name, "PalisorSlave_ShMem");
        formatObjectName(name, LinkObject::MasterEvent, number);
        EXPECT_STREQ(name, "PalisorEv_Master");
        formatObjectName(name, LinkObject::SlaveEvent, number);
        EXPECT_STREQ(name, "PalisorEv_Slave");
    }
    formatObjectName(name, LinkObject::Mapping, 3);
    EXPECT_STREQ(name, "PalisorSlave_ShMem3");
    formatObjectName(name, LinkObject::MasterEvent, 0);
    EXPECT_STREQ(name, "PalisorEv_Master0");
    formatObjectName(name, LinkObject::SlaveEvent, INT32_MAX);
    EXPECT_STREQ(name, "PalisorEv_Slave2147483647");
}

TEST(Channel, NewChannelCreatesAResetBlockAndAllThreeObjects) {
    const std::int32_t number = uniqueSlaveNumber();
    ASSERT_FALSE(anyObjectExists(number));
    {
        CSlaveShMem channel(number);
        ASSERT_NE(channel.block, nullptr);
        ASSERT_NE(channel.mapping, nullptr);
        ASSERT_NE(channel.masterEventHandle, nullptr);
        ASSERT_NE(channel.slaveEventHandle, nullptr);
        EXPECT_TRUE(hasBlockMagic(*channel.block));
        EXPECT_FALSE(channel.isMasterAttached());
        EXPECT_FALSE(channel.isSlaveAttached());
        EXPECT_EQ(channel.block->command, kCmdNone);
        EXPECT_TRUE(allObjectsExist(number));
        // The whole block is mapped and writable, up to its last sample.
        channel.block->outputs[kSampleAreaSamples - 1] = 1.5f;
        EXPECT_EQ(channel.block->outputs[kSampleAreaSamples - 1], 1.5f);
    }
    EXPECT_FALSE(anyObjectExists(number));
}

TEST(Channel, SecondMasterIsRefusedInAnotherProcess) {
    const std::int32_t number = uniqueSlaveNumber();
    CSlaveShMem master(number);
    ASSERT_TRUE(master.attachMaster(true));
    ASSERT_TRUE(master.attachMaster(true));  // holding it already: granted again, byte unchanged
    EXPECT_EQ(master.block->masterAttached, 1);
    // The peer is refused the master role but may take the free slave role.
    EXPECT_EQ(runPeer({peerArg("open", number), "refused-master", "slave"}), 0);
    EXPECT_FALSE(master.isSlaveAttached());  // the peer gave its role up when it closed
    EXPECT_TRUE(master.isMasterAttached());

    ASSERT_TRUE(master.attachMaster(false));
    EXPECT_EQ(runPeer({peerArg("open", number), "master"}), 0);
    EXPECT_FALSE(master.isMasterAttached());
}

TEST(Channel, VersionsAndAttachBytesAreSeenAcrossProcesses) {
    const std::int32_t number = uniqueSlaveNumber();
    CSlaveShMem master(number);
    ASSERT_TRUE(master.attachMaster(true));
    ASSERT_TRUE(master.writeMasterVersion(kMasterVersionMajor, kMasterVersionMinor));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(master.block);
    EXPECT_EQ(bytes[4], 1);
    EXPECT_EQ(bytes[5], 1);
    EXPECT_EQ(bytes[6], 8);

    CChildProgram peer;
    ASSERT_TRUE(startPeer(peer, {peerArg("open", number), "slave", "version:2:3", "peer-version:1:8", "signal",
                                 "wait:10000"}));
    ASSERT_TRUE(master.waitEvent(kReadyMs, nullptr));
    EXPECT_TRUE(master.isSlaveAttached());
    std::uint8_t first = 0;
    std::uint8_t second = 0;
    master.readSlaveVersion(first, second);
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 3);
    ASSERT_TRUE(master.signalEvent(true));
    EXPECT_EQ(peer.join(kJoinMs), 0);
    EXPECT_FALSE(master.isSlaveAttached());
}

// Two signals before a wait leave one; a wait consumes it; a poll consumes it too.
TEST(Channel, WakeUpsAreBinaryAutoResetAndConsumedByThePoll) {
    const std::int32_t number = uniqueSlaveNumber();
    CSlaveShMem master(number);
    ASSERT_TRUE(master.attachMaster(true));

    EXPECT_EQ(runPeer({peerArg("open", number), "slave", "signal", "signal"}), 0);
    EXPECT_TRUE(master.waitEvent(1000, nullptr));
    EXPECT_FALSE(master.pollEvent(false));
    EXPECT_FALSE(master.waitEvent(20, nullptr));

    // The master's signal lands on the slave event only, and one poll clears it.
    ASSERT_TRUE(master.signalEvent(true));
    EXPECT_FALSE(master.pollEvent(false));
    EXPECT_TRUE(master.pollEvent(true));
    EXPECT_FALSE(master.pollEvent(true));
    EXPECT_EQ(runPeer({peerArg("open", number), "slave", "timeout:100"}), 0);

    // A signal left for the peer survives until the peer takes it, once.
    ASSERT_TRUE(master.signalEvent(true));
    ASSERT_TRUE(master.signalEvent(true));
    EXPECT_EQ(runPeer({peerArg("open", number), "slave", "wait:1000", "poll-empty"}), 0);
}

TEST(Channel, RoundTripsCarryTheBlockBetweenProcesses) {
    const std::int32_t number = uniqueSlaveNumber();
    constexpr int kRounds = 300;
    CSlaveShMem master(number);
    ASSERT_TRUE(master.attachMaster(true));
    CChildProgram peer;
    ASSERT_TRUE(startPeer(peer, {peerArg("open", number), "slave", "signal", "echo:" + std::to_string(kRounds)}));
    ASSERT_TRUE(master.waitEvent(kReadyMs, nullptr));
    for (std::int32_t round = 0; round < kRounds; ++round) {
        std::memcpy(master.block->args, &round, sizeof round);
        ASSERT_TRUE(master.signalEvent(true));
        ASSERT_TRUE(master.waitEvent(5000, nullptr)) << "round " << round;
        ASSERT_EQ(argsValue(*master.block), round + 1);
    }
    EXPECT_EQ(peer.join(kJoinMs), 0);
}

TEST(Channel, TimedWaitCountsEveryTimeoutAndNothingElse) {
    const std::int32_t number = uniqueSlaveNumber();
    CSlaveShMem channel(number);
    std::int32_t timeouts = 5;
    EXPECT_FALSE(channel.waitEvent(100, &timeouts));  // neither role: refused at once, not counted
    EXPECT_EQ(timeouts, 5);
    EXPECT_FALSE(channel.signalEvent(true));
    EXPECT_FALSE(channel.pollEvent(false));

    ASSERT_TRUE(channel.attachMaster(true));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel.waitEvent(100, &timeouts));
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(timeouts, 6);
    // Not an early return: the wait lasts its 100 ms (less a timer tick's granularity).
    EXPECT_GE(elapsed, std::chrono::milliseconds(90));
    EXPECT_FALSE(channel.waitEvent(100, nullptr));
    EXPECT_FALSE(channel.waitEvent(0, &timeouts));
    EXPECT_EQ(timeouts, 7);

    timeouts = INT32_MAX;
    EXPECT_FALSE(channel.waitEvent(0, &timeouts));
    EXPECT_EQ(timeouts, INT32_MAX);

    // A wake-up during the wait ends it early and counts nothing.
    timeouts = 0;
    CChildProgram peer;
    ASSERT_TRUE(startPeer(peer, {peerArg("open", number), "slave", "sleep:50", "signal"}));
    EXPECT_TRUE(channel.waitEvent(kReadyMs, &timeouts));
    EXPECT_EQ(timeouts, 0);
    EXPECT_EQ(peer.join(kJoinMs), 0);
}

TEST(Channel, RenumberingCarriesTheRoleOverToAFreeBlock) {
    const std::int32_t oldNumber = uniqueSlaveNumber();
    const std::int32_t newNumber = uniqueSlaveNumber();
    CSlaveShMem observer(oldNumber);  // keeps the old block alive to look at it
    CSlaveShMem master(oldNumber);
    ASSERT_TRUE(master.attachMaster(true));
    ASSERT_TRUE(observer.isMasterAttached());

    master.openChannel(newNumber);
    ASSERT_NE(master.block, nullptr);
    EXPECT_TRUE(master.masterRole);
    EXPECT_TRUE(master.isMasterAttached());
    EXPECT_FALSE(observer.isMasterAttached());
    EXPECT_EQ(runPeer({peerArg("open", newNumber), "refused-master"}), 0);

    // The slave role moves the same way.
    CSlaveShMem slave(oldNumber);
    ASSERT_TRUE(slave.attachSlave(true));
    slave.openChannel(newNumber);
    EXPECT_TRUE(slave.slaveRole);
    EXPECT_FALSE(observer.isSlaveAttached());
    EXPECT_TRUE(master.isSlaveAttached());
    // Both roles are usable under the new number.
    ASSERT_TRUE(master.signalEvent(true));
    EXPECT_TRUE(slave.waitEvent(1000, nullptr));
}

TEST(Channel, RenumberingIntoABlockThatAnotherMasterHoldsEndsTheRole) {
    const std::int32_t oldNumber = uniqueSlaveNumber();
    const std::int32_t heldNumber = uniqueSlaveNumber();
    CSlaveShMem oldObserver(oldNumber);
    CSlaveShMem heldObserver(heldNumber);
    ASSERT_TRUE(heldObserver.attachSlave(true));
    CChildProgram peer;
    ASSERT_TRUE(startPeer(peer, {peerArg("open", heldNumber), "master", "signal", "wait:10000"}));
    ASSERT_TRUE(heldObserver.waitEvent(kReadyMs, nullptr));  // the peer holds the master role now

    CSlaveShMem master(oldNumber);
    ASSERT_TRUE(master.attachMaster(true));
    master.openChannel(heldNumber);
    EXPECT_FALSE(master.masterRole);
    EXPECT_TRUE(master.isMasterAttached());  // the peer's byte, untouched
    EXPECT_FALSE(oldObserver.isMasterAttached());
    EXPECT_FALSE(master.signalEvent(true));  // no role, no signal

    // Back under the old number the object holds no role to carry.
    master.openChannel(oldNumber);
    EXPECT_FALSE(master.masterRole);
    EXPECT_FALSE(oldObserver.isMasterAttached());

    ASSERT_TRUE(heldObserver.signalEvent(true));
    EXPECT_EQ(peer.join(kJoinMs), 0);
}

TEST(Channel, ObjectsLastUntilTheLastSideClosesThem) {
    const std::int32_t number = uniqueSlaveNumber();
    auto master = std::make_unique<CSlaveShMem>(number);
    ASSERT_TRUE(master->attachMaster(true));
    CChildProgram peer;
    // The peer stays a while after the master has gone, then leaves as the last user.
    ASSERT_TRUE(startPeer(peer, {peerArg("open", number), "slave", "signal", "timeout:1000"}));
    ASSERT_TRUE(master->waitEvent(kReadyMs, nullptr));
    master.reset();
    EXPECT_TRUE(allObjectsExist(number));
    EXPECT_EQ(peer.join(kJoinMs), 0);
    EXPECT_FALSE(anyObjectExists(number));

    // The other order: the peer leaves first, the objects stay for the master and go with it.
    master = std::make_unique<CSlaveShMem>(number);
    EXPECT_EQ(runPeer({peerArg("open", number), "slave", "version:4:5"}), 0);
    EXPECT_TRUE(allObjectsExist(number));
    std::uint8_t first = 0;
    std::uint8_t second = 0;
    master->readSlaveVersion(first, second);
    EXPECT_EQ(first, 4);  // the block's content outlived the peer's close
    EXPECT_EQ(second, 5);
    master.reset();
    EXPECT_FALSE(anyObjectExists(number));
}

// A process that dies without closing leaves its attach byte set (nobody can tell it is gone)
// but does not keep the objects alive once the others have closed them.
TEST(Channel, DeadPeerLeavesItsAttachByteButNotItsObjects) {
    const std::int32_t number = uniqueSlaveNumber();
    auto master = std::make_unique<CSlaveShMem>(number);
    ASSERT_TRUE(master->attachMaster(true));
    EXPECT_EQ(runPeer({peerArg("open", number), "slave", "signal", "die"}), 0);
    EXPECT_TRUE(master->waitEvent(1000, nullptr));
    EXPECT_TRUE(master->isSlaveAttached());
    master.reset();
    EXPECT_FALSE(anyObjectExists(number));
}
