// The Windows objects as another process sees them through its own handles: one mapping of the
// block's size, auto-reset events, a view refused over a mapping too small for the block, and
// the two lock mutexes (the slave's owned and abandoned by a killed owner, the master's held by
// its existence).
#include <cstring>
#include <string>
#include <thread>

#include <windows.h>

#include <gtest/gtest.h>

#include "link/object_names.h"
#include "link/platform.h"
#include "link/slave_block.h"
#include "link/slave_shmem.h"
#include "tests/support/child_program.h"

namespace {

std::string nameOf(LinkObject object, std::int32_t number) {
    char name[kObjectNameSize];
    formatObjectName(name, object, number);
    return name;
}

}  // namespace

TEST(Win32Link, MappingIsSharedWithAnotherHandleOverTheWholeBlock) {
    const std::string name = nameOf(LinkObject::Mapping, uniqueSlaveNumber());
    void* view = nullptr;
    PlatformMapping* mapping = platformOpenMapping(name.c_str(), kSlaveBlockSize, &view);
    ASSERT_NE(mapping, nullptr);
    ASSERT_NE(view, nullptr);
    auto* bytes = static_cast<unsigned char*>(view);
    EXPECT_EQ(bytes[0], 0);  // a new mapping is zero-filled
    bytes[kSlaveBlockSize - 1] = 0x5A;

    HANDLE other = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    void* otherView = MapViewOfFile(other, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(otherView, nullptr);
    MEMORY_BASIC_INFORMATION region{};
    ASSERT_NE(VirtualQuery(otherView, &region, sizeof region), 0u);
    EXPECT_GE(region.RegionSize, kSlaveBlockSize);
    EXPECT_EQ(static_cast<unsigned char*>(otherView)[kSlaveBlockSize - 1], 0x5A);
    UnmapViewOfFile(otherView);
    CloseHandle(other);
    platformCloseMapping(mapping, view);
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
}

TEST(Win32Link, MappingTooSmallForTheBlockGivesNoView) {
    const std::string name = nameOf(LinkObject::Mapping, uniqueSlaveNumber());
    HANDLE small = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, 65536, name.c_str());
    ASSERT_NE(small, nullptr);
    void* view = reinterpret_cast<void*>(1);
    PlatformMapping* mapping = platformOpenMapping(name.c_str(), kSlaveBlockSize, &view);
    EXPECT_NE(mapping, nullptr);  // the mapping is open, as it exists ...
    EXPECT_EQ(view, nullptr);     // ... but no view shorter than the block is handed out
    platformCloseMapping(mapping, view);
    CloseHandle(small);
}

TEST(Win32Link, EventsAreAutoResetAndSharedByName) {
    const std::string name = nameOf(LinkObject::SlaveEvent, uniqueSlaveNumber());
    PlatformEvent* event = platformOpenOrCreateEvent(name.c_str());
    ASSERT_NE(event, nullptr);
    HANDLE other = OpenEventA(EVENT_ALL_ACCESS, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(WaitForSingleObject(other, 0), static_cast<DWORD>(WAIT_TIMEOUT));  // created not signalled

    ASSERT_TRUE(platformSignalEvent(event));
    EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(other, 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(SetEvent(other));
    ASSERT_TRUE(SetEvent(other));
    EXPECT_EQ(platformWaitEvent(event, 0), WaitResult::Signalled);
    EXPECT_EQ(platformWaitEvent(event, 0), WaitResult::TimedOut);

    // Opening again finds the same event rather than creating another.
    PlatformEvent* again = platformOpenOrCreateEvent(name.c_str());
    ASSERT_NE(again, nullptr);
    ASSERT_TRUE(platformSignalEvent(again));
    EXPECT_EQ(platformWaitEvent(event, 0), WaitResult::Signalled);
    platformCloseEvent(again);
    CloseHandle(other);
    platformCloseEvent(event);
}

// The slave's lock is a mutex its slave owns; when that process is killed, a handle kept by
// someone else reads WAIT_ABANDONED (this is what tells a master the slave died).
TEST(Win32Link, SlaveLockOfAKilledProcessReadsAbandoned) {
    const std::int32_t number = uniqueSlaveNumber();
    const std::string name = nameOf(LinkObject::SlaveLock, number);
    CSlaveShMem master(number);
    ASSERT_TRUE(master.attachMaster(true));
    CChildProgram peer;
    ASSERT_TRUE(peer.start(executableBeside("link_channel_peer"),
                           {"open:" + std::to_string(number), "slave-lock:attached", "signal", "sleep:60000"},
                           CChildProgram::Output::Shared));
    ASSERT_TRUE(master.waitEvent(10000, nullptr));
    HANDLE watch = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(watch, nullptr);
    EXPECT_EQ(WaitForSingleObject(watch, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(peer.join(0), -1);  // TerminateProcess
    EXPECT_EQ(WaitForSingleObject(watch, 0), static_cast<DWORD>(WAIT_ABANDONED));
    EXPECT_TRUE(ReleaseMutex(watch));
    CloseHandle(watch);
}

// The master's lock is held by being the process that made the mutex: it is never owned, so
// the host may give the role up on another thread than the one that took it.
TEST(Win32Link, MasterLockIsHeldByItsHandleOnAnyThread) {
    const std::string name = nameOf(LinkObject::MasterLock, uniqueSlaveNumber());
    PlatformLock* lock = nullptr;
    ASSERT_EQ(platformTakeLock(name.c_str(), LockKind::Role, 0, &lock, nullptr), LockTake::Taken);
    HANDLE other = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(other);
    PlatformLock* second = nullptr;
    EXPECT_EQ(platformTakeLock(name.c_str(), LockKind::Role, 20, &second, nullptr), LockTake::Busy);
    std::thread elsewhere([&] { platformReleaseLock(lock, name.c_str()); });
    elsewhere.join();
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, name.c_str()), nullptr);
    ASSERT_EQ(platformTakeLock(name.c_str(), LockKind::Role, 0, &second, nullptr), LockTake::Taken);
    platformReleaseLock(second, name.c_str());
}

// A mutex is granted again to the thread that owns it: a second take or a look from that same
// thread must still see the slave's lock held.
TEST(Win32Link, SlaveLockIsHeldForItsOwnThreadToo) {
    const std::string name = nameOf(LinkObject::SlaveLock, uniqueSlaveNumber());
    PlatformLock* lock = nullptr;
    bool existed = true;
    ASSERT_EQ(platformTakeLock(name.c_str(), LockKind::Presence, 0, &lock, &existed), LockTake::Taken);
    EXPECT_FALSE(existed);
    PlatformLock* second = nullptr;
    EXPECT_EQ(platformTakeLock(name.c_str(), LockKind::Presence, 0, &second, nullptr), LockTake::Busy);
    PlatformLockWatch* watch = nullptr;
    EXPECT_EQ(platformProbeLock(name.c_str(), &watch), LockState::Held);
    LockState fromAnotherThread = LockState::Missing;
    std::thread looker([&] {
        PlatformLockWatch* own = nullptr;
        fromAnotherThread = platformProbeLock(name.c_str(), &own);
        platformForgetLock(&own);
    });
    looker.join();
    EXPECT_EQ(fromAnotherThread, LockState::Held);
    platformReleaseLock(lock, name.c_str());
    // Given up properly: a look finds nothing to say the next byte's slave is dead.
    EXPECT_EQ(platformProbeLock(name.c_str(), &watch), LockState::Missing);
    platformForgetLock(&watch);
}
