// Bare named-event ping-pong: a page-file-backed mapping of the block's size and two named
// auto-reset events, called directly.
#include "bench/link_bare.h"

#include <string>

#include <windows.h>

#include "link/slave_block.h"

struct BareLink {
    HANDLE mapping = nullptr;
    void* view = nullptr;
    HANDLE events[2] = {nullptr, nullptr};  // [0] wakes the parent, [1] the child
};

BareLink* bareOpen(const char* name, bool create, void** region) {
    auto* link = new BareLink;
    const std::string base(name);
    link->mapping = create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0,
                                                kSlaveBlockSize, (base + "_map").c_str())
                           : OpenFileMappingA(FILE_MAP_WRITE, FALSE, (base + "_map").c_str());
    for (int side = 0; side < 2; ++side) {
        const std::string eventName = base + (side == 0 ? "_parent" : "_child");
        link->events[side] = create ? CreateEventA(nullptr, FALSE, FALSE, eventName.c_str())
                                    : OpenEventA(EVENT_ALL_ACCESS, FALSE, eventName.c_str());
    }
    if (link->mapping != nullptr) {
        link->view = MapViewOfFile(link->mapping, FILE_MAP_WRITE, 0, 0, 0);
    }
    if (link->view == nullptr || link->events[0] == nullptr || link->events[1] == nullptr) {
        bareClose(link);
        return nullptr;
    }
    const volatile unsigned char* bytes = static_cast<const volatile unsigned char*>(link->view);
    for (std::size_t offset = 0; offset < kSlaveBlockSize; offset += 4096) {
        (void)bytes[offset];
    }
    *region = link->view;
    return link;
}

void bareClose(BareLink* link) {
    if (link->view != nullptr) {
        UnmapViewOfFile(link->view);
    }
    if (link->mapping != nullptr) {
        CloseHandle(link->mapping);
    }
    for (HANDLE event : link->events) {
        if (event != nullptr) {
            CloseHandle(event);
        }
    }
    delete link;
}

void bareSignal(BareLink* link, BareSide side) { SetEvent(link->events[static_cast<int>(side)]); }

bool bareWait(BareLink* link, BareSide side, std::uint32_t milliseconds) {
    return WaitForSingleObject(link->events[static_cast<int>(side)], milliseconds) == WAIT_OBJECT_0;
}
