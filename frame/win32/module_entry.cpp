// The module's load-time entry on Windows: keeps the module handle for the configuration
// dialog, which loads its template from this module.
#include <windows.h>

#include "frame/module.h"

void* moduleHandle = nullptr;

// [any thread, under the loader lock] Stores the handle on every call, whatever the reason.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD /*reason*/, LPVOID /*reserved*/) {
    moduleHandle = instance;
    return TRUE;
}
