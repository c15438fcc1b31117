#include <windows.h>

#include <fstream>
#include <sstream>

#include "link/object_names.h"
#include "tests/support/slave_spawn.h"
#include "tools/slave/child_process.h"

struct CSpawnedSlave::State {
    PROCESS_INFORMATION process{};
    std::string outputPath;
};

namespace {

// The build hands over POSIX paths; under Wine drive Z: is the root of that file system.
std::string windowsPath(const std::string& path) {
    std::string out;
    if (!path.empty() && path[0] == '/') out.append("Z:");
    for (char c : path) out.push_back(c == '/' ? '\\' : c);
    return out;
}

// A console-control event reaches the processes attached to the sender's console. The test takes
// a console of its own (the one it was started with, if any, may be shared with other programs,
// and under Wine one inherited from the terminal carries no control events), which the children
// inherit. It swallows Ctrl-C with a handler of its own rather than by ignoring it, because the
// ignoring is inherited and would keep the event from the children.
BOOL WINAPI swallowControl(DWORD) { return TRUE; }

void ensureOwnConsole() {
    static const bool done = [] {
        FreeConsole();
        AllocConsole();
        SetConsoleCtrlHandler(swallowControl, TRUE);
        return true;
    }();
    (void)done;
}

std::string quoted(const std::string& arg) {
    std::string out(1, '"');
    out.append(arg);
    out.push_back('"');
    return out;
}

HANDLE openOutput(const std::string& path, SECURITY_ATTRIBUTES* inherit) {
    const char* target = path.empty() ? "NUL" : path.c_str();
    return CreateFileA(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

CSpawnedSlave::CSpawnedSlave() : state(new State) {}

CSpawnedSlave::~CSpawnedSlave() {
    if (state->process.hProcess != nullptr) {
        TerminateProcess(state->process.hProcess, 99);
        WaitForSingleObject(state->process.hProcess, 5000);
        CloseHandle(state->process.hProcess);
        CloseHandle(state->process.hThread);
    }
    if (!state->outputPath.empty()) DeleteFileA(state->outputPath.c_str());
    delete state;
}

bool CSpawnedSlave::start(const std::string& program, const std::vector<std::string>& args) {
    char folder[MAX_PATH];
    char file[MAX_PATH];
    if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "tsl", 0, file) == 0) return false;
    state->outputPath = file;

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE out = CreateFileA(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return false;

    const std::string exe = windowsPath(program);
    std::string command = quoted(exe);
    for (const std::string& arg : args) command.append(" ").append(quoted(arg));

    ensureOwnConsole();

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    const BOOL ok = CreateProcessA(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                   &state->process);
    CloseHandle(out);
    if (!ok) state->process = PROCESS_INFORMATION{};
    return ok != 0;
}

// Ctrl-C cannot be aimed at one process group: it goes to every process on the console, which
// are this test (ignoring it) and its children. The tests run one child at a time.
bool CSpawnedSlave::requestStop() {
    return state->process.hProcess != nullptr && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0;
}

bool CSpawnedSlave::waitExit(std::uint32_t milliseconds, int& exitCode) {
    if (state->process.hProcess == nullptr) return false;
    if (WaitForSingleObject(state->process.hProcess, milliseconds) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(state->process.hProcess, &code);
    exitCode = static_cast<int>(code);
    CloseHandle(state->process.hProcess);
    CloseHandle(state->process.hThread);
    state->process = PROCESS_INFORMATION{};
    return true;
}

std::string CSpawnedSlave::output() const {
    std::ifstream file(state->outputPath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::int32_t testProcessId() { return static_cast<std::int32_t>(GetCurrentProcessId()); }

bool linkObjectsExist(std::int32_t slaveNumber) {
    char name[kObjectNameSize];
    formatObjectName(name, LinkObject::Mapping, slaveNumber);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    if (mapping != nullptr) {
        CloseHandle(mapping);
        return true;
    }
    for (LinkObject object : {LinkObject::MasterEvent, LinkObject::SlaveEvent}) {
        formatObjectName(name, object, slaveNumber);
        HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
        if (event != nullptr) {
            CloseHandle(event);
            return true;
        }
    }
    return false;
}

int runChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                    const std::string& stderrPath, int timeoutMs) {
    if (argv.empty()) return -1;
    std::string line = windowsCommandLine(argv);
    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof(inherit);
    inherit.bInheritHandle = TRUE;
    HANDLE out = openOutput(stdoutPath, &inherit);
    HANDLE err = openOutput(stderrPath, &inherit);
    if (out == INVALID_HANDLE_VALUE || err == INVALID_HANDLE_VALUE) {
        if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
        if (err != INVALID_HANDLE_VALUE) CloseHandle(err);
        return -1;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessA(argv[0].c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    CloseHandle(out);
    CloseHandle(err);
    if (!started) return -1;
    int result = -1;
    if (WaitForSingleObject(process.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) result = static_cast<int>(code);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}
