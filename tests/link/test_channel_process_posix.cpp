// Child processes through posix_spawn and the shared-memory objects under /dev/shm.
#include "tests/link/test_channel_process.h"

#include <csignal>
#include <ctime>

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

ChildProcess::~ChildProcess() {
    if (running) {
        join(0);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        return false;
    }
    native = pid;
    running = true;
    return true;
}

int ChildProcess::join(std::uint32_t timeoutMs) {
    if (!running) {
        return -1;
    }
    const pid_t pid = static_cast<pid_t>(native);
    int status = 0;
    for (std::uint32_t waited = 0;; ++waited) {
        const pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            break;
        }
        if (result < 0 || waited >= timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            running = false;
            return -1;
        }
        const timespec millisecond{0, 1000000};
        nanosleep(&millisecond, nullptr);
    }
    running = false;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string executableBeside(const char* baseName) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return baseName;
    }
    std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + baseName;
}

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(getpid()); }

bool linkObjectExists(LinkObject object, std::int32_t slaveNumber) {
    char name[kObjectNameSize];
    formatObjectName(name, object, slaveNumber);
    struct stat status;
    return stat((std::string("/dev/shm/") + name).c_str(), &status) == 0;
}
