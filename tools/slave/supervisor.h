// --supervise: the slave that hosts a plug-in runs as a child process of a supervisor, which
// starts it again when it dies, so that a crashing plug-in costs the host a gap in the audio
// and not its slave.
//
// The child is tolvane-slave itself (same slave number, processor and parameters, plus
// --supervised): it serves the link on its own, exactly as an unsupervised slave does. The
// supervisor keeps the link's objects open without a role, so that they outlive the child, and
// watches the child. When the child dies without releasing the link (a crash holds
// slaveAttached), the supervisor silences the block's output area and then clears
// slaveAttached: a master waiting for that block's answer stops waiting and copies silence, and
// later blocks find no slave until the new child attaches and the master connects again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/slave_block.h"
#include "tools/slave/child_process.h"

// Exit codes of tolvane-slave that the supervisor tells apart.
constexpr int kExitStopped = 0;        // a requested stop
constexpr int kExitLinkUnavailable = 1;  // the objects cannot be opened or another slave holds the block
constexpr int kExitBadArguments = 2;
constexpr int kExitPluginFailed = 3;  // the plug-in library cannot be loaded or opened
constexpr int kExitLinkHeld = 4;      // a supervised child could not take the slave role

// How soon a child that died is started again: the delay doubles with every death that follows
// a short run, up to a ceiling, and starts over after a run long enough to count as healthy.
struct RestartBackoff {
    std::chrono::milliseconds first{250};
    std::chrono::milliseconds ceiling{8000};
    std::chrono::milliseconds healthyRun{30000};
};

class CRestartPolicy {
public:
    explicit CRestartPolicy(RestartBackoff backoff = {}) : backoff(backoff) {}
    // The delay before the next start, after a child that ran for `ran` died.
    std::chrono::milliseconds afterDeath(std::chrono::milliseconds ran);
    int deathsInARow() const { return inARow; }

private:
    RestartBackoff backoff;
    int inARow = 0;
};

// What the supervisor does after a child ended.
enum class ChildOutcome { Stopped, BadArguments, PluginFailed, LinkHeld, Died };
ChildOutcome classifyChildExit(const ChildExit& exit);
const char* toString(ChildOutcome outcome);

// [main thread] After the child died holding the block: silences the output area, then clears
// slaveAttached, in that order (a master waiting for its answer copies the outputs as soon as
// it sees the slave gone).
void releaseAfterDeath(SlaveBlock& block);

class CSupervisor {
public:
    // `childArgs` is the child's whole command line, program first.
    CSupervisor(std::int32_t slaveNumber, std::vector<std::string> childArgs, RestartBackoff backoff = {});

    // [main thread] Runs children until `stop` is set or a child ends in a way that another
    // start would not change (stopped, bad arguments, a plug-in that does not load, the block
    // held by another slave). Returns the program's exit code. A slaveAttached already set
    // before the first start is cleared when its slave died holding the slave lock, or with
    // `takeOver` whatever left it (but never while a living slave holds the lock).
    int run(const std::atomic<bool>& stop, bool takeOver);

    int restarts() const { return restartCount; }

    // [main thread] Before run(): a child whose serving thread stands still for longer than
    // `limit` (hung in the plug-in, or stopped) is killed and restarted like one that died; the
    // child is given a watch page with --watch (hang_watch.h). 0 (the default) watches nothing.
    void watchForHangs(std::chrono::milliseconds limit) { hangLimit = limit; }
    // [main thread] Before run(): whenever `request` is found set (SIGUSR1, "e" and Enter in the
    // supervisor's terminal), it is cleared and the child is asked to open its editor again
    // (--editor), with a line "e" on its standard input.
    void forwardEditorRequests(std::atomic<bool>& request) { editorRequest = &request; }

private:
    std::int32_t number;
    std::vector<std::string> args;
    CRestartPolicy policy;
    int restartCount = 0;
    std::chrono::milliseconds hangLimit{0};
    std::atomic<bool>* editorRequest = nullptr;
};

// The longest wait for a child to stop after its input was closed, before it is killed.
constexpr std::uint32_t kChildStopGraceMs = 3000;
// Starts in a row that the system refuses before the supervisor gives up.
constexpr int kMaxFailedStarts = 5;
// How often the supervisor looks at the child and at the stop flag.
constexpr std::uint32_t kSuperviseStepMs = 20;
