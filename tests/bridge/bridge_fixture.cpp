#include "bridge_fixture.h"

#include <cstring>
#include <random>

// ---- Slave ----

ScriptedSlave::ScriptedSlave(std::int32_t slaveNumber, bool attach) : handler(passThrough), channel(slaveNumber) {
    if (attach) {
        channel.attachSlave(true);
        channel.writeSlaveVersion(1, 0);
    }
    thread = std::thread([this] { run(); });
}

ScriptedSlave::~ScriptedSlave() { stop(); }

void ScriptedSlave::stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
    channel.attachSlave(false);
}

void ScriptedSlave::detach() { channel.attachSlave(false); }

bool ScriptedSlave::attach(int timeoutMs) {
    attachRequested = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!attachDone && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return attachDone;
}

void ScriptedSlave::run() {
    while (!stopping) {
        if (attachRequested.exchange(false)) attachDone = channel.attachSlave(true);
        if (!channel.waitEvent(20, nullptr)) continue;
        SlaveBlock& block = *channel.block;
        const std::int32_t command = block.command;
        {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back(command);
        }
        const int delay = answerDelayMs.load();
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        if (handler(block, command)) channel.signalEvent(true);
    }
}

bool ScriptedSlave::passThrough(SlaveBlock& block, std::int32_t command) {
    if (command == kCmdGetInfo) {
        std::memcpy(block.args, "SCRIPTED", 8);
        const std::int32_t word = 77;
        std::memcpy(block.args + 8, &word, 4);
    }
    if (command == kCmdProcess) {
        const std::int32_t n = block.numInputs;
        const std::int32_t frames = block.blockSize;
        const std::int64_t stride = channelStrideSamples(frames);
        for (std::int32_t i = 0; i < n && i < 16; ++i) {
            std::memcpy(block.outputs + i * stride, block.inputs + i * stride, sizeof(float) * stride);
        }
        block.numOutputs = n;
        storeEventCount(block.masterEventBytes, 0);
    }
    return true;
}

std::vector<std::int32_t> ScriptedSlave::commands() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
}

int ScriptedSlave::countOf(std::int32_t command) {
    int n = 0;
    for (std::int32_t c : commands()) n += c == command;
    return n;
}

void ScriptedSlave::clearLog() {
    std::lock_guard<std::mutex> lock(mutex);
    log.clear();
}

bool ScriptedSlave::waitForCommand(std::int32_t command, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (countOf(command) > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// ---- Settings ----

SettingsSandbox::SettingsSandbox() {
    std::random_device device;
    keyPath = "Software\\Vantor\\TolvaneTest" + std::to_string(device() % 100000000u);
    platformPrepareSandbox(scratch);
    effect = effectIdentity();
    effect.settingsKey = keyPath.c_str();
    instrument = instrumentIdentity();
    instrument.settingsKey = keyPath.c_str();
}

SettingsSandbox::~SettingsSandbox() { platformRemoveSandbox(keyPath, scratch); }

const DeliverableIdentity& SettingsSandbox::identity(bool isInstrument) { return isInstrument ? instrument : effect; }

bool SettingsSandbox::read(const char* name, std::int32_t& out) {
    if (!platformSandboxExists(keyPath)) return false;
    SettingsKey* key = platformOpenSettings(keyPath.c_str());
    if (!key) return false;
    bool ok = platformReadSetting(key, name, &out);
    platformCloseSettings(key);
    return ok;
}

void SettingsSandbox::write(const char* name, std::int32_t value) {
    SettingsKey* key = platformOpenSettings(keyPath.c_str());
    if (!key) return;
    platformWriteSetting(key, name, value);
    platformCloseSettings(key);
}

bool SettingsSandbox::exists() { return platformSandboxExists(keyPath); }

CTolvane* makeBridge(SettingsSandbox& sandbox, bool instrument) {
    return new CTolvane(FakeHost::callback, sandbox.identity(instrument));
}

void closeBridge(CTolvane* bridge) {
    AEffect* effect = bridge->getAeffect();
    effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
}
