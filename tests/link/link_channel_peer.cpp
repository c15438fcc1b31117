// The other process of the two-process link tests: runs the steps given on its command line
// against one channel and exits with 0 when every step went as expected, or with 10 + the
// index of the first step that did not (and a line on stderr saying why).
//
// Steps (fields separated by ':'):
//   open:N              open the channel for slave number N
//   master, slave       take the role; refused-master, refused-slave: the take must be refused
//   slave-lock:R        take the slave role with the slave lock; R is how it must end:
//                       attached, tookover, live or unknown; slave-lock-force:R with force
//   version:A:B         write this role's version bytes
//   peer-version:A:B    the other role's version bytes must read A, B
//   signal              signal the other side's event
//   wait:MS             a wait on the own event must be signalled within MS
//   timeout:MS          a wait of MS must time out and be counted
//   poll-empty          polling the own event must find nothing
//   renumber:N          open the channel again under N
//   echo:K              K times: wait for a wake-up, add 1 to the int32 at args+0, answer
//   serve:K             K waits of up to 10 s: answer each wake-up, printing the command code
//   sleep:MS            sleep
//   die                 end at once without closing anything, as a crashed process does
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "link/slave_shmem.h"

namespace {

constexpr std::uint32_t kEchoWaitMs = 10000;

std::vector<std::string> splitFields(const std::string& step) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t colon = step.find(':', start);
        fields.push_back(step.substr(start, colon - start));
        if (colon == std::string::npos) {
            return fields;
        }
        start = colon + 1;
    }
}

long field(const std::vector<std::string>& fields, std::size_t index) {
    return index < fields.size() ? std::strtol(fields[index].c_str(), nullptr, 10) : 0;
}

bool runStep(std::unique_ptr<CSlaveShMem>& channel, const std::vector<std::string>& fields, std::string& why) {
    const std::string& name = fields[0];
    if (name == "open") {
        channel = std::make_unique<CSlaveShMem>(static_cast<std::int32_t>(field(fields, 1)));
        why = "no block mapped";
        return channel->block != nullptr;
    }
    if (name == "die") {
        std::_Exit(0);
    }
    if (name == "sleep") {
        std::this_thread::sleep_for(std::chrono::milliseconds(field(fields, 1)));
        return true;
    }
    if (!channel) {
        why = "no channel open";
        return false;
    }
    CSlaveShMem& c = *channel;
    const auto a = static_cast<std::uint8_t>(field(fields, 1));
    const auto b = static_cast<std::uint8_t>(field(fields, 2));
    if (name == "master" || name == "slave") {
        why = "attach refused";
        return name == "master" ? c.attachMaster(true) : c.attachSlave(true);
    }
    if (name == "slave-lock" || name == "slave-lock-force") {
        static const char* const kResults[] = {"attached", "tookover", "live", "unknown", "noblock"};
        const SlaveAttach result = c.attachSlaveWithLock(name == "slave-lock-force");
        const std::string got = kResults[static_cast<int>(result)];
        why = "ended " + got;
        return fields.size() > 1 && got == fields[1];
    }
    if (name == "refused-master" || name == "refused-slave") {
        why = "attach not refused";
        return !(name == "refused-master" ? c.attachMaster(true) : c.attachSlave(true));
    }
    if (name == "version") {
        why = "version not written";
        return c.masterRole ? c.writeMasterVersion(a, b) : c.writeSlaveVersion(a, b);
    }
    if (name == "peer-version") {
        std::uint8_t first = 0;
        std::uint8_t second = 0;
        if (c.masterRole) {
            c.readSlaveVersion(first, second);
        } else {
            c.readMasterVersion(first, second);
        }
        why = "read " + std::to_string(first) + "." + std::to_string(second);
        return first == a && second == b;
    }
    if (name == "signal") {
        why = "signal failed";
        return c.signalEvent(true);
    }
    if (name == "wait") {
        why = "not woken";
        return c.waitEvent(static_cast<std::uint32_t>(field(fields, 1)), nullptr);
    }
    if (name == "timeout") {
        std::int32_t timeouts = 0;
        const bool woken = c.waitEvent(static_cast<std::uint32_t>(field(fields, 1)), &timeouts);
        why = woken ? "woken" : "timeout not counted";
        return !woken && timeouts == 1;
    }
    if (name == "poll-empty") {
        why = "signal found";
        return !c.pollEvent(false);
    }
    if (name == "renumber") {
        c.openChannel(static_cast<std::int32_t>(field(fields, 1)));
        why = "no block mapped";
        return c.block != nullptr;
    }
    if (name == "serve") {
        // Answers every command for N rounds, printing each command code on its own line.
        for (long round = 0; round < field(fields, 1); ++round) {
            if (!c.waitEvent(kEchoWaitMs, nullptr)) continue;
            std::printf("%d\n", static_cast<int>(c.block->command));
            std::fflush(stdout);
            c.signalEvent(true);
        }
        return true;
    }
    if (name == "echo") {
        for (long round = 0; round < field(fields, 1); ++round) {
            if (!c.waitEvent(kEchoWaitMs, nullptr)) {
                why = "echo round " + std::to_string(round) + " not woken";
                return false;
            }
            std::int32_t value;
            std::memcpy(&value, c.block->args, sizeof value);
            ++value;
            std::memcpy(c.block->args, &value, sizeof value);
            if (!c.signalEvent(true)) {
                why = "echo answer failed";
                return false;
            }
        }
        return true;
    }
    why = "unknown step";
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::unique_ptr<CSlaveShMem> channel;
    for (int index = 1; index < argc; ++index) {
        std::string why;
        if (!runStep(channel, splitFields(argv[index]), why)) {
            std::fprintf(stderr, "peer: step %d '%s': %s\n", index, argv[index], why.c_str());
            return 10 + index;
        }
    }
    return 0;
}
