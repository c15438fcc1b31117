// What the slave knows of its own process on Linux: its program, and how a supervised child
// ends when it crashes.
#include <unistd.h>

#include <climits>

#include "tools/slave/child_process.h"

std::string currentExecutablePath() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    return std::string(path, static_cast<std::size_t>(length));
}

void prepareSupervisedChild() {}
