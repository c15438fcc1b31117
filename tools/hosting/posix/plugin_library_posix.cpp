// The host's operating-system layer on Linux and other POSIX systems.
#include "tools/host/host_platform.h"

#include <chrono>
#include <csignal>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tolvane::host {

PluginLibrary::~PluginLibrary() { close(); }

bool PluginLibrary::open(const std::string& path, std::string& error) {
    close();
    // A plug-in keeps its symbols to itself (RTLD_LOCAL) so that two plug-ins built from the
    // same sources cannot bind to each other's functions.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown error");
        return false;
    }
    return true;
}

void* PluginLibrary::symbol(const char* name) const {
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void PluginLibrary::close() {
    if (handle_ != nullptr) {
        dlclose(handle_);
        handle_ = nullptr;
    }
}

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

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

}  // namespace tolvane::host
