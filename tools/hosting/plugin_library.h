// Loading a plug-in library, the one thing hosting a plug-in needs from the operating system.
// Each platform has its own file (posix/, win32/); the build picks one.
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

}  // namespace tolvane::host
