#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "tools/slave/child_process.h"

extern char** environ;

std::string ChildExit::describe() const {
    if (!signalled) return "exit code " + std::to_string(code);
    const char* name = sigabbrev_np(code);
    return "signal " + std::to_string(code) + (name != nullptr ? std::string(" (SIG") + name + ")" : std::string());
}

struct CChildProcess::State {
    pid_t pid = -1;
    int input = -1;  // write end of the child's standard input
};

CChildProcess::CChildProcess() : state(std::make_unique<State>()) {}

CChildProcess::~CChildProcess() {
    kill();
    closeInput();
}

bool CChildProcess::start(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty() || state->pid > 0) {
        error = "no program to start";
        return false;
    }
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], STDIN_FILENO);  // dup2 clears close-on-exec
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeEnds[0]);
    if (rc != 0) {
        ::close(pipeEnds[1]);
        error = "cannot start " + argv[0] + ": " + std::strerror(rc);
        return false;
    }
    state->pid = pid;
    state->input = pipeEnds[1];
    return true;
}

void CChildProcess::closeInput() {
    if (state->input >= 0) {
        ::close(state->input);
        state->input = -1;
    }
}

bool CChildProcess::writeInput(const std::string& text) {
    if (state->input < 0) return false;
    // A child that has gone makes the write fail with EPIPE and raise SIGPIPE, which would end
    // this process: it is blocked around the write and taken if it came.
    sigset_t pipeSignal;
    sigset_t previous;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previous);
    const ssize_t written = ::write(state->input, text.data(), text.size());
    if (written < 0 && errno == EPIPE) {
        const timespec none{};
        sigtimedwait(&pipeSignal, nullptr, &none);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written == static_cast<ssize_t>(text.size());
}

bool CChildProcess::wait(std::uint32_t milliseconds, ChildExit& exit) {
    if (state->pid <= 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(state->pid, &status, WNOHANG);
        if (done == state->pid || (done < 0 && errno == ECHILD)) {
            state->pid = -1;
            closeInput();
            exit.signalled = done > 0 && WIFSIGNALED(status);
            if (exit.signalled) {
                exit.code = WTERMSIG(status);
            } else {
                exit.code = done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void CChildProcess::kill() {
    if (state->pid <= 0) return;
    ::kill(state->pid, SIGKILL);
    waitpid(state->pid, nullptr, 0);
    state->pid = -1;
}

bool CChildProcess::running() const { return state->pid > 0; }

long CChildProcess::processId() const { return static_cast<long>(state->pid); }
