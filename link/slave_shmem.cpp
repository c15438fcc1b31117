// CSlaveShMem: the named mapping that holds the block and the two named wake-up events of one
// slave number, in whichever role the object holds.
#include <atomic>
#include <cstdio>

#include "link/object_names.h"
#include "link/slave_shmem.h"

void formatObjectName(char (&out)[kObjectNameSize], LinkObject object, std::int32_t slaveNumber) {
    const char* prefix = "PalisorSlave_ShMem";
    if (object == LinkObject::MasterEvent) {
        prefix = "PalisorEv_Master";
    } else if (object == LinkObject::SlaveEvent) {
        prefix = "PalisorEv_Slave";
    } else if (object == LinkObject::MasterLock) {
        prefix = "PalisorLock_Master";
    } else if (object == LinkObject::SlaveLock) {
        prefix = "PalisorLock_Slave";
    }
    if (slaveNumber < 0) {
        std::snprintf(out, sizeof out, "%s", prefix);
    } else {
        std::snprintf(out, sizeof out, "%s%d", prefix, static_cast<int>(slaveNumber));
    }
}

CSlaveShMem::CSlaveShMem(std::int32_t slaveNumber)
    : mapping(nullptr),
      masterEventHandle(nullptr),
      slaveEventHandle(nullptr),
      masterLockName{},
      slaveLockName{},
      masterLock(nullptr),
      slaveLock(nullptr),
      slaveLockWatch(nullptr),
      slaveRoleLocked(false),
      mappingRemoved(false) {
    openChannel(slaveNumber);
}

CSlaveShMem::~CSlaveShMem() { closeChannel(); }

