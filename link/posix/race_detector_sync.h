// What ThreadSanitizer needs to know about the link's events when both ends of a link run in one
// process (the in-process tests: a bridge and a slave thread).
//
// Each end maps the event's shared object on its own, so the two ends touch the event's words
// at two different addresses, and ThreadSanitizer, which follows memory by address, cannot see
// that a signal on one end is what a wait on the other end returns. Without help it reports
// every hand-over of the link (the master writes, signals; the slave wakes, reads) as a race.
// With ThreadSanitizer on, every event name gets one process-wide key: a signal releases it, a
// wait or poll that takes a signal acquires it, which is the ordering the event provides.
// Without ThreadSanitizer all of this compiles to nothing.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define TOLVANE_RACE_DETECTOR 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TOLVANE_RACE_DETECTOR 1
#endif
#endif

#if defined(TOLVANE_RACE_DETECTOR)

#include <cstring>
#include <mutex>

extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);

namespace race_detector {

// The key of an event name, the same for every opening in this process; null when the table
// is full (that event is then not described). Called when an event is opened, never on the
// audio path.
inline void* keyFor(const char* name) {
    struct Entry {
        char name[96];
        char key;
    };
    static Entry entries[512];
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    for (Entry& entry : entries) {
        if (entry.name[0] == '\0') {
            std::strncpy(entry.name, name, sizeof entry.name - 1);
            return &entry.key;
        }
        if (std::strncmp(entry.name, name, sizeof entry.name - 1) == 0) return &entry.key;
    }
    return nullptr;
}
inline void signalled(void* key) {
    if (key != nullptr) __tsan_release(key);
}
inline void taken(void* key) {
    if (key != nullptr) __tsan_acquire(key);
}

}  // namespace race_detector

#else

namespace race_detector {

inline void* keyFor(const char*) { return nullptr; }
inline void signalled(void*) {}
inline void taken(void*) {}

}  // namespace race_detector

#endif
