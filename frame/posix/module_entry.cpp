// The module's counterpart of DllMain on Linux: no load-time hook is needed, only the
// handle, which is the load base of the shared object this file is linked into.
#include <dlfcn.h>

#include "frame/module.h"

namespace {

void* findModuleBase() noexcept {
    Dl_info info{};
    return dladdr(static_cast<const void*>(&moduleHandle), &info) != 0 ? info.dli_fbase : nullptr;
}

}  // namespace

void* moduleHandle = findModuleBase();
