// The operating-system side of --supervise: starting the slave's child process with a pipe as its
// standard input (closing the pipe asks the child to stop, and the child also stops when the
// supervisor dies and the pipe closes with it), waiting for it and telling how it ended. Each
// platform has its own file (posix/, win32/); the build picks one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How a child process ended.
struct ChildExit {
    bool signalled = false;  // POSIX: ended by a signal (`code` is its number)
    int code = 0;            // the exit code (on Windows a crash gives the exception code)
    std::string describe() const;  // "exit code 3", "signal 11 (SIGSEGV)", "exception 0xC0000005"
};

class CChildProcess {
public:
    CChildProcess();
    ~CChildProcess();  // a child still running is killed and reaped
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // [main thread] Starts argv[0] with the arguments argv[1..]; standard output and error are
    // this process's own. False with a message when it cannot be started.
    bool start(const std::vector<std::string>& argv, std::string& error);
    // [main thread] Closes the child's standard input: the supervised child's stop request.
    void closeInput();
    // [main thread] Writes `text` to the child's standard input (a supervised child takes a line
    // "e" as the request to open its editor again). False when the input is closed or the child
    // has gone; the write never ends the writer (no SIGPIPE).
    bool writeInput(const std::string& text);
    // [main thread] Waits up to `milliseconds` for the child to end; true with how it ended.
    bool wait(std::uint32_t milliseconds, ChildExit& exit);
    // [main thread] Ends the child at once (it gets no chance to clean up).
    void kill();
    bool running() const;
    long processId() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

// The path of the running program, for starting another copy of it.
std::string currentExecutablePath();

// Called first in a supervised child: a crash ends the process at once with its exception code
// instead of showing an error dialog or starting a debugger (Windows); nothing on POSIX, where a
// crash ends the process with its signal.
void prepareSupervisedChild();

