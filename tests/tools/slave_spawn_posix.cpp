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
#include "tests/tools/slave_spawn.h"

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
