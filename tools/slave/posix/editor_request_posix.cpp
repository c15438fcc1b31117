// The requests to open the editor again on POSIX: a signal, and "e" and Enter in the terminal.
// The signal is SIGUSR1 in the native slave. The Wine-library slave builds this file with
// TOLVANE_EDITOR_SIGNAL_RTMIN: there SIGUSR1 is Wine's own (the Wine server sends it to suspend a
// thread, and a handler of ours in its place would take those for requests and leave the threads
// running), so it takes the first real-time signal, SIGRTMIN.
#include <unistd.h>

#include <csignal>
#include <string>

#include "tools/slave/editor_window.h"

namespace {

#if defined(TOLVANE_EDITOR_SIGNAL_RTMIN)
int requestSignal() { return SIGRTMIN; }
constexpr const char* kSignalName = "RTMIN";
#else
int requestSignal() { return SIGUSR1; }
constexpr const char* kSignalName = "USR1";
#endif

std::atomic<bool>* requestFlag = nullptr;

extern "C" void onEditorRequest(int) {
    if (requestFlag != nullptr) requestFlag->store(true, std::memory_order_release);
}

}  // namespace

bool installEditorRequestHandler(std::atomic<bool>& flag) {
    requestFlag = &flag;
    struct sigaction action {};
    action.sa_handler = onEditorRequest;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(requestSignal(), &action, nullptr) == 0;
}

const char* editorRequestSignal() {
    static const std::string name = std::string("SIG") + kSignalName;
    return name.c_str();
}

bool standardInputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

std::string editorRequestHint(bool terminalKey) {
    return std::string("kill -") + kSignalName + " " + std::to_string(static_cast<long>(getpid())) + (terminalKey ? ", or e and Enter here" : "");
}
