// POSIX side of the child-program support: standard output and error are pointed at the files
// for the moment CChildProcess starts the child (posix_spawn copies them), the polite stop is
// SIGTERM, and the link's named objects are files under /dev/shm.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <mutex>

#include "tests/support/child_program.h"

namespace {

int openOutput(const std::string& path) {
    return ::open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

namespace child_program_os {

// The test's own standard streams are lent to the child while it starts: one start at a time,
// and what another thread of the test writes in that moment goes to the child's file.
bool startWithOutput(CChildProcess& child, const std::vector<std::string>& argv, const std::string& outPath,
                     const std::string& errPath) {
    static std::mutex starting;
    const std::lock_guard<std::mutex> lock(starting);
    const int out = openOutput(outPath);
    const int err = errPath == outPath ? fcntl(out, F_DUPFD_CLOEXEC, 3) : openOutput(errPath);
    const int savedOut = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int savedErr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    bool started = false;
    if (out >= 0 && err >= 0 && savedOut >= 0 && savedErr >= 0) {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::string error;
        started = child.start(argv, error);
        dup2(savedOut, STDOUT_FILENO);
        dup2(savedErr, STDERR_FILENO);
    }
    for (int fd : {out, err, savedOut, savedErr}) {
        if (fd >= 0) ::close(fd);
    }
    return started;
}

bool askToStop(const CChildProcess& child) { return ::kill(static_cast<pid_t>(child.processId()), SIGTERM) == 0; }

std::string newOutputFile() {
    char path[] = "/tmp/tolvane-child-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return {};
    ::close(fd);
    return path;
}

std::string nativePath(const std::string& path) { return path; }

}  // namespace child_program_os

std::int32_t testProcessId() { return static_cast<std::int32_t>(getpid()); }

bool linkObjectExists(LinkObject object, std::int32_t slaveNumber) {
    char name[kObjectNameSize];
    formatObjectName(name, object, slaveNumber);
    struct stat info;
    return stat((std::string("/dev/shm/") + name).c_str(), &info) == 0;
}

std::string executableBeside(const char* baseName) {
    const std::string self = currentExecutablePath();
    if (self.empty()) return baseName;
    return self.substr(0, self.rfind('/') + 1) + baseName;
}
