// CSlaveMem: the roles, version bytes, reset and event packing over a block it does not own.
//
// The attach bytes are taken with one compare-and-swap, never a test followed by a store: two
// masters (or two slaves) attaching to one block at the same instant cannot both win.
#include "link/slave_mem.h"

CSlaveMem::CSlaveMem() : block(nullptr), masterRole(false), slaveRole(false) {}

CSlaveMem::~CSlaveMem() = default;

void CSlaveMem::closeMapping() {}

void CSlaveMem::resetBlock() {
    if (block != nullptr) {
        resetSlaveBlock(*block);
    }
}

bool CSlaveMem::isMasterAttached() { return block != nullptr && attachByteSet(block->masterAttached); }

bool CSlaveMem::isSlaveAttached() { return block != nullptr && attachByteSet(block->slaveAttached); }

// Taking a role: the byte is claimed first, so a refusal changes nothing (the other role, if
// held, is kept); only after the claim has succeeded is the other role given up.
bool CSlaveMem::attachMaster(bool on) {
    if (block == nullptr) {
        return false;
    }
    if (on == masterRole) {
        return true;
    }
    if (on) {
        if (!takeAttachByte(block->masterAttached)) {
            return false;  // another master holds the block
        }
        if (slaveRole) {
            attachSlave(false);
        }
        masterRole = true;
        return true;
    }
    releaseAttachByte(block->masterAttached);
    masterRole = false;
    return true;
}

bool CSlaveMem::attachSlave(bool on) {
    if (block == nullptr) {
        return false;
    }
    if (on == slaveRole) {
        return true;
    }
    if (on) {
        if (!takeAttachByte(block->slaveAttached)) {
            return false;  // another slave holds the block
        }
        if (masterRole) {
            attachMaster(false);
        }
        slaveRole = true;
        return true;
    }
    releaseAttachByte(block->slaveAttached);
    slaveRole = false;
    return true;
}

bool CSlaveMem::writeMasterVersion(std::uint8_t first, std::uint8_t second) {
    if (block == nullptr) {
        return false;
    }
    block->masterVersion[0] = first;
    block->masterVersion[1] = second;
    return true;
}

void CSlaveMem::readSlaveVersion(std::uint8_t& first, std::uint8_t& second) {
    first = block != nullptr ? block->slaveVersion[0] : 0;
    second = block != nullptr ? block->slaveVersion[1] : 0;
}

bool CSlaveMem::writeSlaveVersion(std::uint8_t first, std::uint8_t second) {
    if (block == nullptr) {
        return false;
    }
    block->slaveVersion[0] = first;
    block->slaveVersion[1] = second;
    return true;
}

void CSlaveMem::readMasterVersion(std::uint8_t& first, std::uint8_t& second) {
    first = block != nullptr ? block->masterVersion[0] : 0;
    second = block != nullptr ? block->masterVersion[1] : 0;
}

bool CSlaveMem::packEvent(std::uint8_t tag, const VstEvent* event, std::uint8_t* area, std::int32_t* count) {
    if (area == nullptr || count == nullptr) {
        if (block == nullptr) {
            return false;  // a default target needs a mapped block
        }
        if (area == nullptr) {
            area = block->masterEvents;
        }
        if (count == nullptr) {
            count = &block->masterEventBytes;
        }
    }
    return packEventRecord(tag, event, area, count);
}
