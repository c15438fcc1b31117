#include <csignal>

#include "tools/slave/stop_signal.h"

namespace {

std::atomic<bool>* stopFlag = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void onStopSignal(int) {
    if (stopFlag != nullptr) stopFlag->store(true, std::memory_order_release);
}

}  // namespace

bool installStopHandlers(std::atomic<bool>& flag) {
    stopFlag = &flag;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ok = sigaction(signal, &action, nullptr) == 0 && ok;
    return ok;
}

void notifyStopped() {}
