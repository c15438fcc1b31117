#include "tools/slave/slave_server.h"

#include <chrono>
#include <thread>

#include "link/object_names.h"

CSlaveServer::CSlaveServer(std::int32_t slaveNumber, CProcessor& processor)
    : number(slaveNumber), core(processor, slaveNumber) {}

CSlaveServer::~CSlaveServer() { close(); }

bool CSlaveServer::open(bool takeOver) {
    close();
    lastError.clear();
    channel = std::make_unique<CSlaveShMem>(number);
    if (channel->block == nullptr) {
        lastError = "cannot open or map the shared block of " + slaveObjectNames(number);
    } else if (channel->masterEventHandle == nullptr || channel->slaveEventHandle == nullptr) {
        lastError = "cannot open or create the events of " + slaveObjectNames(number);
    } else {
        // The slave lock is held while serving, so that masters (and later slaves) can tell
        // when this process dies with slaveAttached still set. A byte left by a slave that died
        // holding its lock is taken over without asking; `takeOver` also takes one left by a
        // slave that kept no lock, but never the byte of a slave whose lock is still held.
        const SlaveAttach attach = channel->attachSlaveWithLock(takeOver);
        tookOver = attach == SlaveAttach::TookOver;
        switch (attach) {
        case SlaveAttach::Attached:
        case SlaveAttach::TookOver:
            channel->writeSlaveVersion(kSlaveVersionMajor, kSlaveVersionMinor);
            // The master sends nothing while no slave is attached, so a wake-up already waiting
            // here belongs to an earlier slave's exchange that nobody awaits any more.
            channel->pollEvent(false);
            return true;
        case SlaveAttach::LiveSlave:
            lastError = "another slave is serving " + slaveObjectNames(number) + " (it holds the slave lock)";
            break;
        case SlaveAttach::UnknownSlave:
        case SlaveAttach::NoBlock:
            lastError = "another slave already holds " + slaveObjectNames(number) +
                        " (if none is running, one that vanished left slaveAttached set: use --takeover)";
            break;
        }
    }
    channel.reset();
    return false;
}

void CSlaveServer::serve(const std::atomic<bool>& stop) {
    if (!channel || !channel->slaveRole || channel->block == nullptr) return;
    while (!stop.load(std::memory_order_acquire)) {
        std::int32_t timeouts = 0;
        if (!channel->waitEvent(kServeWaitMs, &timeouts)) {
            // A failed wait returns at once; pause so that a broken event does not spin.
            if (timeouts == 0) std::this_thread::sleep_for(std::chrono::milliseconds(kServeWaitMs));
            continue;
        }
        const std::int32_t code = core.handleCommand(*channel->block);
        channel->signalEvent(true);  // after every write into the block
        served.fetch_add(1, std::memory_order_relaxed);
        if (code != kCmdProcess && observer) observer(code, core.settings());
    }
}

void CSlaveServer::close() {
    if (!channel) return;
    if (channel->slaveRole) channel->attachSlave(false);
    channel.reset();  // closes both events, unmaps the view and closes the mapping
}

std::string slaveObjectNames(std::int32_t slaveNumber) {
    std::string names;
    for (LinkObject object : {LinkObject::Mapping, LinkObject::MasterEvent, LinkObject::SlaveEvent}) {
        char name[kObjectNameSize];
        formatObjectName(name, object, slaveNumber);
        if (!names.empty()) names += ", ";
        names += name;
    }
    return names;
}
