// What the command-line host needs from the operating system, behind one small interface:
// loading a plug-in library and asking whether stdout is a terminal. Each platform has its own
// file (posix/, win32/); the build picks one.
#pragma once

#include <string>

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

}  // namespace tolvane::host
