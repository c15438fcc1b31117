// The Linux objects as a slave written by others sees them: names under /dev/shm, mode, sizes,
// the two event words and their futex, and the lock rule that decides who removes a name.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <linux/futex.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "link/object_names.h"
#include "link/platform.h"
#include "link/slave_shmem.h"
#include "tests/link/small_dev_shm_posix.h"
#include "tests/support/child_program.h"

namespace {

std::string nameOf(LinkObject object, std::int32_t number) {
    char name[kObjectNameSize];
    formatObjectName(name, object, number);
    return name;
}

bool statObject(const std::string& name, struct stat& status) {
    return stat(("/dev/shm/" + name).c_str(), &status) == 0;
}

// A foreign process's view of an object: its own descriptor and mapping of the first bytes.
struct RawObject {
    int fd = -1;
    void* address = MAP_FAILED;
    std::size_t length = 0;

    RawObject(const std::string& name, int flags, std::size_t mapLength, off_t truncateTo = -1) : length(mapLength) {
        fd = shm_open(("/" + name).c_str(), flags, 0600);
        if (fd >= 0 && truncateTo >= 0) {
            EXPECT_EQ(ftruncate(fd, truncateTo), 0);
        }
        if (fd >= 0 && length > 0) {
            address = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
    }
    ~RawObject() {
        if (address != MAP_FAILED) {
            munmap(address, length);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    std::atomic_ref<std::uint32_t> word(int index) {
        return std::atomic_ref<std::uint32_t>(static_cast<std::uint32_t*>(address)[index]);
    }
};

}  // namespace

TEST(PosixLink, ObjectsAreCreatedWithMode0600WhateverTheUmask) {
    const std::int32_t number = uniqueSlaveNumber();
    const mode_t previous = umask(0277);  // would leave 0400 of a plain shm_open(0600)
    CSlaveShMem channel(number);
    umask(previous);
    ASSERT_NE(channel.block, nullptr);
    for (LinkObject object : {LinkObject::Mapping, LinkObject::MasterEvent, LinkObject::SlaveEvent}) {
        struct stat status;
        ASSERT_TRUE(statObject(nameOf(object, number), status)) << nameOf(object, number);
        EXPECT_EQ(status.st_mode & 07777, 0600u) << nameOf(object, number);
        EXPECT_EQ(status.st_uid, geteuid());
        if (object == LinkObject::Mapping) {
            EXPECT_EQ(status.st_size, static_cast<off_t>(kSlaveBlockSize));
        } else {
            EXPECT_GE(status.st_size, 64);
        }
    }
}

TEST(PosixLink, EventWordsFollowTheWireLayout) {
    const std::string name = nameOf(LinkObject::SlaveEvent, uniqueSlaveNumber());
    PlatformEvent* event = platformOpenOrCreateEvent(name.c_str());
    ASSERT_NE(event, nullptr);
    RawObject foreign(name, O_RDWR, 64);
    ASSERT_NE(foreign.address, MAP_FAILED);

    // Our signal sets `state` at offset 0; a second one leaves it at 1; a poll takes it.
    ASSERT_TRUE(platformSignalEvent(event));
    EXPECT_EQ(foreign.word(0).load(), 1u);
    ASSERT_TRUE(platformSignalEvent(event));
    EXPECT_EQ(foreign.word(0).load(), 1u);
    EXPECT_EQ(platformWaitEvent(event, 0), WaitResult::Signalled);
    EXPECT_EQ(foreign.word(0).load(), 0u);
    EXPECT_EQ(platformWaitEvent(event, 0), WaitResult::TimedOut);

    // A foreign signaller that finds no waiter only stores the word; the poll finds it.
    foreign.word(0).store(1);
    EXPECT_EQ(platformWaitEvent(event, 0), WaitResult::Signalled);

    // A sleeping waiter counts itself in `waiters` at offset 4, and a foreign wake through the
    // shared futex reaches it.
    std::thread signaller([&foreign] {
        while (foreign.word(1).load() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        foreign.word(0).exchange(1);
        syscall(SYS_futex, foreign.address, FUTEX_WAKE, 1, nullptr, nullptr, 0);
    });
    EXPECT_EQ(platformWaitEvent(event, 10000), WaitResult::Signalled);
    signaller.join();
    EXPECT_EQ(foreign.word(1).load(), 0u);
    EXPECT_EQ(foreign.word(0).load(), 0u);
    platformCloseEvent(event);
}

// Wine stops and resumes the threads of its processes with signals, so the futex sleep of a
// slave run by Wine returns EINTR again and again: the wait sleeps on towards its own deadline,
// neither failing nor ending early, and still takes a signal that comes while it is interrupted.
TEST(PosixLink, WaitInterruptedBySignalsKeepsItsDeadline) {
    const std::string name = nameOf(LinkObject::SlaveEvent, uniqueSlaveNumber());
    PlatformEvent* event = platformOpenOrCreateEvent(name.c_str());
    ASSERT_NE(event, nullptr);
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);  // no SA_RESTART: the sleep returns EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    std::atomic<bool> waiting{true};
    std::atomic<int> interruptions{0};
    const pthread_t waiter = pthread_self();
    std::thread interrupter([&] {
        while (waiting.load()) {
            pthread_kill(waiter, SIGUSR1);
            ++interruptions;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platformWaitEvent(event, 300), WaitResult::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    std::thread signaller([event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        platformSignalEvent(event);
    });
    EXPECT_EQ(platformWaitEvent(event, 10000), WaitResult::Signalled);
    signaller.join();

    waiting = false;
    interrupter.join();
    EXPECT_GT(interruptions.load(), 10);
    sigaction(SIGUSR1, &previous, nullptr);
    platformCloseEvent(event);
}

TEST(PosixLink, ObjectOfAnotherSizeIsGrownButNeverShrunk) {
    const std::string name = nameOf(LinkObject::Mapping, uniqueSlaveNumber());
    {
        RawObject foreign(name, O_RDWR | O_CREAT | O_EXCL, 0);  // a slave that has not sized it yet
        ASSERT_GE(foreign.fd, 0);
    }
    void* view = nullptr;
    PlatformMapping* mapping = platformOpenMapping(name.c_str(), kSlaveBlockSize, &view);
    ASSERT_NE(mapping, nullptr);
    ASSERT_NE(view, nullptr);
    struct stat status;
    ASSERT_TRUE(statObject(name, status));
    EXPECT_EQ(status.st_size, static_cast<off_t>(kSlaveBlockSize));
    static_cast<unsigned char*>(view)[kSlaveBlockSize - 1] = 7;
    platformCloseMapping(mapping, view);
    EXPECT_FALSE(statObject(name, status));

    const off_t larger = static_cast<off_t>(kSlaveBlockSize) + 8192;
    {
        RawObject foreign(name, O_RDWR | O_CREAT | O_EXCL, 0, larger);
        ASSERT_GE(foreign.fd, 0);
    }
    mapping = platformOpenMapping(name.c_str(), kSlaveBlockSize, &view);
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(statObject(name, status));
    EXPECT_EQ(status.st_size, larger);
    platformCloseMapping(mapping, view);
    EXPECT_FALSE(statObject(name, status));
}

TEST(PosixLink, CloseLeavesANewerObjectUnderTheSameName) {
    const std::string name = nameOf(LinkObject::MasterEvent, uniqueSlaveNumber());
    PlatformEvent* event = platformOpenOrCreateEvent(name.c_str());
    ASSERT_NE(event, nullptr);
    // Someone removed our object and made a new one under the name; its users are not ours.
    ASSERT_EQ(shm_unlink(("/" + name).c_str()), 0);
    RawObject newer(name, O_RDWR | O_CREAT | O_EXCL, 0, 64);
    ASSERT_GE(newer.fd, 0);
    platformCloseEvent(event);
    struct stat status;
    EXPECT_TRUE(statObject(name, status));
    shm_unlink(("/" + name).c_str());
}

TEST(PosixLink, CloseLeavesAnObjectThatAnotherUserHolds) {
    const std::string name = nameOf(LinkObject::MasterEvent, uniqueSlaveNumber());
    PlatformEvent* event = platformOpenOrCreateEvent(name.c_str());
    ASSERT_NE(event, nullptr);
    {
        RawObject foreign(name, O_RDWR, 64);
        ASSERT_EQ(flock(foreign.fd, LOCK_SH), 0);
        platformCloseEvent(event);
        struct stat status;
        EXPECT_TRUE(statObject(name, status));
        // The foreign side, now the last user, follows the same rule.
        ASSERT_EQ(flock(foreign.fd, LOCK_EX | LOCK_NB), 0);
        shm_unlink(("/" + name).c_str());
    }
}

// An opener that meets an object its last user is removing (exclusive lock held) waits for the
// removal and then makes a fresh object, instead of keeping the removed one.
TEST(PosixLink, OpenDuringTheLastUsersRemovalGetsAFreshObject) {
    const std::string name = nameOf(LinkObject::Mapping, uniqueSlaveNumber());
    auto leaving = std::make_unique<RawObject>(name, O_RDWR | O_CREAT | O_EXCL, 0, 4096);
    ASSERT_GE(leaving->fd, 0);
    ASSERT_EQ(flock(leaving->fd, LOCK_EX), 0);

    void* view = nullptr;
    PlatformMapping* mapping = nullptr;
    std::thread opener([&] { mapping = platformOpenMapping(name.c_str(), kSlaveBlockSize, &view); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it block on the lock
    ASSERT_EQ(shm_unlink(("/" + name).c_str()), 0);
    leaving.reset();
    opener.join();
    ASSERT_NE(mapping, nullptr);
    ASSERT_NE(view, nullptr);
    // The view is of the object the name names now, not of the removed one.
    static_cast<unsigned char*>(view)[0] = 0x5A;
    {
        RawObject named(name, O_RDWR, 4096);
        ASSERT_NE(named.address, MAP_FAILED);
        EXPECT_EQ(static_cast<unsigned char*>(named.address)[0], 0x5A);
    }
    struct stat current;
    ASSERT_TRUE(statObject(name, current));
    EXPECT_EQ(current.st_size, static_cast<off_t>(kSlaveBlockSize));
    platformCloseMapping(mapping, view);
    EXPECT_FALSE(statObject(name, current));
}

// The lock objects as another implementation sees them: an empty 0600 object whose holder keeps
// an exclusive flock; a holder that gives it up removes it, one that dies leaves it free.
TEST(PosixLink, LockObjectIsAnEmptyObjectHeldByAnExclusiveFlock) {
    const std::string name = nameOf(LinkObject::SlaveLock, uniqueSlaveNumber());
    const mode_t previous = umask(0277);
    PlatformLock* lock = nullptr;
    bool existed = true;
    ASSERT_EQ(platformTakeLock(name.c_str(), LockKind::Presence, 0, &lock, &existed), LockTake::Taken);
    umask(previous);
    EXPECT_FALSE(existed);
    struct stat status;
    ASSERT_TRUE(statObject(name, status));
    EXPECT_EQ(status.st_mode & 07777, 0600u);
    EXPECT_EQ(status.st_size, 0);
    {
        RawObject foreign(name, O_RDWR, 0);
        ASSERT_GE(foreign.fd, 0);
        EXPECT_NE(flock(foreign.fd, LOCK_SH | LOCK_NB), 0);
        EXPECT_EQ(errno, EWOULDBLOCK);
    }
    EXPECT_EQ(platformProbeLock(name.c_str(), nullptr), LockState::Held);
    PlatformLock* second = nullptr;  // another descriptor is refused, even in this process
    EXPECT_EQ(platformTakeLock(name.c_str(), LockKind::Role, 20, &second, nullptr), LockTake::Busy);
    EXPECT_EQ(second, nullptr);
    platformReleaseLock(lock, name.c_str());
    EXPECT_FALSE(statObject(name, status));
    EXPECT_EQ(platformProbeLock(name.c_str(), nullptr), LockState::Missing);

    // A foreign holder that dies: its descriptor closes, the object stays, free.
    {
        RawObject foreign(name, O_RDWR | O_CREAT | O_EXCL, 0);
        ASSERT_EQ(flock(foreign.fd, LOCK_EX | LOCK_NB), 0);
        EXPECT_EQ(platformProbeLock(name.c_str(), nullptr), LockState::Held);
    }
    EXPECT_EQ(platformProbeLock(name.c_str(), nullptr), LockState::Free);
    ASSERT_EQ(platformTakeLock(name.c_str(), LockKind::Presence, 0, &lock, &existed), LockTake::Taken);
    EXPECT_TRUE(existed);
    platformReleaseLock(lock, name.c_str());
    EXPECT_FALSE(statObject(name, status));
}

// A taker waits out a brief look (a shared lock held for a moment) within its patience, and a
// sweep leaves a held lock alone (the removal of free ones: StalePeers.LockObjectsGoWithTheBlock).
TEST(PosixLink, LockTakeWaitsOutALookAndSweepLeavesAHeldLock) {
    const std::string name = nameOf(LinkObject::MasterLock, uniqueSlaveNumber());
    auto looker = std::make_unique<RawObject>(name, O_RDWR | O_CREAT | O_EXCL, 0);
    ASSERT_EQ(flock(looker->fd, LOCK_SH), 0);
    PlatformLock* lock = nullptr;
    EXPECT_EQ(platformTakeLock(name.c_str(), LockKind::Role, 0, &lock, nullptr), LockTake::Busy);
    std::thread lookEnds([&looker] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        looker.reset();
    });
    EXPECT_EQ(platformTakeLock(name.c_str(), LockKind::Role, 5000, &lock, nullptr), LockTake::Taken);
    lookEnds.join();
    platformSweepLock(name.c_str());
    struct stat status;
    EXPECT_TRUE(statObject(name, status));  // held: not swept
    {
        RawObject foreign(name, O_RDWR, 0);
        ASSERT_GE(foreign.fd, 0);
        EXPECT_NE(flock(foreign.fd, LOCK_EX | LOCK_NB), 0);
    }
    platformReleaseLock(lock, name.c_str());
    EXPECT_FALSE(statObject(name, status));
}

// A container's /dev/shm of 64 MB holds about eleven blocks. On tmpfs the block's pages must be
// reserved when it is opened: the first write into a page that could not be had is a SIGBUS
// (into the block's reset when nothing at all was free). Here the child's /dev/shm holds one
// block and not two.
TEST(PosixLink, FullDevShmRefusesTheBlockInsteadOfFaulting) {
    const std::int32_t held = uniqueSlaveNumber();
    const std::int32_t refused = uniqueSlaveNumber();
    const SmallShmRun run = runWithSmallDevShm(8, [&] {
        CSlaveShMem first(held);
        if (first.block == nullptr) return 11;
        {
            CSlaveShMem second(refused);
            if (second.block != nullptr) {
                // A block that is given must be whole: its last page is where a block whose
                // pages were not reserved faults.
                reinterpret_cast<volatile unsigned char*>(second.block)[kSlaveBlockSize - 1] = 1;
                return 12;
            }
        }
        struct stat status;
        if (statObject(nameOf(LinkObject::Mapping, refused), status)) return 13;  // left behind
        PlatformRefusal why;
        void* view = nullptr;
        const std::string name = nameOf(LinkObject::Mapping, refused);
        if (platformOpenMappingExplained(name.c_str(), kSlaveBlockSize, &view, &why) != nullptr) return 14;
        if (why.reason != OpenRefusal::NoSpace || why.needed != kSlaveBlockSize || why.available >= kSlaveBlockSize ||
            why.available == 0 || std::string(why.path) != "/dev/shm/" + name) {
            return 15;
        }
        {
            // Made by a slave that only sized it, as step 4 alone does: its pages are reserved (and
            // refused) by whoever maps it.
            RawObject sizedOnly(name, O_RDWR | O_CREAT | O_EXCL, 0, static_cast<off_t>(kSlaveBlockSize));
            if (platformOpenMapping(name.c_str(), kSlaveBlockSize, &view) != nullptr) return 16;
            shm_unlink(("/" + name).c_str());
        }
        reinterpret_cast<unsigned char*>(first.block)[kSlaveBlockSize - 1] = 1;  // the held block is whole
        return 0;
    });
    if (run.skipped) GTEST_SKIP() << "no private /dev/shm here (making a mount namespace needs CAP_SYS_ADMIN)";
    ASSERT_TRUE(run.exited) << "the child died of signal " << run.signal << (run.signal == SIGBUS ? " (SIGBUS)" : "");
    EXPECT_EQ(run.code, 0) << "11: first block refused, 12: second block given, 13: its name left behind, "
                              "14/15: the explained open does not say NoSpace with the sizes and path, 16: a block "
                              "another side only sized is given; "
                              "1: a sanitizer reported the child's fault (SIGBUS) and ended it";
}

// Another user made the names first (0666, or their own 0600 object): streaming through it would
// let them read the audio and kill us by truncating it. Every object kind is refused, with the
// reason, and left exactly as it was.
TEST(PosixLink, ObjectsOfAnotherUserOrOpenToOthersAreRefusedAndLeftAlone) {
    struct Planted {
        mode_t mode;
        uid_t owner;
    };
    std::vector<Planted> plantings = {{0666, geteuid()}, {0640, geteuid()}};
    if (geteuid() == 0) plantings.push_back({0600, 65534});  // only root can give an object away
    for (const Planted& planted : plantings) {
        for (LinkObject kind : {LinkObject::Mapping, LinkObject::SlaveEvent, LinkObject::SlaveLock}) {
            const std::int32_t number = uniqueSlaveNumber();
            const std::string name = nameOf(kind, number);
            SCOPED_TRACE(name + " owner " + std::to_string(planted.owner) + " mode 0" +
                         std::to_string(planted.mode >> 6) + std::to_string((planted.mode >> 3) & 7) +
                         std::to_string(planted.mode & 7));
            RawObject foreign(name, O_RDWR | O_CREAT | O_EXCL, 0, kind == LinkObject::SlaveLock ? 0 : 4096);
            ASSERT_GE(foreign.fd, 0);
            ASSERT_EQ(fchmod(foreign.fd, planted.mode), 0);
            ASSERT_EQ(fchown(foreign.fd, planted.owner, static_cast<gid_t>(-1)), 0);

            PlatformRefusal why;
            if (kind == LinkObject::Mapping) {
                CSlaveShMem channel(number);  // the plug-in's way in
                EXPECT_EQ(channel.block, nullptr);
                void* view = nullptr;
                EXPECT_EQ(platformOpenMappingExplained(name.c_str(), kSlaveBlockSize, &view, &why), nullptr);
            } else if (kind == LinkObject::SlaveEvent) {
                EXPECT_EQ(platformOpenOrCreateEventExplained(name.c_str(), &why), nullptr);
            } else {
                PlatformLock* lock = nullptr;
                EXPECT_EQ(platformTakeLock(name.c_str(), LockKind::Presence, 0, &lock, nullptr), LockTake::Failed);
                EXPECT_EQ(platformProbeLock(name.c_str(), nullptr), LockState::Held);
                EXPECT_EQ(platformLockIdentity(name.c_str()), 0u);
                platformSweepLock(name.c_str());
                EXPECT_FALSE(platformObjectIsOurs(name.c_str(), &why));
            }
            EXPECT_EQ(why.reason, OpenRefusal::Foreign);
            EXPECT_EQ(why.ownerId, planted.owner);
            EXPECT_EQ(why.mode & 07777, planted.mode);
            EXPECT_EQ(std::string(why.path), "/dev/shm/" + name);
            struct stat status;
            ASSERT_TRUE(statObject(name, status));  // neither removed nor resized
            EXPECT_EQ(status.st_size, kind == LinkObject::SlaveLock ? 0 : 4096);
            EXPECT_NE(flock(foreign.fd, LOCK_EX | LOCK_NB), -1) << "someone still holds a lock on it";
            shm_unlink(("/" + name).c_str());
        }
    }
}
