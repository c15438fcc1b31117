#include "tests/frame/module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

namespace {

std::string besideTests(const char* fileName) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string dir = length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string(".");
    dir.erase(dir.find_last_of('/') == std::string::npos ? 0 : dir.find_last_of('/'));
    return dir + "/" + fileName;
}

}  // namespace

void* loadModuleBesideTests(const char* fileName) {
    return dlopen(besideTests(fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* findExport(void* module, const char* name) {
    return dlsym(module, name);
}

void unloadModule(void* module) {
    dlclose(module);
}

void* expectedModuleHandle(void* module) {
    Dl_info info{};
    return dladdr(dlsym(module, "VSTPluginMain"), &info) != 0 ? info.dli_fbase : nullptr;
}

std::string lastLoadError() {
    const char* error = dlerror();
    return error != nullptr ? error : "";
}
