// The host's operating-system layer on Linux and other POSIX systems.
#include "tools/host/host_platform.h"

#include <dlfcn.h>
#include <unistd.h>

namespace tolvane::host {

PluginLibrary::~PluginLibrary() { close(); }

bool PluginLibrary::open(const std::string& path, std::string& error) {
    close();
    // A plug-in keeps its symbols to itself (RTLD_LOCAL) so that two plug-ins built from the
    // same sources cannot bind to each other's functions.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown error");
        return false;
    }
    return true;
}

void* PluginLibrary::symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void PluginLibrary::close() {
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace tolvane::host
