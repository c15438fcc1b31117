// Our programs (tolvane-slave, tolvane-host, the link's test peer, the benchmarks' own children)
// started as child processes by the tests and the benchmarks. CChildProgram is built on the
// slave's CChildProcess, so each platform's process code is written once; the per-OS files
// (child_program_posix.cpp, child_program_win32.cpp) add only what tests need besides: the
// output caught in a file, the polite stop a user gives, and the checks for named link objects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/object_names.h"
#include "tools/slave/child_process.h"

class CChildProgram {
public:
    // Where the child's standard output and error go: a file of its own that output() reads, or
    // this process's own streams.
    enum class Output { Caught, Shared };

    CChildProgram() = default;
    ~CChildProgram();  // a child still running is killed and reaped; its output file is removed
    CChildProgram(const CChildProgram&) = delete;
    CChildProgram& operator=(const CChildProgram&) = delete;

    // Starts `program` (a path as the build gives it) with these arguments.
    bool start(const std::string& program, const std::vector<std::string>& args, Output output = Output::Caught);
    // The polite stop a user gives: SIGTERM on POSIX, a console Ctrl-C on Windows.
    bool requestStop();
    // Waits up to `milliseconds` for the child to end; true with its exit code when it did (on
    // POSIX 128 + the signal's number when a signal ended it).
    bool waitExit(std::uint32_t milliseconds, int& exitCode);
    // Waits up to `milliseconds`, then kills the child: its exit code, or -1 when it had to be
    // killed, was ended by a signal or never started.
    int join(std::uint32_t milliseconds);
    // Everything the child has printed so far (Output::Caught).
    std::string output() const;
    // Waits up to `milliseconds` for the output to hold `text` at least `times` times.
    bool waitForOutput(const std::string& text, std::uint32_t milliseconds, int times = 1) const;

private:
    CChildProcess process;
    std::string outputPath;
};

// Runs a program with the given arguments (argv[0] is the program's path), standard output and
// standard error going to the given files (an empty path discards that stream), and waits for
// it at most timeoutMs. Returns its exit code, or -1 when it could not be started, crashed or
// was killed for running too long.
int runChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                    const std::string& stderrPath, int timeoutMs);

// An identifier of this test process, for slave numbers that no other run uses at the same time.
std::int32_t testProcessId();
// True while a named object of the link exists under the name `formatObjectName` gives.
bool linkObjectExists(LinkObject object, std::int32_t slaveNumber);
// True when the block or either event of the slave number still exists.
bool linkObjectsExist(std::int32_t slaveNumber);
// Full path of the executable `baseName` in this executable's own folder (".exe" added on
// Windows).
std::string executableBeside(const char* baseName);

// Slave numbers that no other test process uses at the same time: a range derived from the
// process id, far above the numbers a user chooses; each call gives the next one.
inline std::int32_t uniqueSlaveNumber() {
    static std::int32_t next = 1'000'000'000 + (testProcessId() % 10'000'000) * 100;
    return next++;
}

// How many times `what` stands in `text`.
int occurrences(const std::string& text, const std::string& what);

// The per-OS part behind CChildProgram.
namespace child_program_os {
// Starts argv through `child` with its standard output and error going to these files (empty:
// discarded; the same path twice: one file for both).
bool startWithOutput(CChildProcess& child, const std::vector<std::string>& argv, const std::string& outPath,
                     const std::string& errPath);
// Asks the child to stop as a user would.
bool askToStop(const CChildProcess& child);
// A new empty file for a child's output.
std::string newOutputFile();
// The program's path as the platform starts it (under Wine a POSIX path becomes a Z: path).
std::string nativePath(const std::string& path);
}  // namespace child_program_os
