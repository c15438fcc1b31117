// The requests to open the editor again on POSIX: SIGUSR1, and "e" and Enter in the terminal.
#include <unistd.h>

#include <csignal>
#include <string>

#include "tools/slave/editor_window.h"

namespace {

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
    return sigaction(SIGUSR1, &action, nullptr) == 0;
}

const char* editorRequestSignal() { return "SIGUSR1"; }

bool standardInputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

std::string editorRequestHint(bool terminalKey) {
    return "kill -USR1 " + std::to_string(static_cast<long>(getpid())) + (terminalKey ? ", or e and Enter here" : "");
}
