// The channel over one slave number's shared block and its two wake-up events.
//
// CSlaveMem knows only a pointer to a block: reset, the master and slave roles (attach bytes),
// the version bytes and event packing. CSlaveShMem owns the operating-system objects: the named
// mapping that holds the block and the two named auto-reset events. Both serve either role.
// The events are named after the side that waits on them: the master waits on the master event,
// the slave on the slave event.
#pragma once

#include <cstdint>

#include "link/platform.h"
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

class CSlaveShMem : public CSlaveMem {
public:
    explicit CSlaveShMem(std::int32_t slaveNumber);
    ~CSlaveShMem() override;

    void closeMapping() override;
    virtual SlaveBlock* openMapping(std::int32_t slaveNumber);

    // (Re)opens the channel under a slave number, carrying a held role over when the new
    // block's byte for it is free. [main thread; not on the audio thread]
    void openChannel(std::int32_t slaveNumber);
    // Clears the held attach byte (the role flag stays), closes both events and the mapping.
    void closeChannel();
    PlatformEvent* openOrCreateEvent(const char* name);

    // peer true: the other side's event; false: this side's own. [audio thread ok: one kernel
    // call at most, no allocation]
    bool signalEvent(bool peer);
    bool pollEvent(bool peer);
    // Waits on the own event; counts a timed-out wait in *timeouts when given.
    bool waitEvent(std::uint32_t milliseconds, std::int32_t* timeouts);

    PlatformMapping* mapping;
    PlatformEvent* masterEventHandle;
    PlatformEvent* slaveEventHandle;
};
