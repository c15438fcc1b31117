// The plug-in module this code is linked into, for code that loads resources from it (the
// configuration dialog). Windows: the module's HINSTANCE, stored by DllMain on every call.
// Linux: the load base of the shared object, found once at load time (null if not found).
#pragma once

extern void* moduleHandle;
