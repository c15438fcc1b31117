#include "tests/support/child_program.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

CChildProgram::~CChildProgram() {
    process.kill();
    if (!outputPath.empty()) std::remove(outputPath.c_str());
}

bool CChildProgram::start(const std::string& program, const std::vector<std::string>& args, Output output) {
    std::vector<std::string> argv{child_program_os::nativePath(program)};
    argv.insert(argv.end(), args.begin(), args.end());
    if (output == Output::Shared) {
        std::string error;
        return process.start(argv, error);
    }
    if (outputPath.empty()) outputPath = child_program_os::newOutputFile();
    return !outputPath.empty() && child_program_os::startWithOutput(process, argv, outputPath, outputPath);
}

bool CChildProgram::requestStop() { return process.running() && child_program_os::askToStop(process); }

bool CChildProgram::waitExit(std::uint32_t milliseconds, int& exitCode) {
    ChildExit exit;
    if (!process.wait(milliseconds, exit)) return false;
    exitCode = exit.signalled ? 128 + exit.code : exit.code;
    return true;
}

int CChildProgram::join(std::uint32_t milliseconds) {
    ChildExit exit;
    if (!process.wait(milliseconds, exit)) {
        process.kill();
        return -1;
    }
    return exit.signalled ? -1 : exit.code;
}

std::string CChildProgram::output() const {
    std::ifstream file(outputPath);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool CChildProgram::waitForOutput(const std::string& text, std::uint32_t milliseconds, int times) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (occurrences(output(), text) < times) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int occurrences(const std::string& text, const std::string& what) {
    int found = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++found;
    return found;
}

int runChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath,
                    const std::string& stderrPath, int timeoutMs) {
    if (argv.empty()) return -1;
    std::vector<std::string> native(argv);
    native[0] = child_program_os::nativePath(argv[0]);
    CChildProcess child;
    if (!child_program_os::startWithOutput(child, native, stdoutPath, stderrPath)) return -1;
    ChildExit exit;
    if (!child.wait(static_cast<std::uint32_t>(timeoutMs), exit)) {
        child.kill();
        return -1;
    }
    return exit.signalled ? -1 : exit.code;
}

bool linkObjectsExist(std::int32_t slaveNumber) {
    return linkObjectExists(LinkObject::Mapping, slaveNumber) || linkObjectExists(LinkObject::MasterEvent, slaveNumber) ||
           linkObjectExists(LinkObject::SlaveEvent, slaveNumber);
}
