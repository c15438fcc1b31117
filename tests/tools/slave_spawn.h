// Starting tolvane-slave as a child process from a test, per platform (slave_spawn_posix.cpp,
// slave_spawn_win32.cpp).
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
