// The process loop allocates nothing, so that its block times measure the plug-in and not the
// host. The allocation counter (it replaces operator new in this test binary) counts while the
// loop runs.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "host_test_support.h"
#include "tests/support/allocation_counter.h"
#include "tools/host/session.h"

namespace tolvane::host {
namespace {

class CountingObserver : public SessionObserver {
public:
    void loopStarted() override { countAllocations(true); }
    void loopEnded() override { countAllocations(false); }
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
    EXPECT_EQ(allocationsCounted(), 0) << "heap allocations inside the process loop";
}

}  // namespace
}  // namespace tolvane::host
