// Bare futex ping-pong: the block-sized region and two 32-bit words after it, one per side.
// The signal always issues the wake (no waiter count), the wait sleeps on a relative timeout.
#include "bench/link_bare.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "link/slave_block.h"

namespace {
constexpr std::size_t kRegionSize = kSlaveBlockSize + 64;
}

struct BareLink {
    std::string name;
    bool owner = false;
    int fd = -1;
    unsigned char* base = nullptr;
    std::uint32_t* words = nullptr;  // [0] wakes the parent, [1] the child
};

BareLink* bareOpen(const char* name, bool create, void** region) {
    auto* link = new BareLink;
    link->name = std::string("/") + name;
    link->owner = create;
    link->fd = shm_open(link->name.c_str(), O_RDWR | (create ? O_CREAT | O_EXCL : 0), 0600);
    if (link->fd < 0 || (create && ftruncate(link->fd, kRegionSize) != 0)) {
        bareClose(link);
        return nullptr;
    }
    void* address = mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, link->fd, 0);
    if (address == MAP_FAILED) {
        bareClose(link);
        return nullptr;
    }
    link->base = static_cast<unsigned char*>(address);
    link->words = reinterpret_cast<std::uint32_t*>(link->base + kSlaveBlockSize);
    *region = link->base;
    return link;
}

void bareClose(BareLink* link) {
    if (link->base != nullptr) {
        munmap(link->base, kRegionSize);
    }
    if (link->fd >= 0) {
        close(link->fd);
    }
    if (link->owner) {
        shm_unlink(link->name.c_str());
    }
    delete link;
}

void bareSignal(BareLink* link, BareSide side) {
    std::uint32_t* word = &link->words[static_cast<int>(side)];
    std::atomic_ref<std::uint32_t>(*word).store(1);
    syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

bool bareWait(BareLink* link, BareSide side, std::uint32_t milliseconds) {
    std::uint32_t* word = &link->words[static_cast<int>(side)];
    const timespec timeout{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    for (int round = 0; round < 1000; ++round) {
        if (std::atomic_ref<std::uint32_t>(*word).exchange(0) == 1) {
            return true;
        }
        if (syscall(SYS_futex, word, FUTEX_WAIT, 0, &timeout, nullptr, 0) != 0 && errno == ETIMEDOUT) {
            return std::atomic_ref<std::uint32_t>(*word).exchange(0) == 1;
        }
    }
    return false;
}
