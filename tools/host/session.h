// One run of tolvane-host: set the plug-in up as the options say, drive the process loop, and
// report. The process loop allocates nothing and does no file I/O: inputs are generated or were
// read beforehand, outputs are kept in memory and written after the run, and the only work
// between the timed calls is filling and checking the buffers.
#pragma once

#include <ostream>

#include "tools/host/options.h"
#include "tools/host/summary.h"

namespace tolvane::host {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the plug-in, a file or the run failed
inline constexpr int kExitUsage = 2;    // bad arguments

// A run keeps one time per block; longer runs are refused.
inline constexpr std::int64_t kMaxSessionBlocks = std::int64_t{1} << 27;

// Output samples still holding this bit pattern after a call were not written by the plug-in
// (a quiet NaN that no arithmetic produces).
inline constexpr std::uint32_t kUntouchedSampleBits = 0x7FC5A5A5u;

struct SessionResult {
    int exitCode = kExitOk;
    Summary summary;
    bool ran = false;  // the process loop ran (not --info, --list-params, or a failure before it)
};

// Told when the process loop starts and when it has ended; the tests count heap allocations in
// between.
class SessionObserver {
public:
    virtual ~SessionObserver() = default;
    virtual void loopStarted() {}
    virtual void loopEnded() {}
};

// Runs what the options ask for. Results go to out, errors (one line each, starting with
// "tolvane-host: ") to err.
SessionResult runSession(const HostOptions& options, std::ostream& out, std::ostream& err,
                         SessionObserver* observer = nullptr);

// The whole tool: parses the arguments, prints help or version, runs. Returns the exit status.
int runHostTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace tolvane::host
