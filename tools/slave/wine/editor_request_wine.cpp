// The requests to open the editor again in the Wine-library slave: a real-time signal (SIGRTMIN),
// and "e" and Enter in the terminal. SIGUSR1, the native slave's request, is Wine's own: the Wine
// server sends it to suspend a thread, and a handler of ours in its place would take those for
// requests and leave the threads running.
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
    return sigaction(SIGRTMIN, &action, nullptr) == 0;
}

const char* editorRequestSignal() { return "SIGRTMIN"; }

bool standardInputIsTerminal() { return isatty(STDIN_FILENO) == 1; }

std::string editorRequestHint(bool terminalKey) {
    return "kill -RTMIN " + std::to_string(static_cast<long>(getpid())) + (terminalKey ? ", or e and Enter here" : "");
}
