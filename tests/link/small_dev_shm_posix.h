// Runs part of a test in a child process whose /dev/shm is a small tmpfs of its own, as in a
// container: a private mount namespace, so no other process sees it and it vanishes with the
// child. Needs the right to make a mount namespace and to mount (root on an ordinary machine);
// where that is refused the caller skips.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

struct SmallShmRun {
    bool skipped = false;  // the private /dev/shm could not be made
    bool exited = false;   // the child ended with exit(code); otherwise it was killed by `signal`
    int code = -1;
    int signal = 0;
};

constexpr int kNoPrivateShm = 99;  // the child's exit code when the mount was refused

// `body` runs in the child and returns its exit code (it may also exec another program, which
// inherits the small /dev/shm).
template <class Body>
SmallShmRun runWithSmallDevShm(std::size_t megabytes, Body body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        return SmallShmRun{true};
    }
    if (pid == 0) {
        const std::string options = "size=" + std::to_string(megabytes) + "m,mode=1777";
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
            _exit(kNoPrivateShm);
        }
        _exit(body());
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    SmallShmRun run;
    run.exited = WIFEXITED(status);
    run.code = run.exited ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    run.skipped = run.exited && run.code == kNoPrivateShm;
    return run;
}
