// Catching a hung plug-in under --supervise: a private page shared by the supervisor and its child
// (not the link's block, whose layout other slaves and masters read), and the supervisor's judgement.
//
// The child's serving thread advances `beats` after every wait on the slave event (at least every
// kServeWaitMs while it is idle) and around every command it carries out, and sets `busy` while it
// carries one out (a block being processed by the plug-in). So a child whose beats stand still for
// longer than the hang limit is stuck: in the plug-in (busy) or stopped altogether. The supervisor
// counts the time on its own clock, so the two processes need no common clock; `beats` is 0 until
// the child serves (loading a plug-in may take long) and again once it has stopped serving.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

struct WatchPage {
    std::atomic<std::uint32_t> beats;
    std::atomic<std::uint32_t> busy;
};
static_assert(std::atomic<std::uint32_t>::is_always_lock_free, "the page is shared between two processes");

// The page itself, per platform (posix/, win32/): an anonymous shared mapping that the child
// inherits, named to it by a number on its command line (a file descriptor, a handle).
class CWatchPage {
public:
    CWatchPage();
    ~CWatchPage();
    CWatchPage(const CWatchPage&) = delete;
    CWatchPage& operator=(const CWatchPage&) = delete;

    // [main thread] The supervisor's side: a new zeroed page that children inherit.
    bool create(std::string& error);
    // The text that names the page to a child (--watch TEXT).
    std::string childHandle() const;
    // [main thread] The child's side: maps the page its supervisor named.
    bool attach(std::string_view handle, std::string& error);
    WatchPage* page() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// [audio thread] The child's beat: a plain atomic store, no system call.
inline void watchBeat(WatchPage* page, bool busy) {
    if (page == nullptr) return;
    page->busy.store(busy ? 1u : 0u, std::memory_order_relaxed);
    const std::uint32_t next = page->beats.load(std::memory_order_relaxed) + 1;
    page->beats.store(next == 0 ? 1 : next, std::memory_order_release);
}
// The child no longer serves: the watch is off until it serves again.
inline void watchIdle(WatchPage* page) {
    if (page != nullptr) page->beats.store(0, std::memory_order_release);
}

// The supervisor's judgement over one child.
class CHangWatch {
public:
    using Clock = std::chrono::steady_clock;
    // A limit of 0 turns the watch off.
    explicit CHangWatch(std::chrono::milliseconds limit) : limit(limit) {}

    // True when the child has served and its beats have stood still for longer than the limit
    // up to `now`. Call every supervision step.
    bool hung(const WatchPage& page, Clock::time_point now);
    // How long the beats have stood still, as of the last look.
    std::chrono::milliseconds stillFor() const { return still; }
    // Whether the child was carrying out a command at the last look.
    bool wasBusy() const { return busy; }

private:
    std::chrono::milliseconds limit;
    std::uint32_t lastBeat = 0;
    Clock::time_point lastChange{};
    std::chrono::milliseconds still{0};
    bool busy = false;
};

// The smallest hang limit accepted: a few of the child's idle beats.
constexpr std::uint32_t kMinHangLimitMs = 300;
constexpr std::uint32_t kDefaultHangLimitMs = 1000;
