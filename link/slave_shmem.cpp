// CSlaveShMem: the named mapping that holds the block and the two named wake-up events of one
// slave number, in whichever role the object holds.
#include <cstdio>

#include "link/object_names.h"
#include "link/slave_mem.h"

void formatObjectName(char (&out)[kObjectNameSize], LinkObject object, std::int32_t slaveNumber) {
    const char* prefix = "PalisorSlave_ShMem";
    if (object == LinkObject::MasterEvent) {
        prefix = "PalisorEv_Master";
    } else if (object == LinkObject::SlaveEvent) {
        prefix = "PalisorEv_Slave";
    }
    if (slaveNumber < 0) {
        std::snprintf(out, sizeof out, "%s", prefix);
    } else {
        std::snprintf(out, sizeof out, "%s%d", prefix, static_cast<int>(slaveNumber));
    }
}

CSlaveShMem::CSlaveShMem(std::int32_t slaveNumber)
    : mapping(nullptr), masterEventHandle(nullptr), slaveEventHandle(nullptr) {
    openChannel(slaveNumber);
}

CSlaveShMem::~CSlaveShMem() { closeChannel(); }

void CSlaveShMem::closeMapping() {
    if (mapping != nullptr) {
        platformCloseMapping(mapping, block);
        block = nullptr;
        mapping = nullptr;
    }
}

SlaveBlock* CSlaveShMem::openMapping(std::int32_t slaveNumber) {
    if (mapping != nullptr) {
        return block;
    }
    char name[kObjectNameSize];
    formatObjectName(name, LinkObject::Mapping, slaveNumber);
    void* view = nullptr;
    mapping = platformOpenMapping(name, kSlaveBlockSize, &view);
    if (mapping == nullptr || view == nullptr) {
        return nullptr;  // a mapping without a view stays open until closeChannel
    }
    block = static_cast<SlaveBlock*>(view);
    if (!hasBlockMagic(*block)) {
        resetBlock();  // a new mapping, or one never reset: an existing block keeps its content
    }
    return block;
}

// The roles are taken back with the same compare-and-swap as attaching: a byte that another
// process holds (or takes at the same instant) ends the role instead of being overwritten.
void CSlaveShMem::openChannel(std::int32_t slaveNumber) {
    closeChannel();
    char name[kObjectNameSize];
    formatObjectName(name, LinkObject::MasterEvent, slaveNumber);
    masterEventHandle = openOrCreateEvent(name);
    formatObjectName(name, LinkObject::SlaveEvent, slaveNumber);
    slaveEventHandle = openOrCreateEvent(name);
    openMapping(slaveNumber);
    if (block == nullptr) {
        return;  // the role flags stay, to be taken back by a later openChannel
    }
    if (masterRole && !takeAttachByte(block->masterAttached)) {
        masterRole = false;
    }
    if (slaveRole && !takeAttachByte(block->slaveAttached)) {
        slaveRole = false;
    }
}

void CSlaveShMem::closeChannel() {
    if (block != nullptr) {
        if (masterRole) {
            releaseAttachByte(block->masterAttached);
        }
        if (slaveRole) {
            releaseAttachByte(block->slaveAttached);
        }
    }
    if (masterEventHandle != nullptr) {
        platformCloseEvent(masterEventHandle);
        masterEventHandle = nullptr;
    }
    if (slaveEventHandle != nullptr) {
        platformCloseEvent(slaveEventHandle);
        slaveEventHandle = nullptr;
    }
    closeMapping();
}

PlatformEvent* CSlaveShMem::openOrCreateEvent(const char* name) { return platformOpenOrCreateEvent(name); }

namespace {

// The event a side waits on is named after it: the master waits on the master event. Null when
// the object holds neither role, so that nothing is signalled or consumed on behalf of nobody.
PlatformEvent* selectEvent(const CSlaveShMem& channel, bool peer) {
    if (channel.masterRole) {
        return peer ? channel.slaveEventHandle : channel.masterEventHandle;
    }
    if (channel.slaveRole) {
        return peer ? channel.masterEventHandle : channel.slaveEventHandle;
    }
    return nullptr;
}

}  // namespace

bool CSlaveShMem::signalEvent(bool peer) {
    PlatformEvent* event = selectEvent(*this, peer);
    return event != nullptr && platformSignalEvent(event);
}

bool CSlaveShMem::pollEvent(bool peer) {
    PlatformEvent* event = selectEvent(*this, peer);
    return event != nullptr && platformWaitEvent(event, 0) == WaitResult::Signalled;
}

bool CSlaveShMem::waitEvent(std::uint32_t milliseconds, std::int32_t* timeouts) {
    PlatformEvent* event = selectEvent(*this, false);
    if (event == nullptr) {
        return false;
    }
    const WaitResult result = platformWaitEvent(event, milliseconds);
    // The counter only grows; it stops at the largest value rather than wrapping to negative.
    if (result == WaitResult::TimedOut && timeouts != nullptr && *timeouts < INT32_MAX) {
        ++*timeouts;
    }
    return result == WaitResult::Signalled;
}
