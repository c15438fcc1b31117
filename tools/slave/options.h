// The command line of tolvane-slave.
#pragma once

#include <cstdint>
#include <string>

struct SlaveOptions {
    std::int32_t slaveNumber = -1;         // negative: the unnumbered objects
    std::string processor = "passthrough";  // passthrough | gain:DB | sine:HZ | echo
    bool takeOver = false;                  // clear a slaveAttached byte left by a vanished slave
};

enum class OptionsResult { Run, Help, Error };

// Reads argv[1..argc-1]. On Error, `error` says what was wrong; the processor text is checked
// by makeProcessor, not here.
OptionsResult parseSlaveOptions(int argc, const char* const* argv, SlaveOptions& options, std::string& error);

// The --help text.
const char* slaveUsage();
