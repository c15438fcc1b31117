// --state FILE: saves the hosted plug-in's state while the slave runs. A thread of its own looks
// every kStateLookMs whether the plug-in told of a change (CPluginProcessor::takeStateChanged) and
// then writes the state with replaceFileAtomically; so the processing thread, where a plug-in may
// call audioMasterAutomate, only has an atomic counter advanced by the host's callback, and the
// file is written a few times a second at most. The thread is started by startServingThread, as
// the serving thread is, because it calls the plug-in (in the Wine-library slave such a thread
// must be one that Wine started).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <memory>
#include <string>

#include "tools/slave/plugin_processor.h"
#include "tools/slave/serving_thread.h"

constexpr std::uint32_t kStateLookMs = 250;

class CStateKeeper {
public:
    // The processor must outlive the keeper and keep its state in a file (keepStateIn).
    explicit CStateKeeper(CPluginProcessor& processor);
    ~CStateKeeper();  // stop()
    CStateKeeper(const CStateKeeper&) = delete;
    CStateKeeper& operator=(const CStateKeeper&) = delete;

    // [main thread] Saves the state as it is now (the first state, or the restored one) and starts
    // looking for changes.
    void start();
    // [main thread] Stops looking and saves the state once more. Idempotent.
    void stop();
    // [main thread, or the keeper's thread] Writes the state when it differs from the last one
    // written; false (and a message on standard error) when it cannot be written.
    bool saveNow();

private:
    void run();

    CPluginProcessor& processor;
    std::mutex saving;  // one save at a time
    std::string lastText;
    std::string lastError;
    std::mutex wake;
    std::condition_variable wakeUp;
    bool stopping = false;
    bool started = false;  // [main thread]
    std::unique_ptr<CServingThread> thread;
};
