#include "tools/slave/slave_server.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

// The POSIX link's refusals are described on Linux and in the Wine-library slave, which wineg++
// builds with _WIN32 defined.
#if !defined(_WIN32) || defined(__WINE__)
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "link/object_names.h"
#include "link/platform.h"

CSlaveServer::CSlaveServer(std::int32_t slaveNumber, CProcessor& processor)
    : number(slaveNumber), core(processor, slaveNumber) {}

CSlaveServer::~CSlaveServer() { close(); }

bool CSlaveServer::open(bool takeOver) {
    close();
    lastError = foreignObjectMessage(number);
    if (!lastError.empty()) return false;
    channel = std::make_unique<CSlaveShMem>(number);
    if (channel->block == nullptr || channel->masterEventHandle == nullptr || channel->slaveEventHandle == nullptr) {
        channel.reset();  // what is found next is the objects as others leave them
        lastError = linkOpenFailureMessage(number);
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
            watchBeat(watch, false);
            // A failed wait returns at once; pause so that a broken event does not spin.
            if (timeouts == 0) std::this_thread::sleep_for(std::chrono::milliseconds(kServeWaitMs));
            continue;
        }
        watchBeat(watch, true);
        const std::int32_t code = core.handleCommand(*channel->block);
        watchBeat(watch, false);
        channel->signalEvent(true);  // after every write into the block
        served.fetch_add(1, std::memory_order_relaxed);
        if (code != kCmdProcess && observer) observer(code, core.settings());
    }
    watchIdle(watch);  // stopping (saving, closing the plug-in) is no hang
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

namespace {

#if !defined(_WIN32) || defined(__WINE__)
// "nobody (uid 65534)", or "uid 65534" for a user the system does not name.
std::string describeUser(std::uint32_t id) {
    std::string text = "uid " + std::to_string(id);
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (getpwuid_r(static_cast<uid_t>(id), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_name != nullptr) {
        text = std::string(found->pw_name) + " (" + text + ")";
    }
    return text;
}

std::string errorText(int error) { return std::strerror(error); }
#else
std::string errorText(int error) { return "system error " + std::to_string(error); }
#endif

// The directory the object lives in ("/dev/shm"), from its path.
std::string directoryOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr && slash != path ? std::string(path, slash) : std::string(path);
}

std::string describeRefusal(const PlatformRefusal& why) {
    const std::string path = why.path;
    switch (why.reason) {
    case OpenRefusal::Foreign: {
        std::string text = "refusing " + path + ": ";
#if !defined(_WIN32) || defined(__WINE__)
        const bool owned = why.ownerId == static_cast<std::uint32_t>(geteuid());
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(why.mode & 07777));
        if (!owned) {
            text += "it belongs to " + describeUser(why.ownerId) + ", not to you, " +
                    describeUser(static_cast<std::uint32_t>(geteuid()));
        } else if (!S_ISREG(static_cast<mode_t>(why.mode))) {
            text += "it is not a shared-memory object (a link or another kind of file)";
        } else {
            text += std::string("other users may open it (mode ") + mode + ")";
        }
        return text + "; whoever can open it could read the audio or break the link. Remove it (as its owner or "
                      "root) or use another slave number";
#else
        return text + "it belongs to another user";
#endif
    }
    case OpenRefusal::NoSpace:
        return "cannot reserve " + std::to_string(why.needed) + " bytes for " + path + ": " + directoryOf(why.path) +
               " is full (" + std::to_string(why.available) + " bytes free)";
    case OpenRefusal::Failed:
        return "cannot open " + path + ": " + errorText(why.error);
    case OpenRefusal::None:
        break;
    }
    return "cannot open " + path;
}

std::string nameOf(LinkObject object, std::int32_t slaveNumber) {
    char name[kObjectNameSize];
    formatObjectName(name, object, slaveNumber);
    return name;
}

}  // namespace

std::string foreignObjectMessage(std::int32_t slaveNumber) {
    for (LinkObject object : {LinkObject::Mapping, LinkObject::MasterEvent, LinkObject::SlaveEvent, LinkObject::SlaveLock}) {
        PlatformRefusal why;
        if (!platformObjectIsOurs(nameOf(object, slaveNumber).c_str(), &why)) return describeRefusal(why);
    }
    return {};
}

std::string linkOpenFailureMessage(std::int32_t slaveNumber) {
    PlatformRefusal why;
    for (LinkObject object : {LinkObject::MasterEvent, LinkObject::SlaveEvent}) {
        PlatformEvent* event = platformOpenOrCreateEventExplained(nameOf(object, slaveNumber).c_str(), &why);
        if (event == nullptr) return describeRefusal(why);
        platformCloseEvent(event);
    }
    void* view = nullptr;
    PlatformMapping* mapping =
        platformOpenMappingExplained(nameOf(LinkObject::Mapping, slaveNumber).c_str(), kSlaveBlockSize, &view, &why);
    const bool opened = mapping != nullptr && view != nullptr;
    platformCloseMapping(mapping, view);
    if (!opened) return describeRefusal(why);
    return "cannot open or map the objects of " + slaveObjectNames(slaveNumber);
}
