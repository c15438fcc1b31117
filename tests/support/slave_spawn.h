// Child processes started by tests, per platform (slave_spawn_posix.cpp, slave_spawn_win32.cpp):
// tolvane-slave kept running while a test talks to it, and a program run to its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CSpawnedSlave {
public:
    CSpawnedSlave();
    ~CSpawnedSlave();  // a child still running is killed
    CSpawnedSlave(const CSpawnedSlave&) = delete;
    CSpawnedSlave& operator=(const CSpawnedSlave&) = delete;

    // Starts the program with these arguments; its standard output and error go to a file that
    // output() reads.
    bool start(const std::string& program, const std::vector<std::string>& args);
    // The polite stop a user gives: SIGTERM on POSIX, a console Ctrl-C on Windows.
    bool requestStop();
    // Waits up to `milliseconds` for the child to end; true with its exit code when it did.
    bool waitExit(std::uint32_t milliseconds, int& exitCode);
    // Everything the child has printed so far.
    std::string output() const;

private:
    struct State;
    State* state;
};

// An identifier of this test process, for slave numbers that no other run uses at the same time.
std::int32_t testProcessId();
// True when a named object of the slave number still exists (the block or either event).
bool linkObjectsExist(std::int32_t slaveNumber);

// Runs a program with the given arguments (argv[0] is the program's path), standard output and
// standard error going to the given files (an empty path discards that stream), and waits for
// it at most timeoutMs. Returns its exit code, or -1 when it could not be started or was
// killed for running too long.
int runChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                    const std::string& stderrPath, int timeoutMs);
