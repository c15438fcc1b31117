// Windows side of the child-program support: the standard handles are pointed at the files for
// the moment CChildProcess starts the child (it hands them down), the polite stop is a console
// Ctrl-C, and the link's named objects are kernel objects.
#include <windows.h>

#include <mutex>

#include "tests/support/child_program.h"

namespace {

HANDLE openOutput(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileA(path.empty() ? "NUL" : path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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

}  // namespace

namespace child_program_os {

// The test's standard handles are lent to the child while it starts: one start at a time.
bool startWithOutput(CChildProcess& child, const std::vector<std::string>& argv, const std::string& outPath,
                     const std::string& errPath) {
    static std::mutex starting;
    const std::lock_guard<std::mutex> lock(starting);
    ensureOwnConsole();
    HANDLE out = openOutput(outPath);
    HANDLE err = errPath == outPath ? out : openOutput(errPath);
    bool started = false;
    if (out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE) {
        HANDLE savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
        HANDLE savedErr = GetStdHandle(STD_ERROR_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, out);
        SetStdHandle(STD_ERROR_HANDLE, err);
        std::string error;
        started = child.start(argv, error);
        SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
        SetStdHandle(STD_ERROR_HANDLE, savedErr);
    }
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (err != INVALID_HANDLE_VALUE && err != out) CloseHandle(err);
    return started;
}

// Ctrl-C cannot be aimed at one process group: it goes to every process on the console, which
// are this test (swallowing it) and its children. The tests ask one child at a time.
bool askToStop(const CChildProcess&) { return GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != 0; }

std::string newOutputFile() {
    char folder[MAX_PATH];
    char file[MAX_PATH];
    if (GetTempPathA(MAX_PATH, folder) == 0 || GetTempFileNameA(folder, "tcp", 0, file) == 0) return {};
    return file;
}

// The build hands over POSIX paths; under Wine drive Z: is the root of that file system.
std::string nativePath(const std::string& path) {
    std::string out;
    if (!path.empty() && path[0] == '/') out.append("Z:");
    for (char c : path) out.push_back(c == '/' ? '\\' : c);
    return out;
}

}  // namespace child_program_os

std::int32_t testProcessId() { return static_cast<std::int32_t>(GetCurrentProcessId()); }

bool linkObjectExists(LinkObject object, std::int32_t slaveNumber) {
    char name[kObjectNameSize];
    formatObjectName(name, object, slaveNumber);
    HANDLE handle = nullptr;
    if (object == LinkObject::Mapping) {
        handle = OpenFileMappingA(FILE_MAP_READ, FALSE, name);
    } else if (object == LinkObject::MasterLock || object == LinkObject::SlaveLock) {
        handle = OpenMutexA(SYNCHRONIZE, FALSE, name);
    } else {
        handle = OpenEventA(SYNCHRONIZE, FALSE, name);
    }
    if (handle == nullptr) return false;
    CloseHandle(handle);
    return true;
}

std::string executableBeside(const char* baseName) {
    const std::string self = currentExecutablePath();
    if (self.empty()) return std::string(baseName) + ".exe";
    return self.substr(0, self.find_last_of("\\/") + 1) + baseName + ".exe";
}
