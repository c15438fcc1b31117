#include "tools/slave/state_keeper.h"

#include <chrono>
#include <cstdio>

CStateKeeper::CStateKeeper(CPluginProcessor& processor) : processor(processor) {}

CStateKeeper::~CStateKeeper() { stop(); }

void CStateKeeper::start() {
    processor.takeStateChanged();  // what was told before now is in this first save
    saveNow();
    stopping = false;
    started = true;
    thread = startServingThread([this] { run(); });
    if (!thread) std::fprintf(stderr, "tolvane-slave: cannot start the state's thread; the state is saved at exit only\n");
}

void CStateKeeper::stop() {
    if (!started) return;
    started = false;
    if (thread) {
        {
            const std::lock_guard<std::mutex> lock(wake);
            stopping = true;
        }
        wakeUp.notify_all();
        thread->join();
        thread.reset();
    }
    saveNow();
}

void CStateKeeper::run() {
    std::unique_lock<std::mutex> lock(wake);
    while (!wakeUp.wait_for(lock, std::chrono::milliseconds(kStateLookMs), [this] { return stopping; })) {
        lock.unlock();
        if (processor.takeStateChanged()) saveNow();
        lock.lock();
    }
}

bool CStateKeeper::saveNow() {
    const std::lock_guard<std::mutex> lock(saving);
    PluginState state;
    if (!processor.captureState(state)) return true;  // no plug-in open (it did not reopen): nothing to keep
    std::string text = formatStateFile(state);
    if (text == lastText) return true;
    std::string error;
    if (!replaceFileAtomically(processor.stateFilePath(), text, error)) {
        if (error != lastError) std::fprintf(stderr, "tolvane-slave: the state is not saved: %s\n", error.c_str());
        lastError = error;
        return false;
    }
    lastError.clear();
    lastText = std::move(text);
    return true;
}
