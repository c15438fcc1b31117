// The link's objects on Linux: POSIX shared-memory objects under /dev/shm for the block and for
// each event, events made of two shared 32-bit words woken through shared futexes.
//
// This is a wire contract with slaves written by others (docs/link-posix.md): the names, the
// mode, the sizes, the two event words and the lock rule that removes the objects after their
// last user must stay exactly as they are here. So must the lock objects at the end of this
// file: an empty object whose exclusive flock marks the living holder of a role.
#include "link/platform.h"
#include "link/posix/race_detector_sync.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr mode_t kObjectMode = 0600;
constexpr std::size_t kEventObjectSize = 64;  // the event's two words, rounded up
constexpr int kOpenAttempts = 16;             // reopen rounds while the name keeps being removed

// One open shared-memory object: its descriptor (which holds our shared lock) and its names.
struct SharedObject {
    int fd = -1;
    char objectName[72] = {};  // "/PalisorEv_Master3", as given to shm_open
    char pathName[80] = {};    // "/dev/shm/PalisorEv_Master3", for the identity check
};

static_assert(sizeof SharedObject::pathName == sizeof PlatformRefusal::path, "a refusal carries the whole path");

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True while the descriptor's object is the one that the name currently names.
bool nameStillNames(const SharedObject& object) {
    struct stat byDescriptor;
    struct stat byName;
    return fstat(object.fd, &byDescriptor) == 0 && stat(object.pathName, &byName) == 0 &&
           sameFile(byDescriptor, byName);
}

// This user's alone: owned by our effective user, a regular object, no permission for group or
// others.
bool statusIsOurs(const struct stat& status) {
    return status.st_uid == geteuid() && S_ISREG(status.st_mode) && (status.st_mode & 077) == 0;
}

void refuse(PlatformRefusal* why, OpenRefusal reason, int error) {
    if (why != nullptr) {
        why->reason = reason;
        why->error = error;
    }
}

// Judges a status found by fstat or lstat: true when it is this user's alone (statusIsOurs);
// otherwise the refusal names its owner and mode.
bool judgeOwnership(const struct stat& status, PlatformRefusal* why) {
    if (statusIsOurs(status)) {
        return true;
    }
    refuse(why, OpenRefusal::Foreign, 0);
    if (why != nullptr) {
        why->ownerId = static_cast<std::uint32_t>(status.st_uid);
        why->mode = static_cast<std::uint32_t>(status.st_mode);
    }
    return false;
}

// True when the object is this user's alone. Anything else was made by someone who can open it
// (or chmod it) too: they could read the block's audio, write into it, or truncate it so that our
// next access dies with SIGBUS. Only the owner (or root) can change owner and mode, so an object
// found ours stays ours while we hold it.
bool isOurs(int fd, PlatformRefusal* why) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
        refuse(why, OpenRefusal::Failed, errno);
        return false;
    }
    return judgeOwnership(status, why);
}

// True when the file the path names (not following a link) is this user's alone, as isOurs;
// used where the object cannot be opened to look: another user's object of mode 0600 refuses
// us the open (EACCES), a link planted under the name fails it (shm_open does not follow links).
// A missing file counts as ours: there is nothing of anyone else's.
bool pathIsOurs(const char* path, PlatformRefusal* why) {
    struct stat status;
    if (lstat(path, &status) != 0) {
        return true;
    }
    return judgeOwnership(status, why);
}

