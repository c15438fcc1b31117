#include "tools/slave/supervisor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include "link/slave_shmem.h"
#include "tools/slave/hang_watch.h"
#include "tools/slave/slave_server.h"

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds CRestartPolicy::afterDeath(std::chrono::milliseconds ran) {
    inARow = ran >= backoff.healthyRun ? 1 : inARow + 1;
    auto delay = backoff.first;
    for (int i = 1; i < inARow && delay < backoff.ceiling; ++i) delay *= 2;
    return std::min(delay, backoff.ceiling);
}

ChildOutcome classifyChildExit(const ChildExit& exit) {
    if (exit.signalled) return ChildOutcome::Died;
    switch (exit.code) {
    case kExitStopped: return ChildOutcome::Stopped;
    case kExitBadArguments: return ChildOutcome::BadArguments;
    case kExitPluginFailed: return ChildOutcome::PluginFailed;
    case kExitLinkHeld: return ChildOutcome::LinkHeld;
    default: return ChildOutcome::Died;  // a crash, an abort, a sanitizer's report
    }
}

const char* toString(ChildOutcome outcome) {
    switch (outcome) {
    case ChildOutcome::Stopped: return "stopped";
    case ChildOutcome::BadArguments: return "bad arguments";
    case ChildOutcome::PluginFailed: return "plug-in failed to load";
    case ChildOutcome::LinkHeld: return "block held by another slave";
    case ChildOutcome::Died: return "died";
    }
    return "unknown";
}

void releaseAfterDeath(SlaveBlock& block) {
    std::memset(block.outputs, 0, sizeof block.outputs);
    // The stores above must be visible before the master can see the slave gone.
    std::atomic_thread_fence(std::memory_order_release);
    releaseAttachByte(block.slaveAttached);
}

CSupervisor::CSupervisor(std::int32_t slaveNumber, std::vector<std::string> childArgs, RestartBackoff backoff)
    : number(slaveNumber), args(std::move(childArgs)), policy(backoff) {}

namespace {

void say(const char* format, auto... values) {
    std::printf(format, values...);
    std::fflush(stdout);
}

}  // namespace

