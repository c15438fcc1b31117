#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "bridge_fixture.h"

void platformPrepareSandbox(std::string& scratch) {
    char pattern[] = "/tmp/tolvane-bridge-XXXXXX";
    scratch = mkdtemp(pattern);
    setenv("XDG_CONFIG_HOME", scratch.c_str(), 1);
}

void platformRemoveSandbox(const std::string&, const std::string& scratch) {
    std::error_code ignored;
    std::filesystem::remove_all(scratch, ignored);
}

bool platformSandboxExists(const std::string& keyPath) {
    std::string name = keyPath.substr(keyPath.rfind('\\') + 1);
    return std::filesystem::exists(std::string(getenv("XDG_CONFIG_HOME")) + "/Vantor/" + name + ".conf");
}
