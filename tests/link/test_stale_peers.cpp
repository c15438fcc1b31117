// Peers that die without clearing their attach byte, with real processes on both sides: a
// killed master's byte is taken over through its free master lock, a killed slave is seen gone
// through its free slave lock, and peers that keep no lock are treated as the byte alone says.
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
const char* const kStayForKill = "sleep:60000";

std::string peerArg(const char* step, std::int32_t number) { return std::string(step) + ":" + std::to_string(number); }

bool startPeer(CChildProgram& peer, const std::vector<std::string>& steps) {
    return peer.start(executableBeside("link_channel_peer"), steps, CChildProgram::Output::Shared);
}

int runPeer(const std::vector<std::string>& steps) {
    CChildProgram peer;
    return startPeer(peer, steps) ? peer.join(kJoinMs) : -2;
}

// Ends the peer at once (SIGKILL, TerminateProcess): nothing of it gets to clean up.
void killPeer(CChildProgram& peer) { EXPECT_EQ(peer.join(0), -1) << "the peer had already ended"; }

bool lockObjectExists(std::int32_t number) {
    return linkObjectExists(LinkObject::MasterLock, number) || linkObjectExists(LinkObject::SlaveLock, number);
}

}  // namespace

// A living master's lock refuses every other master, in this process or another; once that
// master is killed its byte stays set, and the next master takes it over with the lock.
TEST(StalePeers, KilledMasterIsTakenOverAndALiveOneStillRefuses) {
    const std::int32_t number = uniqueSlaveNumber();
    CSlaveShMem slave(number);  // keeps the block alive and learns when the peer holds the role
    ASSERT_TRUE(slave.attachSlave(true));
    CChildProgram peer;
    ASSERT_TRUE(startPeer(peer, {peerArg("open", number), "master", "signal", kStayForKill}));
    ASSERT_TRUE(slave.waitEvent(kReadyMs, nullptr));
    ASSERT_TRUE(slave.isMasterAttached());

    CSlaveShMem second(number);
    EXPECT_FALSE(second.attachMaster(true));
    EXPECT_FALSE(second.masterRole);
    EXPECT_EQ(runPeer({peerArg("open", number), "refused-master"}), 0);

    killPeer(peer);
    EXPECT_TRUE(slave.isMasterAttached());  // the dead master's byte outlives it
#ifdef _WIN32
    // The dead master's lock object went with it: it cannot be told from a living master that
    // keeps no lock, so its byte is refused until the block goes.
    EXPECT_FALSE(second.attachMaster(true));
    return;
#endif
    ASSERT_TRUE(second.attachMaster(true));
    EXPECT_TRUE(second.masterRole);
    EXPECT_EQ(second.block->masterAttached, 1);
    // The new master holds the lock now: the same refusals as before, and the link works.
    CSlaveShMem third(number);
    EXPECT_FALSE(third.attachMaster(true));
    EXPECT_EQ(runPeer({peerArg("open", number), "refused-master"}), 0);
    ASSERT_TRUE(second.signalEvent(true));
    EXPECT_TRUE(slave.waitEvent(1000, nullptr));

    // Giving the role up clears the byte and frees the lock for the next master.
    ASSERT_TRUE(second.attachMaster(false));
    EXPECT_FALSE(slave.isMasterAttached());
    EXPECT_EQ(runPeer({peerArg("open", number), "master"}), 0);
    EXPECT_TRUE(third.attachMaster(true));
    EXPECT_TRUE(linkObjectExists(LinkObject::MasterLock, number));
    ASSERT_TRUE(third.attachMaster(false));
    EXPECT_FALSE(linkObjectExists(LinkObject::MasterLock, number));
}

// A master that keeps no lock may be alive: its byte beside no lock object is refused, and the
// refused try leaves no lock object behind. Renumbering moves the lock along with the role.
TEST(StalePeers, LocklessMasterIsRefusedAndTheLockFollowsTheRole) {
    const std::int32_t oldNumber = uniqueSlaveNumber();
    const std::int32_t newNumber = uniqueSlaveNumber();
    CSlaveShMem oldObserver(oldNumber);
    CSlaveShMem newObserver(newNumber);
    newObserver.block->masterAttached = 1;  // set by hand, as by a master without a lock

    CSlaveShMem master(oldNumber);
    ASSERT_TRUE(master.attachMaster(true));
    master.openChannel(newNumber);
    EXPECT_FALSE(master.masterRole);
    EXPECT_TRUE(newObserver.isMasterAttached());   // untouched
    EXPECT_FALSE(oldObserver.isMasterAttached());  // given up with the old number
    EXPECT_FALSE(linkObjectExists(LinkObject::MasterLock, newNumber));
    EXPECT_FALSE(master.attachMaster(true));

    // Once that master is gone (its byte cleared), the role is taken and renumbering carries it.
    newObserver.block->masterAttached = 0;
    ASSERT_TRUE(master.attachMaster(true));
    EXPECT_EQ(runPeer({peerArg("open", newNumber), "refused-master"}), 0);
    master.openChannel(oldNumber);
    EXPECT_TRUE(master.masterRole);
    EXPECT_TRUE(oldObserver.isMasterAttached());
    EXPECT_FALSE(newObserver.isMasterAttached());
    EXPECT_EQ(runPeer({peerArg("open", newNumber), "master"}), 0);
    EXPECT_EQ(runPeer({peerArg("open", oldNumber), "refused-master"}), 0);

    // Into a block whose master is alive, the role ends and nothing of the other is touched.
    CSlaveShMem other(newNumber);
    ASSERT_TRUE(other.attachMaster(true));
    master.openChannel(newNumber);
    EXPECT_FALSE(master.masterRole);
    EXPECT_TRUE(other.masterRole);
    EXPECT_FALSE(oldObserver.isMasterAttached());
}