void CSlaveShMem::closeMapping() {
    if (mapping != nullptr) {
        mappingRemoved = platformCloseMapping(mapping, block);
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

// The roles are taken back as attaching takes them (the lock, then the compare-and-swap): a
// byte that another living process holds (or takes at the same instant) ends the role instead
// of being overwritten.
void CSlaveShMem::openChannel(std::int32_t slaveNumber) {
    closeChannel();
    formatObjectName(masterLockName, LinkObject::MasterLock, slaveNumber);
    formatObjectName(slaveLockName, LinkObject::SlaveLock, slaveNumber);
    char name[kObjectNameSize];
    formatObjectName(name, LinkObject::MasterEvent, slaveNumber);
    masterEventHandle = openOrCreateEvent(name);
    formatObjectName(name, LinkObject::SlaveEvent, slaveNumber);
    slaveEventHandle = openOrCreateEvent(name);
    openMapping(slaveNumber);
    if (block == nullptr) {
        return;  // the role flags stay, to be taken back by a later openChannel
    }
    if (masterRole && !claimMasterByte()) {
        masterRole = false;
    }
    if (slaveRole) {
        if (slaveRoleLocked) {
            const SlaveAttach result = claimSlaveByte(false);
            slaveRole = result == SlaveAttach::Attached || result == SlaveAttach::TookOver;
            slaveRoleLocked = slaveRole;
        } else if (!takeAttachByte(block->slaveAttached)) {
            slaveRole = false;
        }
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
    // The locks go after the bytes, so that a living side's byte is never seen beside its free
    // lock. The role flags stay, for openChannel to take the roles (and locks) back.
    platformReleaseLock(masterLock, masterLockName);
    masterLock = nullptr;
    platformReleaseLock(slaveLock, slaveLockName);
    slaveLock = nullptr;
    platformForgetLock(&slaveLockWatch);
    if (masterEventHandle != nullptr) {
        platformCloseEvent(masterEventHandle);
        masterEventHandle = nullptr;
    }
    if (slaveEventHandle != nullptr) {
        platformCloseEvent(slaveEventHandle);
        slaveEventHandle = nullptr;
    }
    closeMapping();
    if (mappingRemoved) {
        // We were the block's last user: no attach byte survives, so a lock object left by a
        // peer that died (POSIX keeps it) means nothing any more.
        platformSweepLock(masterLockName);
        platformSweepLock(slaveLockName);
        mappingRemoved = false;
    }
}

PlatformEvent* CSlaveShMem::openOrCreateEvent(const char* name) { return platformOpenOrCreateEvent(name); }

namespace {

// A byte taken over stays set; any non-zero value counts as attached, and ours reads 1.
void holdAttachByte(std::uint8_t& byte) { std::atomic_ref<std::uint8_t>(byte).store(1); }

}  // namespace

// The lock first, then the byte: a living master holds the lock and is never taken over. A byte
// that is set is taken over only when the lock object was already there and free: its master
// died holding it (on POSIX the object outlives its holder). A set byte beside no lock object
// belongs to a master that keeps no lock, alive or not, and the block takes one master: the
// role is refused. (Windows lock objects vanish with their holder, so there every set byte is
// refused, as a master that keeps no lock would refuse it.)
bool CSlaveShMem::claimMasterByte() {
    PlatformLock* lock = nullptr;
    bool existed = false;
    switch (platformTakeLock(masterLockName, LockKind::Role, 0, &lock, &existed)) {
    case LockTake::Busy:
        return false;  // another living master
    case LockTake::Failed:
        return takeAttachByte(block->masterAttached);  // no lock to be had: only a free byte
    case LockTake::Taken:
        break;
    }
    if (!takeAttachByte(block->masterAttached)) {
        if (!existed) {
            platformReleaseLock(lock, masterLockName);
            return false;
        }
        holdAttachByte(block->masterAttached);  // left set by a master that died
    }
    masterLock = lock;
    return true;
}

bool CSlaveShMem::attachMaster(bool on) {
    if (block == nullptr) {
        return false;
    }
    if (on == masterRole) {
        return true;
    }
    if (!on) {
        CSlaveMem::attachMaster(false);
        platformReleaseLock(masterLock, masterLockName);
        masterLock = nullptr;
        return true;
    }
    if (!claimMasterByte()) {
        return false;
    }
    if (slaveRole) {
        attachSlave(false);
    }
    masterRole = true;
    return true;
}

bool CSlaveShMem::attachSlave(bool on) {
    const bool result = CSlaveMem::attachSlave(on);
    if (!slaveRole) {
        platformReleaseLock(slaveLock, slaveLockName);
        slaveLock = nullptr;
        slaveRoleLocked = false;
    }
    return result;
}

SlaveAttach CSlaveShMem::claimSlaveByte(bool force) {
    PlatformLock* lock = nullptr;
    bool existed = false;
    switch (platformTakeLock(slaveLockName, LockKind::Presence, kSlaveLockPatienceMs, &lock, &existed)) {
    case LockTake::Busy:
        return SlaveAttach::LiveSlave;
    case LockTake::Failed:
        // No lock to be had: the slave keeps none, as slaves written by others do.
        if (force) {
            releaseAttachByte(block->slaveAttached);
        }
        return takeAttachByte(block->slaveAttached) ? SlaveAttach::Attached : SlaveAttach::UnknownSlave;
    case LockTake::Taken:
        break;
    }
    if (takeAttachByte(block->slaveAttached)) {
        slaveLock = lock;
        return SlaveAttach::Attached;
    }
    // Set although no living slave holds the lock. When the lock object was already there, the
    // slave that made it died holding the role; otherwise the byte belongs to a slave that keeps
    // no lock, alive or not, and only `force` takes it.
    if (existed || force) {
        holdAttachByte(block->slaveAttached);
        slaveLock = lock;
        return SlaveAttach::TookOver;
    }
    platformReleaseLock(lock, slaveLockName);
    return SlaveAttach::UnknownSlave;
}

SlaveAttach CSlaveShMem::attachSlaveWithLock(bool force) {
    if (block == nullptr) {
        return SlaveAttach::NoBlock;
    }
    if (slaveRole) {
        return SlaveAttach::Attached;
    }
    const SlaveAttach result = claimSlaveByte(force);
    if (result == SlaveAttach::Attached || result == SlaveAttach::TookOver) {
        if (masterRole) {
            attachMaster(false);
        }
        slaveRole = true;
        slaveRoleLocked = true;
    }
    return result;
}

bool CSlaveShMem::isSlaveAlive() {
    if (!isSlaveAttached()) {
        // What the looks kept of an earlier slave's lock says nothing about the next slave.
        platformForgetLock(&slaveLockWatch);
        return false;
    }
    if (slaveRole) {
        return true;  // the byte is this object's own
    }
    return platformProbeLock(slaveLockName, &slaveLockWatch) != LockState::Free;
}

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
