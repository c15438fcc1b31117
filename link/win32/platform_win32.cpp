// The link's objects on Windows: a page-file-backed named file mapping and two named auto-reset
// events, opened with the calls and arguments that every slave of this link uses.
//
// The handles themselves stand for the platform objects (no wrapper is allocated), so closing
// is one call per handle and nothing here allocates.
#include "link/platform.h"

#include <windows.h>

namespace {

constexpr DWORD kMappingProtection = PAGE_READWRITE | SEC_COMMIT;  // 0x8000004
static_assert(kMappingProtection == 0x8000004);
static_assert(EVENT_ALL_ACCESS == 0x1F0003);
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);
constexpr std::size_t kTouchStride = 4096;  // the smallest page size of 64-bit Windows

HANDLE handleOf(PlatformMapping* mapping) { return reinterpret_cast<HANDLE>(mapping); }
HANDLE handleOf(PlatformEvent* event) { return reinterpret_cast<HANDLE>(event); }

// Reads one byte of every page so that the page faults of a fresh view happen here and not on
// the audio thread. Only reads: the other process may be writing the block at this moment.
void touchPages(const void* view, std::size_t size) {
    const volatile unsigned char* bytes = static_cast<const volatile unsigned char*>(view);
    for (std::size_t offset = 0; offset < size; offset += kTouchStride) {
        (void)bytes[offset];
    }
    if (size > 0) {
        (void)bytes[size - 1];
    }
}

}  // namespace

PlatformMapping* platformOpenMapping(const char* name, std::size_t size, void** view) {
    if (view == nullptr) {
        return nullptr;
    }
    *view = nullptr;
    if (name == nullptr || size == 0) {
        return nullptr;
    }
    const ULONGLONG size64 = size;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, kMappingProtection,
                                        static_cast<DWORD>(size64 >> 32), static_cast<DWORD>(size64), name);
    if (mapping == nullptr) {
        return nullptr;
    }
    // Zero sizes map the whole mapping. An existing mapping made smaller by someone else would
    // give a shorter view than the block, so the view's extent is checked before it is used.
    void* address = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (address != nullptr) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(address, &region, sizeof region) == 0 || region.RegionSize < size) {
            UnmapViewOfFile(address);
            address = nullptr;
        }
    }
    if (address != nullptr) {
        touchPages(address, size);
        *view = address;
    }
    return reinterpret_cast<PlatformMapping*>(mapping);
}

void platformCloseMapping(PlatformMapping* mapping, void* view) {
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        CloseHandle(handleOf(mapping));
    }
}

PlatformEvent* platformOpenOrCreateEvent(const char* name) {
    if (name == nullptr) {
        return nullptr;
    }
    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    if (event == nullptr) {
        SECURITY_ATTRIBUTES attributes{};
        attributes.nLength = sizeof attributes;
        attributes.lpSecurityDescriptor = nullptr;
        attributes.bInheritHandle = FALSE;
        event = CreateEventA(&attributes, FALSE, FALSE, name);  // auto-reset, not signalled
    }
    return reinterpret_cast<PlatformEvent*>(event);
}

void platformCloseEvent(PlatformEvent* event) {
    if (event != nullptr) {
        CloseHandle(handleOf(event));
    }
}

bool platformSignalEvent(PlatformEvent* event) {
    return event != nullptr && SetEvent(handleOf(event)) != FALSE;
}

WaitResult platformWaitEvent(PlatformEvent* event, std::uint32_t milliseconds) {
    if (event == nullptr) {
        return WaitResult::Failed;
    }
    switch (WaitForSingleObject(handleOf(event), milliseconds)) {
    case WAIT_OBJECT_0: return WaitResult::Signalled;
    case WAIT_TIMEOUT: return WaitResult::TimedOut;
    default: return WaitResult::Failed;
    }
}
