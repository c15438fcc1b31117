// The channel over one slave number's shared block and its two wake-up events.
//
// CSlaveShMem owns the operating-system objects under a CSlaveMem (link/slave_mem.h): the named
// mapping that holds the block and the two named auto-reset events. It serves either role.
// The events are named after the side that waits on them: the master waits on the master event,
// the slave on the slave event.
#pragma once

#include <cstdint>

#include "link/object_names.h"
#include "link/platform.h"
#include "link/slave_block.h"
#include "link/slave_mem.h"

// How CSlaveShMem::attachSlaveWithLock ended.
enum class SlaveAttach {
    Attached,      // the byte was free and is this object's now
    TookOver,      // the byte was left set by a slave that died holding its lock (or `force`)
    LiveSlave,     // another slave holds the slave lock: it is alive and serving
    UnknownSlave,  // the byte is set by a slave that keeps no lock; only `force` takes it
    NoBlock,       // no block is mapped
};

// How long a slave that takes its lock waits out a master's brief look at it.
constexpr std::uint32_t kSlaveLockPatienceMs = 200;

// Besides the block and its events, CSlaveShMem uses the two lock objects of its slave number
// (link/platform.h) to tell a peer that died from one that still holds its attach byte:
// - the master role is taken with the master lock held first; a byte that is set beside a lock
//   object left free by a master that died is taken over; a living master's lock refuses the
//   role, and so does a set byte beside no lock object (a master that keeps no lock);
// - attachSlaveWithLock takes the slave role with the slave lock held, and isSlaveAlive tells a
//   master that a slave which did so has died with its byte set. A slave attached with the
//   plain attachSlave keeps no lock, and its byte counts as before.
// Bytes are set after their lock is taken and cleared before it is given up, so a living
// peer's byte is never seen beside its free lock.
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

    // Takes the master lock, then the byte: refused while a living master holds the lock; a
    // byte set beside a lock object that its dead master left free is taken over, one set
    // beside no lock object is refused. Giving the role up clears the byte, then releases the
    // lock. When no lock object can be made the byte alone decides: only a free byte is taken.
    // [main or dispatch thread; the audio thread only in a connect attempt: a few system calls]
    bool attachMaster(bool on) override;
    // The plain slave role, without a lock (as slaves written by others hold it); giving the
    // role up also releases a lock taken by attachSlaveWithLock. [main thread]
    bool attachSlave(bool on) override;

    // Takes the slave role together with the slave lock, held until the role is given up, so
    // that masters can tell when this process dies with slaveAttached set. A byte left set by a
    // slave that died holding the lock is taken over; `force` takes over any set byte except
    // one whose slave still holds the lock. Waits up to kSlaveLockPatienceMs for a master's
    // look at the lock to end. On Windows, give the role up on the thread that took it.
    // [main thread]
    SlaveAttach attachSlaveWithLock(bool force);

    // True while slaveAttached is set and nothing says its slave is gone; false when the byte
    // is clear, or when the slave's lock object exists and nobody holds it (the slave died
    // without clearing its byte). A slave that keeps no lock counts as alive while its byte is
    // set. [dispatch thread; the audio thread only on its slow path, after a timed-out wait or
    // in a connect attempt: a few system calls, no allocation]
    bool isSlaveAlive();

    PlatformMapping* mapping;
    PlatformEvent* masterEventHandle;
    PlatformEvent* slaveEventHandle;
    // The lock objects of the open slave number.
    char masterLockName[kObjectNameSize];
    char slaveLockName[kObjectNameSize];
    PlatformLock* masterLock;           // held with the master role (null when none could be made)
    PlatformLock* slaveLock;            // held with a slave role taken by attachSlaveWithLock
    PlatformLockWatch* slaveLockWatch;  // what looks at the slave's lock keep between looks
    bool slaveRoleLocked;               // the slave role goes with the lock (openChannel keeps it so)

private:
    bool claimMasterByte();
    SlaveAttach claimSlaveByte(bool force);
    bool mappingRemoved;  // the last closeMapping removed the block's name (POSIX: its last user)
};
