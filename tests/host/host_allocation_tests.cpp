// The process loop allocates nothing, so that its block times measure the plug-in and not the
// host. Global operator new is replaced in this test binary to count allocations while the loop
// runs (other tests in the binary only pass through it).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "tools/host/session.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void* allocate(std::size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size != 0 ? size : 1)) return p;
    throw std::bad_alloc();
}

}  // namespace

// Every replaceable form that the library may pair with another, so that all of them meet the
// same malloc and free.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace tolvane::host {
namespace {

class CountingObserver : public SessionObserver {
public:
    void loopStarted() override {
        gAllocations.store(0);
        gCounting.store(true);
    }
    void loopEnded() override { gCounting.store(false); }
};

TEST(HostProcessLoop, AllocatesNothingWithEventsParametersIdleAndAsync) {
    test::ScratchFile output("out.raw");
    // Everything the loop can do between and around the timed calls, except a pin change.
    const std::vector<std::string> args = {"tolvane-host", test::kFixture, "--signal", "counter", "--blocks", "64",
                                           "--block", "256", "--note", "60:100:3", "--note", "67:80:5:5:17", "--sysex",
                                           "F07D0102F7:4", "--idle", "--async", "--set-at", "10:Async=1",
                                           "--set-text-at", "20:Gain=0.5", "--set-at", "40:Async=0", "--output",
                                           output.path()};
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    HostOptions options;
    ASSERT_TRUE(parseArguments(static_cast<int>(argv.size()), argv.data(), options).ok);
    std::ostringstream out;
    std::ostringstream err;
    CountingObserver observer;
    const SessionResult result = runSession(options, out, err, &observer);
    ASSERT_EQ(result.exitCode, kExitOk) << err.str();
    ASSERT_TRUE(result.ran);
    EXPECT_EQ(result.summary.asyncBlocks, 30);
    EXPECT_GT(result.summary.midiReceived, 0u);
    EXPECT_EQ(gAllocations.load(), 0) << "heap allocations inside the process loop";
}

}  // namespace
}  // namespace tolvane::host