// A slave that took its lock and was killed leaves its byte set, and the master sees it gone
// through the free lock (each time it looks). The next slave that takes the lock takes the byte
// over by itself; a second slave is refused while the first is alive, whatever it asks.
TEST(StalePeers, KilledSlaveIsSeenGoneAndTakenOverByTheNext) {
    const std::int32_t number = uniqueSlaveNumber();
    CSlaveShMem master(number);
    ASSERT_TRUE(master.attachMaster(true));
    EXPECT_FALSE(master.isSlaveAlive());  // no slave at all

    CChildProgram peer;
    ASSERT_TRUE(startPeer(peer, {peerArg("open", number), "slave-lock:attached", "signal", kStayForKill}));
    ASSERT_TRUE(master.waitEvent(kReadyMs, nullptr));
    EXPECT_TRUE(master.isSlaveAlive());
    EXPECT_EQ(runPeer({peerArg("open", number), "slave-lock:live"}), 0);
    EXPECT_EQ(runPeer({peerArg("open", number), "slave-lock-force:live"}), 0);

    killPeer(peer);
    EXPECT_TRUE(master.isSlaveAttached());
    EXPECT_FALSE(master.isSlaveAlive());
    EXPECT_FALSE(master.isSlaveAlive());
    EXPECT_TRUE(linkObjectExists(LinkObject::SlaveLock, number));

    CChildProgram next;
    ASSERT_TRUE(startPeer(next, {peerArg("open", number), "slave-lock:tookover", "signal", "wait:10000"}));
    ASSERT_TRUE(master.waitEvent(kReadyMs, nullptr));
    EXPECT_TRUE(master.isSlaveAlive());
    ASSERT_TRUE(master.signalEvent(true));
    EXPECT_EQ(next.join(kJoinMs), 0);
    // That slave left properly: its byte is clear and its lock object is gone with it.
    EXPECT_FALSE(master.isSlaveAttached());
    EXPECT_FALSE(master.isSlaveAlive());
    EXPECT_FALSE(linkObjectExists(LinkObject::SlaveLock, number));
}

// A slave that takes no lock (as slaves written by others do) is present for as long as its
// byte is set, dead or alive; a slave with a lock takes its byte only when forced to.
TEST(StalePeers, SlaveWithoutALockIsTreatedAsBefore) {
    const std::int32_t number = uniqueSlaveNumber();
    CSlaveShMem master(number);
    ASSERT_TRUE(master.attachMaster(true));
    CChildProgram peer;
    ASSERT_TRUE(startPeer(peer, {peerArg("open", number), "slave", "signal", kStayForKill}));
    ASSERT_TRUE(master.waitEvent(kReadyMs, nullptr));
    EXPECT_TRUE(master.isSlaveAlive());
    EXPECT_EQ(runPeer({peerArg("open", number), "slave-lock:unknown"}), 0);

    killPeer(peer);
    EXPECT_TRUE(master.isSlaveAttached());
    EXPECT_TRUE(master.isSlaveAlive());
    EXPECT_EQ(runPeer({peerArg("open", number), "slave-lock:unknown"}), 0);
    EXPECT_FALSE(linkObjectExists(LinkObject::SlaveLock, number));  // a refused take leaves nothing

    EXPECT_EQ(runPeer({peerArg("open", number), "slave-lock-force:tookover"}), 0);
    EXPECT_FALSE(master.isSlaveAttached());  // and that slave cleared it when it left
}

// Whoever closes the block last also removes the lock objects that peers which died left behind.
TEST(StalePeers, LockObjectsGoWithTheBlock) {
    const std::int32_t number = uniqueSlaveNumber();
    {
        CSlaveShMem master(number);
        ASSERT_TRUE(master.attachMaster(true));
        CChildProgram slave;
        ASSERT_TRUE(startPeer(slave, {peerArg("open", number), "slave-lock:attached", "signal", kStayForKill}));
        ASSERT_TRUE(master.waitEvent(kReadyMs, nullptr));
        // (On Windows the lock of a slave that dies is kept only by a master that looked at it
        // while the slave lived, as a connecting master does.)
        EXPECT_TRUE(master.isSlaveAlive());
        killPeer(slave);
        EXPECT_FALSE(master.isSlaveAlive());
    }
    EXPECT_FALSE(linkObjectExists(LinkObject::Mapping, number));
    EXPECT_FALSE(lockObjectExists(number));

    // A master killed beside a living slave: the slave, leaving last, removes the master's lock.
    {
        CSlaveShMem slave(number);
        ASSERT_TRUE(slave.attachSlaveWithLock(false) == SlaveAttach::Attached);
        CChildProgram master;
        ASSERT_TRUE(startPeer(master, {peerArg("open", number), "master", "signal", kStayForKill}));
        ASSERT_TRUE(slave.waitEvent(kReadyMs, nullptr));
        killPeer(master);
        EXPECT_TRUE(slave.isMasterAttached());
    }
    EXPECT_FALSE(linkObjectExists(LinkObject::Mapping, number));
    EXPECT_FALSE(lockObjectExists(number));
}
