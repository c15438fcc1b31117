// The command line of tolvane-slave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct SlaveOptions {
    std::int32_t slaveNumber = -1;         // negative: the unnumbered objects
    std::string processor = "passthrough";  // passthrough | gain:DB | sine:HZ | echo
    bool takeOver = false;                  // clear a slaveAttached byte left by a vanished slave
    std::vector<std::string> params;        // --param INDEX=VALUE for a plug-in, in order
    bool listParams = false;                // print the plug-in's parameters and exit
    bool supervise = false;                 // run the processor in a child process, restarted when it dies
    bool supervised = false;                // this is that child: stop when standard input closes
    std::string stateFile;                  // --state FILE: the plug-in's state, restored and saved
    std::uint32_t hangLimitMs = 1000;       // --hang-limit MS under --supervise; 0: no watch
    std::string watchHandle;                // --watch H: the supervisor's watch page (its child only)
    bool editor = false;                    // show the plug-in's editor in a window of the slave
};

enum class OptionsResult { Run, Help, Error };

// Reads argv[1..argc-1]. On Error, `error` says what was wrong; the processor text is checked
// by makeSlaveProcessor, not here, but the syntax of every --param is, and --param,
// --list-params and --editor need a plug-in processor.
OptionsResult parseSlaveOptions(int argc, const char* const* argv, SlaveOptions& options, std::string& error);

// The --help text. `editorRequestSignal` names the signal that opens the editor again in this
// build ("SIGUSR1", ...), empty where there is none (Windows).
std::string slaveUsage(const std::string& editorRequestSignal);
