// Child processes and named-object checks for the two-process link tests and the link
// benchmark. Each platform has its own implementation file beside this one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/object_names.h"

// One child process started from an executable. A child still running when the object goes
// away is killed and reaped, so that a failing test leaves no process behind.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Starts `program` (a full path) with the arguments; false when it could not be started.
    bool start(const std::string& program, const std::vector<std::string>& arguments);
    // Waits up to `timeoutMs` for the child to end and gives its exit code; -1 when it had to be
    // killed or was never started.
    int join(std::uint32_t timeoutMs);

private:
    std::intptr_t native = 0;  // process id (POSIX) or process handle (Windows)
    bool running = false;
};

// Full path of the executable `baseName` in this executable's own folder (".exe" added on
// Windows).
std::string executableBeside(const char* baseName);

std::uint32_t currentProcessId();

// True while a named object of the link exists under the name `formatObjectName` gives.
bool linkObjectExists(LinkObject object, std::int32_t slaveNumber);

// Slave numbers that no other test process uses at the same time: a range derived from the
// process id, far above the numbers a user chooses; each call gives the next one.
inline std::int32_t uniqueSlaveNumber() {
    static std::int32_t next = 1'000'000'000 + static_cast<std::int32_t>(currentProcessId() % 10'000'000) * 100;
    return next++;
}
