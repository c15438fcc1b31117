// The Windows objects as another process sees them through its own handles: one mapping of the
// block's size, auto-reset events, and a view refused over a mapping too small for the block.
#include <cstring>
#include <string>

#include <windows.h>

#include <gtest/gtest.h>

#include "link/object_names.h"
#include "link/platform.h"
#include "link/slave_block.h"
#include "tests/link/test_channel_process.h"

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
