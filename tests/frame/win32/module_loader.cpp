#include "tests/frame/module_loader.h"

#include <windows.h>

namespace {

std::string besideTests(const char* fileName) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, length);
    const std::size_t slash = dir.find_last_of("\\/");
    dir.erase(slash == std::string::npos ? 0 : slash);
    return dir + "\\" + fileName;
}

}  // namespace

void* loadModuleBesideTests(const char* fileName) {
    return LoadLibraryA(besideTests(fileName).c_str());
}

void* findExport(void* module, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}

void unloadModule(void* module) {
    FreeLibrary(static_cast<HMODULE>(module));
}

void* expectedModuleHandle(void* module) {
    return module;
}

std::string lastLoadError() {
    return "error " + std::to_string(GetLastError());
}
