// Test doubles for driving the bridge as a host would (the host callback is FakeHost, from
// tests/support/fake_host.h): a scripted slave that serves the link from a thread of the test
// process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child_program.h"  // uniqueSlaveNumber()
#include "bridge/tolvane.h"
#include "link/slave_shmem.h"
#include "tests/support/fake_host.h"

// ---- Slave ----

class ScriptedSlave {
public:
    explicit ScriptedSlave(std::int32_t slaveNumber, bool attach = true);
    ~ScriptedSlave();

    // Called for every command before the answer; may change the block. Returns whether to
    // answer. The default handler answers everything and passes audio through.
    std::function<bool(SlaveBlock&, std::int32_t command)> handler;
    std::atomic<int> answerDelayMs{0};

    std::vector<std::int32_t> commands();  // every command received, in order
    int countOf(std::int32_t command);
    void clearLog();
    bool waitForCommand(std::int32_t command, int timeoutMs = 2000);
    // Attaches a slave made without attaching, from its own thread (which reads the channel's
    // role on every wait), and returns once it has. Call from the test's thread.
    bool attach(int timeoutMs = 2000);
    // Clears the attach byte; from a handler (the slave's own thread) or after stop().
    void detach();
    void stop();

    CSlaveShMem channel;

    static bool passThrough(SlaveBlock& block, std::int32_t command);

private:
    void run();
    std::mutex mutex;
    std::vector<std::int32_t> log;
    std::atomic<bool> stopping{false};
    std::atomic<bool> attachRequested{false};
    std::atomic<bool> attachDone{false};
    std::thread thread;
};


// ---- Settings ----

// A private settings store per test: an identity whose settings key no one else uses, the
// store removed again at the end (and, on POSIX, XDG_CONFIG_HOME pointed at a scratch folder).
class SettingsSandbox {
public:
    SettingsSandbox();
    ~SettingsSandbox();
    const DeliverableIdentity& identity(bool instrument = false);
    bool read(const char* name, std::int32_t& out);
    void write(const char* name, std::int32_t value);
    bool exists();
    std::string keyPath;

private:
    DeliverableIdentity effect;
    DeliverableIdentity instrument;
    std::string scratch;
};
void platformPrepareSandbox(std::string& scratch);
void platformRemoveSandbox(const std::string& keyPath, const std::string& scratch);
bool platformSandboxExists(const std::string& keyPath);

// Creates a bridge for the fake host with the sandbox's identity.
CTolvane* makeBridge(SettingsSandbox& sandbox, bool instrument = false);
// Closes it through the record, as a host does (effClose deletes the object).
void closeBridge(CTolvane* bridge);
