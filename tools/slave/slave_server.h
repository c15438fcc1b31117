// The slave side of the link for one slave number: opens the channel in the slave role, writes
// the slave version, serves commands until told to stop, and on the way out clears
// slaveAttached and releases the objects. Usable from a thread (tests) or a program.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/slave_shmem.h"
#include "tools/slave/hang_watch.h"
#include "tools/slave/processor.h"
#include "tools/slave/slave_core.h"

// How long one wait on the slave event lasts before the stop flag is looked at again.
constexpr std::uint32_t kServeWaitMs = 100;

class CSlaveServer {
public:
    // [dispatch thread: on the serving thread, between blocks; may print] Called after a command
    // other than Process has been answered (the master is already woken, so the observer's time
    // does not count against the master's 100 ms).
    using Observer = std::function<void(std::int32_t command, const SlaveSettings& settings)>;

    // The processor must outlive the server.
    CSlaveServer(std::int32_t slaveNumber, CProcessor& processor);
    ~CSlaveServer();  // close()
    CSlaveServer(const CSlaveServer&) = delete;
    CSlaveServer& operator=(const CSlaveServer&) = delete;

    // [main thread] Opens the block and both events for the slave number and takes the slave
    // role together with the slave lock ("PalisorLock_Slave%d"), held until close(). False,
    // with a message in error(), when an object cannot be opened or another slave holds the
    // block. A slaveAttached byte left set by a slave that died holding the lock is taken over
    // without asking; `takeOver` also takes a byte set by a slave that keeps no lock (the byte
    // alone cannot tell such a slave alive from dead), but never one whose slave still holds
    // the lock. Call close() on the thread that called open() (the Windows lock is a mutex that
    // its thread owns).
    bool open(bool takeOver = false);
    // Whether the last successful open() took over a byte left set by another slave.
    bool tookOverStaleSlave() const { return tookOver; }
    // [audio thread: the slave's serving thread; waits in 100 ms steps] Serves commands until
    // `stop` becomes true; it is looked at after every
    // wait, so a stop takes effect within about kServeWaitMs. Returns at once when not open.
    void serve(const std::atomic<bool>& stop);
    // [main thread] Clears slaveAttached (when held) and releases the block and the events.
    // Idempotent; not while serve() runs.
    void close();

    void setObserver(Observer observer) { this->observer = std::move(observer); }
    // [main thread] Before serve(): the supervisor's watch page, beaten at every wait step and
    // around every command (see hang_watch.h); null for none.
    void setWatchPage(WatchPage* page) { watch = page; }
    const std::string& error() const { return lastError; }
    const SlaveSettings& settings() const { return core.settings(); }
    std::int32_t slaveNumber() const { return number; }
    // Commands answered since open().
    std::uint64_t commandsServed() const { return served.load(std::memory_order_relaxed); }

private:
    std::int32_t number;
    CSlaveCore core;
    std::unique_ptr<CSlaveShMem> channel;
    Observer observer;
    WatchPage* watch = nullptr;
    std::string lastError;
    std::atomic<std::uint64_t> served{0};
    bool tookOver = false;
};

// The three kernel object names of a slave number, as the link forms them, e.g.
// "PalisorSlave_ShMem3, PalisorEv_Master3, PalisorEv_Slave3".
std::string slaveObjectNames(std::int32_t slaveNumber);

// [main thread] Looks at the block, both events and the slave lock of the slave number before
// they are opened: the message naming the first that belongs to another user or that others
// may open, and its owner ("refusing /dev/shm/PalisorEv_Slave3: it belongs to nobody (uid
// 65534), not to you (uid 1000)..."); empty when every object that exists is ours alone.
std::string foreignObjectMessage(std::int32_t slaveNumber);
// [main thread] After the channel could not be opened: opens its objects once more, one by one
// and in the channel's order, and says why the first one is refused ("cannot reserve 5776176
// bytes for /dev/shm/PalisorSlave_ShMem3: /dev/shm is full (4194304 bytes free)"). Each object
// opened here is closed again at once.
std::string linkOpenFailureMessage(std::int32_t slaveNumber);