// Reserves the memory of the object's first `size` bytes. On tmpfs, ftruncate reserves nothing
// and MAP_POPULATE gives up silently when the file system is full: the first write into such a
// page kills the process with SIGBUS. fallocate either gets every page or fails (tmpfs undoes the
// pages it got in a failed call), and on pages that exist already it only walks them. It is
// called directly, not through posix_fallocate, whose fallback on a file system without it
// writes zero bytes into the object, which here is a block that another process may be using.
// 0, or the error number.
int reservePages(int fd, std::size_t size) {
    for (;;) {
        if (fallocate(fd, 0, 0, static_cast<off_t>(size)) == 0) {
            return 0;
        }
        if (errno == EOPNOTSUPP) {
            // A file system without fallocate (ramfs) has no size limit to run into either.
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

// True when every page of an object at least `minimumSize` bytes long already exists (st_blocks
// counts 512-byte units of allocated memory): the usual case of a block the other side made,
// where fallocate would only walk its 1411 pages (about 0.2 ms, a third of the open).
bool whollyAllocated(const struct stat& status, std::size_t minimumSize) {
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const auto size = static_cast<std::uint64_t>(status.st_size);
    return size >= minimumSize && page > 0 &&
           static_cast<std::uint64_t>(status.st_blocks) * 512u >= (size + page - 1) / page * page;
}

std::uint64_t bytesFreeForObjects() {
    struct statvfs status;
    if (statvfs("/dev/shm", &status) != 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(status.f_bavail) * static_cast<std::uint64_t>(status.f_frsize);
}

int lockRetrying(int fd, int operation) {
    int result;
    do {
        result = flock(fd, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// Gives up this process's use of the object; the last user removes the name, but only while it
// still names this object (a newer object under the same name belongs to others). True when
// this close removed the name.
bool closeSharedObject(SharedObject& object) {
    if (object.fd < 0) {
        return false;
    }
    bool removed = false;
    if (flock(object.fd, LOCK_EX | LOCK_NB) == 0 && nameStillNames(object)) {
        removed = shm_unlink(object.objectName) == 0;
    }
    close(object.fd);
    object.fd = -1;
    return removed;
}

// Opens (creating when missing) the object with mode 0600 and at least `minimumSize` bytes, its
// memory reserved, and takes the shared lock that marks this process as one of its users. An
// object removed between our open and our lock (its last user was closing it) is dropped and the
// name opened afresh. An object that is not ours alone, or whose memory cannot be had, is
// refused: *why (may be null) says which.
bool openSharedObject(SharedObject& object, const char* name, std::size_t minimumSize, PlatformRefusal* why) {
    const int nameLength = std::snprintf(object.objectName, sizeof object.objectName, "/%s", name);
    const int pathLength = std::snprintf(object.pathName, sizeof object.pathName, "/dev/shm/%s", name);
    if (nameLength <= 1 || static_cast<std::size_t>(nameLength) >= sizeof object.objectName ||
        pathLength <= 0 || static_cast<std::size_t>(pathLength) >= sizeof object.pathName ||
        std::strchr(name, '/') != nullptr) {
        refuse(why, OpenRefusal::Failed, EINVAL);
        return false;
    }
    if (why != nullptr) {
        std::memcpy(why->path, object.pathName, sizeof why->path);
    }
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        // Creating with O_EXCL tells us whether the object is new: only then is its mode ours to
        // set (the umask may have taken bits from 0600). Opening an existing one keeps its mode.
        bool created = true;
        int fd = shm_open(object.objectName, O_RDWR | O_CREAT | O_EXCL, kObjectMode);
        if (fd < 0 && errno == EEXIST) {
            created = false;
            fd = shm_open(object.objectName, O_RDWR, 0);
            if (fd < 0 && errno == ENOENT) {
                continue;  // removed since our first try
            }
        }
        if (fd < 0) {
            const int error = errno;
            refuse(why, OpenRefusal::Failed, error);
            if (error == EACCES || error == ELOOP) {
                pathIsOurs(object.pathName, why);  // says whose it is, when it is not ours
            }
            return false;
        }
        if (created) {
            fchmod(fd, kObjectMode);
        }
        // Not locked, not sized, not mapped, never removed: another user's object is left as
        // it is, and only looked at.
        if (!isOurs(fd, why)) {
            close(fd);
            return false;
        }
        object.fd = fd;
        if (lockRetrying(fd, LOCK_SH) != 0) {
            refuse(why, OpenRefusal::Failed, errno);
            close(fd);
            object.fd = -1;
            return false;
        }
        if (!nameStillNames(object)) {
            close(fd);
            object.fd = -1;
            continue;
        }
        // Never shrink: a larger object made by someone else keeps its size.
        struct stat status;
        if (fstat(fd, &status) != 0 || (status.st_size < static_cast<off_t>(minimumSize) &&
                                        ftruncate(fd, static_cast<off_t>(minimumSize)) != 0)) {
            refuse(why, OpenRefusal::Failed, errno);
            closeSharedObject(object);  // as any user gives up: the last one removes the name
            return false;
        }
        const int reserveError = whollyAllocated(status, minimumSize) ? 0 : reservePages(fd, minimumSize);
        if (reserveError != 0) {
            refuse(why, reserveError == ENOSPC ? OpenRefusal::NoSpace : OpenRefusal::Failed, reserveError);
            if (why != nullptr) {
                why->needed = minimumSize;
                why->available = bytesFreeForObjects();
            }
            closeSharedObject(object);  // a new object goes again with its last user: us
            return false;
        }
        return true;
    }
    refuse(why, OpenRefusal::Failed, ENOENT);  // the name kept being removed under us
    return false;
}

long futexCall(std::uint32_t* word, int operation, std::uint32_t value, const timespec* timeout,
               std::uint32_t bits) {
    // Shared futexes only (no FUTEX_PRIVATE_FLAG): the other side is another process.
    return syscall(SYS_futex, word, operation, value, timeout, nullptr, bits);
}

timespec monotonicNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

bool reached(const timespec& now, const timespec& deadline) {
    return now.tv_sec > deadline.tv_sec || (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

}  // namespace

struct PlatformMapping {
    SharedObject object;
    std::size_t size = 0;
};

struct PlatformEvent {
    SharedObject object;
    std::uint32_t* words = nullptr;  // [0] state: 1 signalled, 0 not; [1] waiters asleep on state
    void* raceKey = nullptr;         // the event as ThreadSanitizer knows it (race_detector_sync.h)
};

PlatformMapping* platformOpenMapping(const char* name, std::size_t size, void** view) {
    return platformOpenMappingExplained(name, size, view, nullptr);
}

PlatformMapping* platformOpenMappingExplained(const char* name, std::size_t size, void** view, PlatformRefusal* why) {
    if (why != nullptr) {
        *why = PlatformRefusal{};
    }
    if (view == nullptr) {
        refuse(why, OpenRefusal::Failed, EINVAL);
        return nullptr;
    }
    *view = nullptr;
    if (name == nullptr || size == 0) {
        refuse(why, OpenRefusal::Failed, EINVAL);
        return nullptr;
    }
    auto* mapping = new (std::nothrow) PlatformMapping;
    if (mapping == nullptr) {
        refuse(why, OpenRefusal::Failed, ENOMEM);
        return nullptr;
    }
    if (!openSharedObject(mapping->object, name, size, why)) {
        delete mapping;
        return nullptr;
    }
    mapping->size = size;
    // MAP_POPULATE faults every page in now, so that the audio thread never takes the page
    // faults of a fresh mapping. The pages are reserved (openSharedObject), so none is missing.
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                         mapping->object.fd, 0);
    if (address != MAP_FAILED) {
        *view = address;
    } else {
        refuse(why, OpenRefusal::Failed, errno);
    }
    return mapping;
}

bool platformCloseMapping(PlatformMapping* mapping, void* view) {
    if (mapping == nullptr) {
        return false;
    }
    if (view != nullptr) {
        munmap(view, mapping->size);
    }
    const bool removed = closeSharedObject(mapping->object);
    delete mapping;
    return removed;
}

PlatformEvent* platformOpenOrCreateEvent(const char* name) { return platformOpenOrCreateEventExplained(name, nullptr); }

PlatformEvent* platformOpenOrCreateEventExplained(const char* name, PlatformRefusal* why) {
    if (why != nullptr) {
        *why = PlatformRefusal{};
    }
    if (name == nullptr) {
        refuse(why, OpenRefusal::Failed, EINVAL);
        return nullptr;
    }
    auto* event = new (std::nothrow) PlatformEvent;
    if (event == nullptr) {
        refuse(why, OpenRefusal::Failed, ENOMEM);
        return nullptr;
    }
    if (!openSharedObject(event->object, name, kEventObjectSize, why)) {
        delete event;
        return nullptr;
    }
    void* address = mmap(nullptr, kEventObjectSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                         event->object.fd, 0);
    if (address == MAP_FAILED) {
        refuse(why, OpenRefusal::Failed, errno);
        closeSharedObject(event->object);
        delete event;
        return nullptr;
    }
    event->words = static_cast<std::uint32_t*>(address);
    event->raceKey = race_detector::keyFor(name);
    return event;
}

void platformCloseEvent(PlatformEvent* event) {
    if (event == nullptr) {
        return;
    }
    munmap(event->words, kEventObjectSize);
    closeSharedObject(event->object);
    delete event;
}

namespace {

std::atomic_ref<std::uint32_t> stateWord(PlatformEvent* event) { return std::atomic_ref<std::uint32_t>(event->words[0]); }
std::atomic_ref<std::uint32_t> waitersWord(PlatformEvent* event) { return std::atomic_ref<std::uint32_t>(event->words[1]); }

static_assert(std::atomic_ref<std::uint32_t>::is_always_lock_free);

}  // namespace

bool platformSignalEvent(PlatformEvent* event) {
    if (event == nullptr) {
        return false;
    }
    race_detector::signalled(event->raceKey);
    // A waiter counts itself before it sleeps and the kernel re-reads `state` before putting it
    // to sleep, so a signaller that sees no waiter after setting `state` may skip the wake.
    if (stateWord(event).exchange(1) == 0 && waitersWord(event).load() != 0) {
        if (futexCall(event->words, FUTEX_WAKE, 1, nullptr, 0) < 0) {
            return false;
        }
    }
    return true;
}

WaitResult platformWaitEvent(PlatformEvent* event, std::uint32_t milliseconds) {
    if (event == nullptr) {
        return WaitResult::Failed;
    }
    if (stateWord(event).exchange(0) == 1) {
        race_detector::taken(event->raceKey);
        return WaitResult::Signalled;
    }
    if (milliseconds == 0) {
        return WaitResult::TimedOut;
    }
    timespec deadline = monotonicNow();
    deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (;;) {
        if (reached(monotonicNow(), deadline)) {
            return WaitResult::TimedOut;
        }
        waitersWord(event).fetch_add(1);
        // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so repeated sleeps after
        // wake-ups whose signal another waiter took never stretch the wait.
        const long result = futexCall(event->words, FUTEX_WAIT_BITSET, 0, &deadline, FUTEX_BITSET_MATCH_ANY);
        const int error = errno;
        waitersWord(event).fetch_sub(1);
        if (result != 0 && error != EAGAIN && error != ETIMEDOUT && error != EINTR) {
            return WaitResult::Failed;
        }
        if (stateWord(event).exchange(0) == 1) {
            race_detector::taken(event->raceKey);
            return WaitResult::Signalled;
        }
    }
}

// ---- Lock objects ----------------------------------------------------------------------------
//
// An empty shared-memory object (mode 0600) per role and slave number. Its holder keeps a
// descriptor with flock(LOCK_EX) for as long as it holds the role; the kernel drops the lock
// when the process dies. A holder that gives the role up removes the object, so an object that
// exists while nobody holds it was left by a holder that died. Others look at it with a
// non-blocking shared lock taken and dropped at once. Every step that finds an object checks,
// after locking, that the name still names it, exactly as the other objects are opened: an
// object removed in between says nothing about the name's present holder.

namespace {

constexpr std::uint32_t kLockRetryMs = 1;  // pause between tries while someone briefly looks

// The names of a lock object without formatting (this runs on the audio thread's slow path).
bool setLockNames(SharedObject& object, const char* name) {
    static constexpr char kDirectory[] = "/dev/shm/";
    const std::size_t length = name != nullptr ? std::strlen(name) : 0;
    if (length == 0 || std::strchr(name, '/') != nullptr || length + 2 > sizeof object.objectName ||
        length + sizeof kDirectory > sizeof object.pathName) {
        return false;
    }
    object.objectName[0] = '/';
    std::memcpy(object.objectName + 1, name, length + 1);
    std::memcpy(object.pathName, kDirectory, sizeof kDirectory - 1);
    std::memcpy(object.pathName + sizeof kDirectory - 1, name, length + 1);
    return true;
}

// A held lock is its descriptor; no wrapper is allocated (the master may take its role on the
// host's audio thread, where nothing may be allocated).
PlatformLock* lockFromDescriptor(int fd) {
    return reinterpret_cast<PlatformLock*>(static_cast<std::intptr_t>(fd) + 1);
}
int descriptorOfLock(PlatformLock* lock) { return static_cast<int>(reinterpret_cast<std::intptr_t>(lock) - 1); }

void pauseForRetry() {
    const timespec pause{0, static_cast<long>(kLockRetryMs) * 1000000L};
    nanosleep(&pause, nullptr);
}

}  // namespace

LockTake platformTakeLock(const char* name, LockKind kind, std::uint32_t patienceMs, PlatformLock** lock,
                          bool* existed) {
    // Both kinds are the same object here: it outlives a holder that dies.
    bool replacedDead = false;
    if (lock == nullptr) {
        return LockTake::Failed;
    }
    *lock = nullptr;
    SharedObject object;
    if (!setLockNames(object, name)) {
        return LockTake::Failed;
    }
    timespec deadline = monotonicNow();
    deadline.tv_sec += static_cast<time_t>(patienceMs / 1000);
    deadline.tv_nsec += static_cast<long>(patienceMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    for (int attempt = 0; attempt < kOpenAttempts;) {
        bool created = true;
        int fd = shm_open(object.objectName, O_RDWR | O_CREAT | O_EXCL, kObjectMode);
        if (fd < 0 && errno == EEXIST) {
            created = false;
            fd = shm_open(object.objectName, O_RDWR, 0);
            if (fd < 0 && errno == ENOENT) {
                ++attempt;  // removed since our first try
                continue;
            }
        }
        if (fd < 0) {
            return LockTake::Failed;
        }
        if (created) {
            fchmod(fd, kObjectMode);
        }
        if (!isOurs(fd, nullptr)) {
            close(fd);  // another user's object says nothing about our peers, and is not ours to lock
            return LockTake::Failed;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            if (error != EWOULDBLOCK && error != EINTR) {
                return LockTake::Failed;
            }
            if (reached(monotonicNow(), deadline)) {
                return LockTake::Busy;
            }
            pauseForRetry();
            continue;
        }
        object.fd = fd;
        if (!nameStillNames(object)) {
            close(fd);  // its holder removed it between our open and our lock: open afresh
            object.fd = -1;
            ++attempt;
            continue;
        }
        if (!created && kind == LockKind::Presence) {
            // Left by a holder that died. It is replaced by a new object, so that a master that
            // knew the dead holder's object can tell that a new process holds the role now
            // (platformLockIdentity). Whoever makes the new object first holds it.
            shm_unlink(object.objectName);
            close(fd);
            object.fd = -1;
            replacedDead = true;
            ++attempt;
            continue;
        }
        if (existed != nullptr) {
            *existed = !created || replacedDead;
        }
        *lock = lockFromDescriptor(fd);
        return LockTake::Taken;
    }
    return LockTake::Failed;
}

void platformReleaseLock(PlatformLock* lock, const char* name) {
    if (lock == nullptr) {
        return;
    }
    SharedObject object;
    object.fd = descriptorOfLock(lock);
    // We hold it exclusively, so nobody else is using the object: remove it while its name is
    // ours, then let the lock go with the descriptor.
    if (setLockNames(object, name) && nameStillNames(object)) {
        shm_unlink(object.objectName);
    }
    close(object.fd);
}

LockState platformProbeLock(const char* name, PlatformLockWatch** watch) {
    if (watch != nullptr) {
        *watch = nullptr;  // nothing is kept between looks: the object outlives its holder
    }
    SharedObject object;
    if (!setLockNames(object, name)) {
        return LockState::Missing;
    }
    const int fd = shm_open(object.objectName, O_RDWR, 0);
    if (fd < 0) {
        return errno == ENOENT ? LockState::Missing : LockState::Held;
    }
    object.fd = fd;
    LockState state = LockState::Held;
    if (isOurs(fd, nullptr) && flock(fd, LOCK_SH | LOCK_NB) == 0) {
        // Free, unless the object was removed meanwhile by a holder that gave its role up: that
        // says nothing about whoever holds the role now.
        state = nameStillNames(object) ? LockState::Free : LockState::Held;
    }
    close(fd);  // drops the shared lock, if we got it
    return state;
}

void platformForgetLock(PlatformLockWatch** watch) {
    if (watch != nullptr) {
        *watch = nullptr;
    }
}

void platformSweepLock(const char* name) {
    SharedObject object;
    if (!setLockNames(object, name)) {
        return;
    }
    object.fd = shm_open(object.objectName, O_RDWR, 0);
    if (object.fd < 0) {
        return;
    }
    if (isOurs(object.fd, nullptr) && flock(object.fd, LOCK_EX | LOCK_NB) == 0 && nameStillNames(object)) {
        shm_unlink(object.objectName);
    }
    close(object.fd);
}

bool platformObjectIsOurs(const char* name, PlatformRefusal* why) {
    if (why != nullptr) {
        *why = PlatformRefusal{};
    }
    SharedObject object;
    if (!setLockNames(object, name)) {
        return true;  // no such object can exist
    }
    if (why != nullptr) {
        std::memcpy(why->path, object.pathName, sizeof why->path);
    }
    return pathIsOurs(object.pathName, why);
}

std::uint64_t platformLockIdentity(const char* name) {
    SharedObject object;
    if (!setLockNames(object, name)) {
        return 0;
    }
    const int fd = shm_open(object.objectName, O_RDONLY, 0);
    if (fd < 0) {
        return 0;
    }
    struct stat status {};
    const bool known = fstat(fd, &status) == 0;
    close(fd);
    if (!known || !statusIsOurs(status)) {
        return 0;  // another user's object under the name is nobody's lock
    }
    const std::uint64_t identity =
        static_cast<std::uint64_t>(status.st_ino) ^ (static_cast<std::uint64_t>(status.st_dev) << 40);
    return identity != 0 ? identity : 1;
}

std::uint64_t platformCurrentThreadId() {
    return static_cast<std::uint64_t>(pthread_self()) | 1u;  // glibc: the thread's address, never 0
}
