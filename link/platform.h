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
// [main or dispatch thread]
void platformCloseMapping(PlatformMapping* mapping, void* view);

// Opens the named event or, when it does not exist, creates it auto-reset and not signalled.
// [main or dispatch thread: as platformOpenMapping]
PlatformEvent* platformOpenOrCreateEvent(const char* name);
void platformCloseEvent(PlatformEvent* event);  // [main or dispatch thread]

// [audio thread ok] No allocation, no lock; the event's own kernel call at most (on POSIX none
// when nobody waits). Null events fail.
bool platformSignalEvent(PlatformEvent* event);
// [audio thread ok] Zero milliseconds polls without a kernel call on POSIX; a signal found is
// consumed. Timeouts use a monotonic clock; a sleep cut short by a wake-up whose signal another
// waiter took sleeps on towards the same deadline.
WaitResult platformWaitEvent(PlatformEvent* event, std::uint32_t milliseconds);
