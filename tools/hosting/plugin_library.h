// What the command-line host needs from the operating system, behind one small interface:
// loading a plug-in library, asking whether stdout is a terminal, and running a child process
// (for the end-to-end tests). Each platform has its own file (posix/, win32/); the build picks one.
#pragma once

#include <string>
#include <vector>

namespace tolvane::host {

// One loaded shared library (a .so through dlopen, a .dll through LoadLibraryA). Closing
// unloads it; nothing taken from it may be used afterwards.
class PluginLibrary {
public:
    PluginLibrary() = default;
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // False with a readable reason when the library cannot be loaded.
    bool open(const std::string& path, std::string& error);
    // The exported symbol's address, or null.
    void* symbol(const char* name) const;
    void close();
    bool isOpen() const { return handle_ != nullptr; }

private:
    void* handle_ = nullptr;
};

// True when standard output is an interactive terminal (progress is shown only then).
bool stdoutIsTerminal();

// Runs a program with the given arguments (argv[0] is the program's path), standard output and
// standard error going to the given files (an empty path discards that stream), and waits for
// it at most timeoutMs. Returns its exit code, or -1 when it could not be started or was
// killed for running too long.
int runChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                    const std::string& stderrPath, int timeoutMs);

}  // namespace tolvane::host
