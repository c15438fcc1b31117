// The operating-system objects of the link behind one small interface. Each platform has its
// own implementation file (link/win32, link/posix); the build picks one, and the code above
// this interface is the same on both.
#pragma once

#include <cstddef>
#include <cstdint>

struct PlatformMapping;  // a named shared-memory object and its whole-size view
struct PlatformEvent;    // a named binary auto-reset event

enum class WaitResult { Signalled, TimedOut, Failed };

// Creates or opens the named mapping of `size` bytes (zero-filled when new) and maps all of it
// read-write; the pages are touched here so that no page fault lands on the audio thread. The
// name is the bare object name ("PalisorSlave_ShMem3"); the platform adds what it needs.
// Null on failure; *view is null when the mapping exists but could not be mapped, or (Windows)
// when an existing mapping is smaller than `size`. [main or dispatch thread: may allocate, makes
// several system calls, may block briefly while another process removes the object]
PlatformMapping* platformOpenMapping(const char* name, std::size_t size, void** view);
// Unmaps the view (if any) and closes the mapping; on POSIX the last user removes the name.
// True when this close removed the name (POSIX, last user); always false on Windows, where the
// system removes an object with its last handle. [main or dispatch thread]
bool platformCloseMapping(PlatformMapping* mapping, void* view);

// Opens the named event or, when it does not exist, creates it auto-reset and not signalled.
// [main or dispatch thread: as platformOpenMapping]
PlatformEvent* platformOpenOrCreateEvent(const char* name);

// ---- Why an object was refused ----
//
// An open fails for reasons that a program run by a person should name: on POSIX an object
// under our name that another user made or may open (it is never used: whoever can open it can
// read the audio, or truncate it under us), and memory for the block that cannot be reserved
// (a full /dev/shm; an object whose pages are not reserved would kill the process with SIGBUS
// at its first write). The plug-in does not look; tolvane-slave prints it.
enum class OpenRefusal : std::uint8_t {
    None,     // not refused
    Foreign,  // not this user's alone: another owner, permission for group or others, or not a
              // regular object; ownerId and mode say which
    NoSpace,  // its memory could not be reserved: needed, available
    Failed,   // a system call failed: error
};

struct PlatformRefusal {
    OpenRefusal reason = OpenRefusal::None;
    int error = 0;                // the failed call's error number (NoSpace, Failed)
    std::uint32_t ownerId = 0;    // Foreign: the object's owner (a user id on POSIX)
    std::uint32_t mode = 0;       // Foreign: its type and permission bits (st_mode on POSIX)
    std::uint64_t needed = 0;     // NoSpace: the bytes the object needs
    std::uint64_t available = 0;  // NoSpace: bytes still free where the objects live
    char path[80] = {};           // the object as the system shows it ("/dev/shm/PalisorEv_Slave3")
};

// platformOpenMapping and platformOpenOrCreateEvent, telling why they failed in *why (may be
// null). On success why->reason is None. [as platformOpenMapping]
PlatformMapping* platformOpenMappingExplained(const char* name, std::size_t size, void** view, PlatformRefusal* why);
PlatformEvent* platformOpenOrCreateEventExplained(const char* name, PlatformRefusal* why);
// Looks at the named object, if there is one, without using it: false with *why (may be null)
// when it exists and would be refused as Foreign. Lock objects are refused the same way by the
// lock functions below, which tell no reason: a program asks here first. Always true on
// Windows, where nothing of another user's is visible under our names. [main thread]
bool platformObjectIsOurs(const char* name, PlatformRefusal* why);
void platformCloseEvent(PlatformEvent* event);  // [main or dispatch thread]

// [audio thread ok] No allocation, no lock; the event's own kernel call at most (on POSIX none
// when nobody waits). Null events fail.
bool platformSignalEvent(PlatformEvent* event);
// [audio thread ok] Zero milliseconds polls without a kernel call on POSIX; a signal found is
// consumed. Timeouts use a monotonic clock; a sleep cut short by a wake-up whose signal another
// waiter took sleeps on towards the same deadline.
WaitResult platformWaitEvent(PlatformEvent* event, std::uint32_t milliseconds);

