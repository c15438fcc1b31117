// The link's objects on Windows: a page-file-backed named file mapping and two named auto-reset
// events, opened with the calls and arguments that every slave of this link uses.
//
// The handles themselves stand for the platform objects (no wrapper is allocated), so closing
// is one call per handle and nothing here allocates.
#include "link/platform.h"

#include <atomic>

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

bool platformCloseMapping(PlatformMapping* mapping, void* view) {
    if (view != nullptr) {
        UnmapViewOfFile(view);
    }
    if (mapping != nullptr) {
        CloseHandle(handleOf(mapping));
    }
    return false;  // the system removes the mapping with its last handle
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

namespace {

// The refusal of an open that failed: Windows names no owner and reserves the block's memory
// when the mapping is made (SEC_COMMIT fails with ERROR_COMMITMENT_LIMIT), so only the error
// code is known. Another user's objects are out of reach of the session's names.
void refuseWithLastError(const char* name, PlatformRefusal* why) {
    const DWORD error = GetLastError();
    if (why == nullptr) {
        return;
    }
    why->reason = OpenRefusal::Failed;
    why->error = static_cast<int>(error);
    if (name != nullptr) {
        lstrcpynA(why->path, name, static_cast<int>(sizeof why->path));
    }
}

}  // namespace

PlatformMapping* platformOpenMappingExplained(const char* name, std::size_t size, void** view, PlatformRefusal* why) {
    if (why != nullptr) {
        *why = PlatformRefusal{};
    }
    PlatformMapping* mapping = platformOpenMapping(name, size, view);
    if (mapping == nullptr || view == nullptr || *view == nullptr) {
        refuseWithLastError(name, why);
    }
    return mapping;
}

PlatformEvent* platformOpenOrCreateEventExplained(const char* name, PlatformRefusal* why) {
    if (why != nullptr) {
        *why = PlatformRefusal{};
    }
    PlatformEvent* event = platformOpenOrCreateEvent(name);
    if (event == nullptr) {
        refuseWithLastError(name, why);
    }
    return event;
}

bool platformObjectIsOurs(const char*, PlatformRefusal* why) {
    if (why != nullptr) {
        *why = PlatformRefusal{};
    }
    return true;
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

// ---- Lock objects ----------------------------------------------------------------------------
//
// Named mutexes, unnumbered for the default slave like the other objects. A named object lives
// while some process holds a handle to it, and the system closes a dead process's handles.
//
// The master's lock (LockKind::Role) is held by being the process that made the object and
// keeping its handle: the mutex is never owned. A thread-owned mutex would be wrong here: the
// host may take the master role on its audio thread and give it up on its dispatch thread
// (ReleaseMutex then fails and the mutex stays taken), and a host that ends a thread while the
// plug-in lives would leave the mutex abandoned under a living master.
//
// The slave's lock (LockKind::Presence) is owned: the slave's thread waits on it and keeps it.
// A master that looks at it keeps a handle between looks, so that the object, and with it the
// WAIT_ABANDONED that the system gives when its owner died, outlives the slave.

namespace {

HANDLE handleOf(PlatformLock* lock) { return reinterpret_cast<HANDLE>(lock); }

// The Presence locks this process holds, by a 64-bit hash of their name (0: a free slot). A
// mutex is granted again to the thread that owns it, so without this a second take on that
// thread would succeed and a look from it would find the lock free. Other threads and other
// processes are told apart by the mutex itself. Lock-free, as a look may run on the audio
// thread's slow path.
constexpr std::size_t kHeldSlots = 64;
std::atomic<std::uint64_t> heldPresence[kHeldSlots];

std::uint64_t nameHash(const char* name) {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (; *name != '\0'; ++name) {
        hash = (hash ^ static_cast<unsigned char>(*name)) * 1099511628211ull;
    }
    return hash != 0 ? hash : 1;
}

bool heldHere(std::uint64_t hash) {
    for (const auto& slot : heldPresence) {
        if (slot.load() == hash) {
            return true;
        }
    }
    return false;
}

void markHeld(std::uint64_t hash) {
    for (auto& slot : heldPresence) {
        std::uint64_t expected = 0;
        if (slot.compare_exchange_strong(expected, hash)) {
            return;
        }
    }
    // All slots in use: this process then relies on the mutex alone.
}

void unmarkHeld(std::uint64_t hash) {
    for (auto& slot : heldPresence) {
        std::uint64_t expected = hash;
        if (slot.compare_exchange_strong(expected, 0)) {
            return;
        }
    }
}

}  // namespace

LockTake platformTakeLock(const char* name, LockKind kind, std::uint32_t patienceMs, PlatformLock** lock,
                          bool* existed) {
    if (lock == nullptr) {
        return LockTake::Failed;
    }
    *lock = nullptr;
    if (name == nullptr) {
        return LockTake::Failed;
    }
    if (kind == LockKind::Role) {
        const ULONGLONG deadline = GetTickCount64() + patienceMs;
        for (;;) {
            SetLastError(ERROR_SUCCESS);
            HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
            if (mutex == nullptr) {
                return LockTake::Failed;
            }
            if (GetLastError() != ERROR_ALREADY_EXISTS) {
                if (existed != nullptr) {
                    *existed = false;
                }
                *lock = reinterpret_cast<PlatformLock*>(mutex);
                return LockTake::Taken;
            }
            // Someone holds a handle: the holder, or another process's try that closes it again.
            CloseHandle(mutex);
            if (GetTickCount64() >= deadline) {
                return LockTake::Busy;
            }
            Sleep(1);
        }
    }
    const std::uint64_t hash = nameHash(name);
    if (heldHere(hash)) {
        return LockTake::Busy;  // held by this very process
    }
    SetLastError(ERROR_SUCCESS);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
        return LockTake::Failed;
    }
    const bool wasThere = GetLastError() == ERROR_ALREADY_EXISTS;
    switch (WaitForSingleObject(mutex, patienceMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:  // its previous owner died holding it
        markHeld(hash);
        if (existed != nullptr) {
            *existed = wasThere;
        }
        *lock = reinterpret_cast<PlatformLock*>(mutex);
        return LockTake::Taken;
    case WAIT_TIMEOUT:
        CloseHandle(mutex);
        return LockTake::Busy;
    default:
        CloseHandle(mutex);
        return LockTake::Failed;
    }
}

void platformReleaseLock(PlatformLock* lock, const char* name) {
    if (lock == nullptr) {
        return;
    }
    // ReleaseMutex fails for a Role lock, which is never owned, and nothing else happens.
    if (ReleaseMutex(handleOf(lock)) && name != nullptr) {
        unmarkHeld(nameHash(name));
    }
    CloseHandle(handleOf(lock));
}

// The watch is the handle, with its lowest bit set once a look has found the mutex abandoned
// (handles are multiples of 4): after that first look the system no longer says so.
constexpr std::uintptr_t kSeenAbandoned = 1;

LockState platformProbeLock(const char* name, PlatformLockWatch** watch) {
    if (watch == nullptr || name == nullptr || heldHere(nameHash(name))) {
        return LockState::Held;
    }
    if (*watch == nullptr) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
        if (mutex == nullptr) {
            return LockState::Missing;
        }
        *watch = reinterpret_cast<PlatformLockWatch*>(mutex);
    }
    const auto bits = reinterpret_cast<std::uintptr_t>(*watch);
    HANDLE mutex = reinterpret_cast<HANDLE>(bits & ~kSeenAbandoned);
    switch (WaitForSingleObject(mutex, 0)) {
    case WAIT_TIMEOUT:
        *watch = reinterpret_cast<PlatformLockWatch*>(mutex);  // its holder is alive
        return LockState::Held;
    case WAIT_ABANDONED:
        ReleaseMutex(mutex);  // ours for a moment: given back at once, on this same thread
        *watch = reinterpret_cast<PlatformLockWatch*>(bits | kSeenAbandoned);
        return LockState::Free;
    case WAIT_OBJECT_0:
        ReleaseMutex(mutex);
        if ((bits & kSeenAbandoned) != 0) {
            return LockState::Free;  // still the dead holder's, as the earlier look found
        }
        // Given up properly, so its slave cleared its byte first: the byte set now is someone
        // else's (a slave that keeps no lock, or one about to take this lock). Let the object
        // go rather than keep it alive and free.
        CloseHandle(mutex);
        *watch = nullptr;
        return LockState::Missing;
    default:
        return LockState::Held;
    }
}

void platformForgetLock(PlatformLockWatch** watch) {
    if (watch != nullptr && *watch != nullptr) {
        CloseHandle(reinterpret_cast<HANDLE>(reinterpret_cast<std::uintptr_t>(*watch) & ~kSeenAbandoned));
        *watch = nullptr;
    }
}

void platformSweepLock(const char* name) { (void)name; }

std::uint64_t platformLockIdentity(const char*) { return 0; }

std::uint64_t platformCurrentThreadId() { return static_cast<std::uint64_t>(GetCurrentThreadId()) + 1; }