int CSupervisor::run(const std::atomic<bool>& stop, bool takeOver) {
    const std::string names = slaveObjectNames(number);
    // Held without a role for as long as the supervisor runs: the objects outlive each child,
    // and the supervisor can release a dead child's mark.
    if (const std::string refusal = foreignObjectMessage(number); !refusal.empty()) {
        std::fprintf(stderr, "tolvane-slave: %s\n", refusal.c_str());
        return kExitLinkUnavailable;
    }
    auto opened = std::make_unique<CSlaveShMem>(number);
    if (opened->block == nullptr || opened->masterEventHandle == nullptr || opened->slaveEventHandle == nullptr) {
        opened.reset();
        std::fprintf(stderr, "tolvane-slave: %s\n", linkOpenFailureMessage(number).c_str());
        return kExitLinkUnavailable;
    }
    CSlaveShMem& channel = *opened;
    SlaveBlock& block = *channel.block;
    if (attachByteSet(block.slaveAttached)) {
        // As a slave would: a mark whose slave died holding its lock is taken over at once.
        if (!takeOver && channel.isSlaveAlive()) {
            std::fprintf(stderr,
                         "tolvane-slave: another slave already holds %s (if none is running, one that vanished left "
                         "slaveAttached set: use --takeover)\n",
                         names.c_str());
            return kExitLinkUnavailable;
        }
        releaseAttachByte(block.slaveAttached);
        say("tolvane-slave: took slave %d over from a slave that vanished without releasing it\n",
            static_cast<int>(number));
    }
    say("tolvane-slave: supervising slave %d (%s): the processor runs in a child process that is started again "
        "when it dies; Ctrl-C stops\n",
        static_cast<int>(number), names.c_str());

    CWatchPage watchPage;
    if (hangLimit.count() > 0) {
        std::string error;
        if (!watchPage.create(error)) {
            std::fprintf(stderr, "tolvane-slave: %s\n", error.c_str());
            return kExitLinkUnavailable;
        }
    }
    std::vector<std::string> childArgs = args;
    if (watchPage.page() != nullptr) {
        childArgs.push_back("--watch");
        childArgs.push_back(watchPage.childHandle());
    }

    int failedStarts = 0;
    auto pause = [&stop](std::chrono::milliseconds delay) {
        const auto until = Clock::now() + delay;
        while (Clock::now() < until && !stop.load(std::memory_order_acquire)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kSuperviseStepMs));
        }
    };
    while (!stop.load(std::memory_order_acquire)) {
        CChildProcess child;
        std::string error;
        watchIdle(watchPage.page());  // not watched until the new child serves
        if (!child.start(childArgs, error)) {
            // The system may refuse a start for a moment (Wine while its prefix is being set up
            // does); a program that cannot be started at all ends the supervisor.
            std::fprintf(stderr, "tolvane-slave: %s\n", error.c_str());
            if (++failedStarts >= kMaxFailedStarts) return kExitLinkUnavailable;
            pause(policy.afterDeath(std::chrono::milliseconds(0)));
            continue;
        }
        failedStarts = 0;
        const long id = child.processId();
        say("tolvane-slave: child process %ld started\n", id);
        const auto started = Clock::now();
        ChildExit exit;
        bool ended = false;
        std::string hang;
        CHangWatch watch(hangLimit);
        while (!(ended = child.wait(kSuperviseStepMs, exit)) && !stop.load(std::memory_order_acquire)) {
            if (editorRequest != nullptr && editorRequest->exchange(false, std::memory_order_acq_rel)) {
                child.writeInput("e\n");
            }
            if (watchPage.page() == nullptr || !watch.hung(*watchPage.page(), Clock::now())) continue;
            char what[96];
            std::snprintf(what, sizeof what, "hung %s for %.2f s, killed", watch.wasBusy() ? "in a command" : "between commands",
                          static_cast<double>(watch.stillFor().count()) / 1000.0);
            hang = what;
            child.kill();  // also reaps it
            exit = ChildExit{true, 9};
            ended = true;
            break;
        }
        if (!ended) {
            // Asked to stop: the child stops when its input closes and releases the link itself.
            child.closeInput();
            if (!child.wait(kChildStopGraceMs, exit)) child.kill();
            if (attachByteSet(block.slaveAttached)) releaseAfterDeath(block);
            break;
        }

        const ChildOutcome outcome = hang.empty() ? classifyChildExit(exit) : ChildOutcome::Died;
        switch (outcome) {
        case ChildOutcome::Stopped:
            break;  // stopped on a request of its own (a Ctrl-C reaches both processes)
        case ChildOutcome::BadArguments: return kExitBadArguments;  // the child said why
        case ChildOutcome::PluginFailed: return kExitPluginFailed;
        case ChildOutcome::LinkHeld: return kExitLinkUnavailable;
        case ChildOutcome::Died: break;
        }
        if (outcome == ChildOutcome::Stopped) break;

        // Only a child holds the mark now: the supervisor started with it clear, and a child
        // that found it taken would have ended with kExitLinkHeld.
        const bool held = attachByteSet(block.slaveAttached);
        if (held) releaseAfterDeath(block);
        const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
        const auto delay = policy.afterDeath(ran);
        ++restartCount;
        say("tolvane-slave: child process %ld died (%s) after %.2f s%s; restart %d in %.2f s\n", id,
            hang.empty() ? exit.describe().c_str() : hang.c_str(), static_cast<double>(ran.count()) / 1000.0,
            held ? ", slave released" : "", restartCount, static_cast<double>(delay.count()) / 1000.0);
        pause(delay);
    }
    say("tolvane-slave: supervisor stopped after %d restarts; slave %d released\n", restartCount,
        static_cast<int>(number));
    return kExitStopped;
}
