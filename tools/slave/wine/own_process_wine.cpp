// What the Wine-library slave knows of its own process. It is a Linux process that Wine's
// loader runs, so /proc/self/exe names Wine, not the program: another copy is started through
// the launcher installed beside the program (tolvane-slave-wine), which runs the same program
// under Wine. A plug-in that crashes raises a Windows exception; a supervised child turns it
// into the matching Linux signal, so that its supervisor sees a death by signal as on Linux.
// It does so first, from a vectored handler: Wine's search through the frames of a Wine-library
// program's own code faults again and again until the stack overflows, which takes seconds and
// ends with a plain exit code. The price is that a plug-in catching its own access violations
// with structured exception handling dies in a supervised child.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <windows.h>

#include "tools/slave/child_process.h"

namespace {

constexpr const char* kLauncherName = "tolvane-slave-wine";

// The Linux signal that a fault of this kind raises natively; 0 for other exceptions.
int signalFor(DWORD exceptionCode) {
    switch (exceptionCode) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_STACK_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_IN_PAGE_ERROR:
        return SIGSEGV;
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
        return SIGILL;
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
        return SIGFPE;
    default:
        return 0;  // not a fault: a C++ throw, debug output, a thread's name, a breakpoint
    }
}

LONG WINAPI endOnCrash(EXCEPTION_POINTERS* info) {
    const DWORD code = info != nullptr && info->ExceptionRecord != nullptr ? info->ExceptionRecord->ExceptionCode : 0;
    const int signal = signalFor(code);
    if (signal == 0) return EXCEPTION_CONTINUE_SEARCH;
    // Wine keeps its own handler on these signals: put the default one back, so that the
    // signal ends the process.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    _exit(128 + signal);  // not reached when the signal ends the process
}

}  // namespace

std::string currentExecutablePath() {
    Dl_info info {};
    if (dladdr(reinterpret_cast<void*>(&currentExecutablePath), &info) == 0 || info.dli_fname == nullptr) return {};
    std::string program = info.dli_fname;  // ".../tolvane-slave.exe.so"
    const std::size_t slash = program.rfind('/');
    if (slash == std::string::npos) return kLauncherName;
    return program.substr(0, slash + 1) + kLauncherName;
}

void prepareSupervisedChild() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    AddVectoredExceptionHandler(1, endOnCrash);
}
