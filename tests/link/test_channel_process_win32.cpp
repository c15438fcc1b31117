// Child processes through CreateProcessA and the named kernel objects.
#include "tests/link/test_channel_process.h"

#include <windows.h>

ChildProcess::~ChildProcess() {
    if (running) {
        join(0);
    }
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& arguments) {
    std::string commandLine = "\"" + program + "\"";
    for (const std::string& argument : arguments) {
        commandLine += " " + argument;  // the arguments used here carry no spaces or quotes
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    native = reinterpret_cast<std::intptr_t>(process.hProcess);
    running = true;
    return true;
}

int ChildProcess::join(std::uint32_t timeoutMs) {
    if (!running) {
        return -1;
    }
    HANDLE process = reinterpret_cast<HANDLE>(native);
    int code = -1;
    if (WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        if (GetExitCodeProcess(process, &exitCode)) {
            code = static_cast<int>(exitCode);
        }
    } else {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, INFINITE);
    }
    CloseHandle(process);
    running = false;
    return code;
}

std::string executableBeside(const char* baseName) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return std::string(baseName) + ".exe";
    }
    std::string self(path, length);
    return self.substr(0, self.find_last_of("\\/") + 1) + baseName + ".exe";
}

std::uint32_t currentProcessId() { return GetCurrentProcessId(); }

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
    if (handle == nullptr) {
        return false;
    }
    CloseHandle(handle);
    return true;
}
