#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "bridge_fixture.h"
#include "tests/support/scratch.h"

void platformPrepareSandbox(std::string& scratch) {
    scratch = makeScratchConfigHome("bridge");
}

void platformRemoveSandbox(const std::string&, const std::string& scratch) { removeScratchFolder(scratch); }

bool platformSandboxExists(const std::string& keyPath) {
    std::string name = keyPath.substr(keyPath.rfind('\\') + 1);
    return std::filesystem::exists(std::string(getenv("XDG_CONFIG_HOME")) + "/Vantor/" + name + ".conf");
}
