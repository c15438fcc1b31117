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
        if (takeOver) releaseAttachByte(channel->block->slaveAttached);  // left set by a slave that vanished
        if (channel->attachSlave(true)) {
            channel->writeSlaveVersion(kSlaveVersionMajor, kSlaveVersionMinor);
            // The master sends nothing while no slave is attached, so a wake-up already waiting
            // here belongs to an earlier slave's exchange that nobody awaits any more.
            channel->pollEvent(false);
            return true;
        }
        lastError = "another slave already holds " + slaveObjectNames(number) +
                    " (if none is running, one that vanished left slaveAttached set: use --takeover)";
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
