// Loading a plug-in library on Linux and other POSIX systems.
#include "tools/hosting/plugin_library.h"

#include <dlfcn.h>

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

}  // namespace tolvane::host
