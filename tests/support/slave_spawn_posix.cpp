#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "link/object_names.h"
#include "tests/support/slave_spawn.h"

extern char** environ;

struct CSpawnedSlave::State {
    pid_t pid = -1;
    std::string outputPath;
};

CSpawnedSlave::CSpawnedSlave() : state(new State) {}

CSpawnedSlave::~CSpawnedSlave() {
    if (state->pid > 0) {
        kill(state->pid, SIGKILL);
        waitpid(state->pid, nullptr, 0);
    }
    if (!state->outputPath.empty()) unlink(state->outputPath.c_str());
    delete state;
}

bool CSpawnedSlave::start(const std::string& program, const std::vector<std::string>& args) {
    char path[] = "/tmp/tolvane-slave-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return false;
    close(fd);
    state->outputPath = path;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, path, O_WRONLY | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int rc = posix_spawn(&state->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) state->pid = -1;
    return rc == 0;
}

bool CSpawnedSlave::requestStop() { return state->pid > 0 && kill(state->pid, SIGTERM) == 0; }

bool CSpawnedSlave::waitExit(std::uint32_t milliseconds, int& exitCode) {
    if (state->pid <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(state->pid, &status, WNOHANG);
        if (done == state->pid) {
            state->pid = -1;
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string CSpawnedSlave::output() const {
    std::ifstream file(state->outputPath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::int32_t testProcessId() { return static_cast<std::int32_t>(getpid()); }

bool linkObjectsExist(std::int32_t slaveNumber) {
    for (LinkObject object : {LinkObject::Mapping, LinkObject::MasterEvent, LinkObject::SlaveEvent}) {
        char name[kObjectNameSize];
        formatObjectName(name, object, slaveNumber);
        struct stat info;
        if (stat((std::string("/dev/shm/") + name).c_str(), &info) == 0) return true;
    }
    return false;
}

namespace {

// Redirects fd to the named file, or to /dev/null for an empty name. Runs in the child.
void redirectTo(int fd, const std::string& path) {
    const char* target = path.empty() ? "/dev/null" : path.c_str();
    int file = ::open(target, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (file >= 0) {
        dup2(file, fd);
        ::close(file);
    }
}

}  // namespace

int runChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                    const std::string& stderrPath, int timeoutMs) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        redirectTo(STDOUT_FILENO, stdoutPath);
        redirectTo(STDERR_FILENO, stderrPath);
        execv(args[0], args.data());
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return -1;  // killed by a signal: a crash counts as failure
        }
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
