#include <windows.h>

#include <cstdio>

#include "tools/slave/child_process.h"

namespace {

// Quotes one argument the way the C runtime's command-line parser reads it back.
void appendQuoted(std::string& line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) {
        line += arg;
        return;
    }
    line += '"';
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

LONG WINAPI endOnCrash(EXCEPTION_POINTERS* info) {
    const DWORD code = info != nullptr && info->ExceptionRecord != nullptr ? info->ExceptionRecord->ExceptionCode : 1;
    TerminateProcess(GetCurrentProcess(), code);
    return EXCEPTION_EXECUTE_HANDLER;
}

// The command line that starts argv[0] with the arguments argv[1..]: the arguments separated by
// spaces, each quoted the way the C runtime's command-line parser reads it back.
std::string windowsCommandLine(const std::vector<std::string>& argv) {
    std::string line;
    for (std::size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += ' ';
        appendQuoted(line, argv[i]);
    }
    return line;
}

}  // namespace

std::string ChildExit::describe() const {
    const auto value = static_cast<unsigned>(code);
    if (value >= 0xC0000000u) {
        char text[48];
        std::snprintf(text, sizeof text, "exception 0x%08X", value);
        return text;
    }
    return "exit code " + std::to_string(value);
}

struct CChildProcess::State {
    HANDLE process = nullptr;
    HANDLE input = nullptr;  // write end of the child's standard input
    DWORD id = 0;
};

CChildProcess::CChildProcess() : state(std::make_unique<State>()) {}

CChildProcess::~CChildProcess() {
    kill();
    closeInput();
}

bool CChildProcess::start(const std::vector<std::string>& argv, std::string& error) {
    if (argv.empty() || state->process != nullptr) {
        error = "no program to start";
        return false;
    }
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = "cannot create a pipe (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);  // only the read end goes to the child
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE) SetHandleInformation(out, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    if (err != nullptr && err != INVALID_HANDLE_VALUE) SetHandleInformation(err, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);

    std::string line = windowsCommandLine(argv);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readEnd;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                        &startup, &process);
    const DWORD startError = GetLastError();
    CloseHandle(readEnd);
    if (!started) {
        CloseHandle(writeEnd);
        error = "cannot start " + argv[0] + " (error " + std::to_string(startError) + ")";
        return false;
    }
    CloseHandle(process.hThread);
    state->process = process.hProcess;
    state->input = writeEnd;
    state->id = process.dwProcessId;
    return true;
}

void CChildProcess::closeInput() {
    if (state->input != nullptr) {
        CloseHandle(state->input);
        state->input = nullptr;
    }
}

bool CChildProcess::writeInput(const std::string& text) {
    if (state->input == nullptr) return false;
    DWORD written = 0;
    return WriteFile(state->input, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != FALSE &&
           written == text.size();
}

bool CChildProcess::wait(std::uint32_t milliseconds, ChildExit& exit) {
    if (state->process == nullptr) return false;
    if (WaitForSingleObject(state->process, milliseconds) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    if (!GetExitCodeProcess(state->process, &code)) code = static_cast<DWORD>(-1);
    CloseHandle(state->process);
    state->process = nullptr;
    closeInput();
    exit.signalled = false;
    exit.code = static_cast<int>(code);
    return true;
}

void CChildProcess::kill() {
    if (state->process == nullptr) return;
    TerminateProcess(state->process, 1);
    WaitForSingleObject(state->process, INFINITE);
    CloseHandle(state->process);
    state->process = nullptr;
}

bool CChildProcess::running() const { return state->process != nullptr; }

long CChildProcess::processId() const { return static_cast<long>(state->id); }

std::string currentExecutablePath() {
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return {};
    return std::string(path, length);
}

void prepareSupervisedChild() {
    // No error box for a crash, a missing disk or a failed open: the supervisor restarts us.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(endOnCrash);
}
