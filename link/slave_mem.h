// The channel's operations on one slave number's shared block.
//
// CSlaveMem knows only a pointer to a block: reset, the master and slave roles (attach bytes),
// the version bytes and event packing. It serves either role. CSlaveShMem (link/slave_shmem.h)
// adds the operating-system objects under it.
#pragma once

#include <cstdint>

#include "link/slave_block.h"

class CSlaveMem {
public:
    CSlaveMem();
    virtual ~CSlaveMem();

    // Virtual operations, in this order.
    virtual void closeMapping();                                                // [any thread]
    virtual void resetBlock();                                                  // [any thread]
    virtual bool isMasterAttached();                                            // [audio thread ok]
    virtual bool attachMaster(bool on);                                         // [main thread]
    virtual bool writeMasterVersion(std::uint8_t first, std::uint8_t second);   // [main thread]
    virtual void readSlaveVersion(std::uint8_t& first, std::uint8_t& second);   // [any thread]
    virtual bool isSlaveAttached();                                             // [audio thread ok]
    virtual bool attachSlave(bool on);                                          // [main thread]
    virtual bool writeSlaveVersion(std::uint8_t first, std::uint8_t second);    // [main thread]
    virtual void readMasterVersion(std::uint8_t& first, std::uint8_t& second);  // [any thread]

    // Appends one packed record; null area means masterEvents and null count masterEventBytes
    // of the mapped block. [audio or dispatch thread: no allocation, no system call]
    bool packEvent(std::uint8_t tag, const VstEvent* event, std::uint8_t* area = nullptr,
                   std::int32_t* count = nullptr);

    SlaveBlock* block;  // mapped block or null; not owned by CSlaveMem
    bool masterRole;    // this object set masterAttached
    bool slaveRole;     // this object set slaveAttached
};
