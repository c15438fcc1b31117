// Loading a plug-in module as a host does. The module is looked up in the directory of the
// running test program.
#pragma once

#include <string>

void* loadModuleBesideTests(const char* fileName);
void* findExport(void* module, const char* name);
void unloadModule(void* module);
// What the module's own code sees as moduleHandle: its HMODULE on Windows, its load base on
// Linux.
void* expectedModuleHandle(void* module);
std::string lastLoadError();