// ---- Lock objects: telling a peer that died from one that is still there ----
//
// An attach byte in the block says only that some process set it. One more named object per
// role and slave number ("PalisorLock_Master3", "PalisorLock_Slave3") is held by a process for
// as long as it holds the role, and the system gives it up when the process dies, so that a
// byte left set by a dead process can be told from one that a living process holds. Nothing in
// the block changes, and a peer that never takes a lock sees no difference.
struct PlatformLock;       // a lock object this process holds
struct PlatformLockWatch;  // what a process keeps of another process's lock between two looks

enum class LockKind {
    // The master's: only "held by a living process or not" matters, and nobody looks at it
    // from outside. On Windows it is held by the process, not by a thread, so the host may
    // take the role on one thread and give it up on another.
    Role,
    // The slave's: a master looks at it (platformProbeLock) and must be able to tell a holder
    // that died (the object is still there, free) from a slave that never made one (no object).
    // On Windows it is a mutex owned by the thread that took it: take and release it on the
    // same thread, one that lives while the role is held (and a look from that very thread
    // would find it free: keep the slave and the masters that look at it on other threads).
    Presence,
};

enum class LockTake {
    Taken,   // this process holds the lock now
    Busy,    // another living process holds it
    Failed,  // the object could not be made or opened, or is refused as another user's
             // (platformObjectIsOurs); nothing is known
};

// Takes the named lock, creating its object when missing. A brief hold by another process that
// is only looking at the lock (or removing a free one) is waited out for up to `patienceMs`
// (0: one try). On Taken, *lock is set and *existed (when given) says whether the object was
// already there: a Presence lock whose object existed and was free was left by a holder that
// died (on POSIX a holder that gives it up removes the object). Allocates nothing: the lock
// stands for the descriptor or handle. [main or dispatch thread; a few system calls]
LockTake platformTakeLock(const char* name, LockKind kind, std::uint32_t patienceMs, PlatformLock** lock,
                          bool* existed);
// Gives the lock up; on POSIX the object is removed too (its name, when it still names it).
// Null does nothing. [the thread that took a Presence lock; any thread for a Role lock]
void platformReleaseLock(PlatformLock* lock, const char* name);

enum class LockState {
    Missing,  // no such object: the peer keeps no lock (or, on Windows, died before anyone looked)
    Held,     // a living process holds it, or the look failed (another user's object is not
              // looked at): nothing says the holder is gone
    Free,     // the object is there and nobody holds it: its holder died
};

// Looks at another process's Presence lock without keeping it. *watch carries what is kept
// between looks (on Windows a handle that keeps the object, and with it the sign of a holder's
// death, alive after the holder is gone); start with null and give it back with
// platformForgetLock. No allocation. [dispatch thread, or the audio thread only on its slow
// path (after a timed-out wait): a few system calls]
LockState platformProbeLock(const char* name, PlatformLockWatch** watch);
// Drops what the looks kept; *watch becomes null. [as platformProbeLock]
void platformForgetLock(PlatformLockWatch** watch);
// The identity of the object the name names now (0 when there is none, or on Windows, where a
// lock object has no identity to look at). A Presence lock whose holder died is replaced by a
// new object when a new process takes it, so a different identity means another holder.
// No allocation. [dispatch thread: a few system calls]
std::uint64_t platformLockIdentity(const char* name);
// Removes the named lock object when it exists and nobody holds it (POSIX: one left behind by
// a holder that died). Nothing on Windows. [main or dispatch thread]
void platformSweepLock(const char* name);

// ---- Threads ----

// A number that tells the calling thread from every other living thread (never 0). No system
// call, no allocation. [any thread]
std::uint64_t platformCurrentThreadId();
