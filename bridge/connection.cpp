// The control side of the link: the connect sequence, the commands, the host's state changes,
// the stop on close and the move to another slave number.
//
// Nothing here loops or retries by itself: the link advances each time the host calls in (a
// processing call, an idle call, the dialog's timer, a parameter change). A thread that may wait
// waits up to 100 ms for each answer; the audio thread sends a command and looks for its answer
// on its later calls, against the same 100 ms deadline taken from the clock.
#include <cstring>

#include "bridge/tolvane.h"

namespace {

// The whole milliseconds from now to `deadline`, rounded up so that a wait reaches it; 0 once
// it has passed.
std::uint32_t millisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    return static_cast<std::uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

}  // namespace

bool LinkTurn::take(std::chrono::milliseconds patience, bool announce) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    if (announce) wanted.fetch_add(1, std::memory_order_acq_rel);
    bool taken = false;
    while (!(taken = !busy.exchange(true, std::memory_order_acquire))) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (announce) wanted.fetch_sub(1, std::memory_order_acq_rel);
    return taken;
}

void AudioThreads::note() noexcept {
    const std::uint64_t self = platformCurrentThreadId();
    for (const auto& id : ids) {
        if (id.load(std::memory_order_relaxed) == self) return;
    }
    ids[next.fetch_add(1, std::memory_order_relaxed) % kSlots].store(self, std::memory_order_relaxed);
}

bool AudioThreads::current() const noexcept {
    const std::uint64_t self = platformCurrentThreadId();
    for (const auto& id : ids) {
        if (id.load(std::memory_order_relaxed) == self) return true;
    }
    return false;
}

// ---- One exchange ----

CTolvane::CommandResult CTolvane::issueCommand(SlaveCommand command, const void* arguments,
                                                std::size_t argumentBytes) {
    // A pending slave signal means the slave has not taken the previous command; the poll takes
    // that signal away and this command is refused as well. A slave whose lock shows that it
    // died with its byte set is sent nothing: its answer could only be waited for in vain.
    lastCommand = CommandResult::Refused;
    awaitedCommand = kCmdNone;
    // Refused means nothing written: an instance that does not hold the master role would write
    // into the block another instance streams through.
    if (!channel.masterRole || !channel.isSlaveAlive() || channel.pollEvent(true)) return CommandResult::Refused;
    SlaveBlock* block = channel.block;
    if (argumentBytes > sizeof(block->args)) argumentBytes = sizeof(block->args);
    if (argumentBytes > 0) std::memcpy(block->args, arguments, argumentBytes);
    block->command = command;
    // An answer left from an earlier exchange would be taken for this command's: away with it.
    // The start's answer is picked up on its own, so a start clears nothing.
    if (command != kCmdStart) channel.waitEvent(0, nullptr);
    if (!channel.signalEvent(true)) return CommandResult::Refused;
    if (command == kCmdStart) return lastCommand = CommandResult::Answered;  // not waited for
    awaitedCommand = command;
    answerDeadline = Clock::now() + std::chrono::milliseconds(kAnswerWaitMs);
    return lastCommand = CommandResult::Pending;
}

CTolvane::CommandResult CTolvane::awaitAnswer(std::uint32_t milliseconds) {
    if (awaitedCommand == kCmdNone) return lastCommand;
    const std::uint32_t left = millisecondsUntil(answerDeadline);
    if (channel.waitEvent(milliseconds < left ? milliseconds : left, nullptr)) {
        awaitedCommand = kCmdNone;
        return lastCommand = CommandResult::Answered;
    }
    if (Clock::now() < answerDeadline) return CommandResult::Pending;
    // A late answer stays signalled; the next exchange takes it away before it signals.
    awaitedCommand = kCmdNone;
    return lastCommand = CommandResult::Late;
}

CTolvane::CommandResult CTolvane::sendCommand(SlaveCommand command, const void* arguments,
                                               std::size_t argumentBytes) {
    settleLink();
    // A block the slave may still be working on: its command word is not ours to overwrite.
    if (blockOutstanding) return lastCommand = CommandResult::Refused;
    CommandResult result = issueCommand(command, arguments, argumentBytes);
    while (result == CommandResult::Pending) result = awaitAnswer(kAnswerWaitMs);
    return result;
}

void CTolvane::settleLink() {
    // A sequence an audio thread started is finished here, its answers waited for, so that the
    // slave sees the whole sequence before anything else.
    if (sequenceStep != SequenceStep::None) {
        ConnectResult result = stepConnect(kAnswerWaitMs);
        while (result == ConnectResult::UnderWay) result = stepConnect(kAnswerWaitMs);
    }
    while (awaitAnswer(kAnswerWaitMs) == CommandResult::Pending) {
    }
    if (blockOutstanding && channel.waitEvent(kAnswerWaitMs, nullptr)) blockOutstanding = false;
    // While a start answer is awaited, a signal on the master's event is that answer: it is
    // picked up first (and the host's on/off state sent after it), so that the next command's
    // wait sees only its own answer.
    if (startPending && !connected) pickUpStartAnswer(kAnswerWaitMs, false);
}

// ---- The senders (threads that may wait, the turn held) ----

bool CTolvane::sendSetSampleRate(float rate) {
    return sendCommand(kCmdSetSampleRate, &rate, sizeof(rate)) == CommandResult::Answered;
}

bool CTolvane::sendSetBlockSize(VstInt32 frames) {
    return sendCommand(kCmdSetBlockSize, &frames, sizeof(frames)) == CommandResult::Answered;
}

bool CTolvane::sendStart() {
    if (issueCommand(kCmdStart, nullptr, 0) != CommandResult::Answered) return false;
    startPending = true;
    startSentAt = Clock::now();
    return true;
}

bool CTolvane::sendStop() { return sendCommand(kCmdStop, nullptr, 0) == CommandResult::Answered; }

bool CTolvane::sendSuspendState(bool suspend) {
    if (!connected) {
        suspendStateSent = false;
        return false;
    }
    CommandResult result = sendCommand(suspend ? kCmdSuspend : kCmdResume, nullptr, 0);
    // Signalled counts as sent, even when the answer is late.
    suspendStateSent = result != CommandResult::Refused;
    return result == CommandResult::Answered;
}

// ---- The connect sequence: SetIo, SetSampleRate, SetBlockSize, GetInfo, then Start ----

bool CTolvane::issueSequenceStep(SequenceStep step) {
    CommandResult result = CommandResult::Refused;
    switch (step) {
    case SequenceStep::SetIo: {
        const VstInt32 words[4] = {io.numInputs, io.numOutputs, 1, 1};
        result = issueCommand(kCmdSetIo, words, sizeof(words));
        break;
    }
    case SequenceStep::SetSampleRate: {
        const float rate = getSampleRate();
        result = issueCommand(kCmdSetSampleRate, &rate, sizeof(rate));
        break;
    }
    case SequenceStep::SetBlockSize: {
        const VstInt32 frames = getBlockSize();
        result = issueCommand(kCmdSetBlockSize, &frames, sizeof(frames));
        break;
    }
    case SequenceStep::GetInfo: result = issueCommand(kCmdGetInfo, nullptr, 0); break;
    case SequenceStep::None: break;
    }
    sequenceStep = result == CommandResult::Pending ? step : SequenceStep::None;
    return sequenceStep != SequenceStep::None;
}

CTolvane::ConnectResult CTolvane::beginConnect() {
    sequenceStep = SequenceStep::None;
    if (!channel.masterRole && !channel.attachMaster(true)) return ConnectResult::NotAttachable;
    channel.writeMasterVersion(kMasterVersionMajor, kMasterVersionMinor);
    if (!channel.isSlaveAttached()) return ConnectResult::NoSlave;
    // A slave that died holding its byte (its lock is free) costs no answer wait at all.
    if (!channel.isSlaveAlive()) return ConnectResult::SlaveGone;
    // A new sequence supersedes a start still outstanding from an earlier one.
    startPending = false;
    // It also begins a new session with this slave: events still in the block from before it
    // are not this session's. They were packed while no slave took them, or by an earlier
    // session on this block (this plug-in before it moved to another slave number and back, or
    // a master that went away). Left there, the slave would hand them back seconds late, ahead
    // of everything new, and they would fill the area that new events need.
    if (channel.block) storeEventCount(channel.block->masterEventBytes, 0);
    // Take away an answer left from an earlier exchange, so that each answer looked for below
    // is the one to its own command.
    channel.waitEvent(0, nullptr);
    return issueSequenceStep(SequenceStep::SetIo) ? ConnectResult::UnderWay : ConnectResult::Refused;
}

CTolvane::ConnectResult CTolvane::stepConnect(std::uint32_t milliseconds) {
    if (sequenceStep == SequenceStep::None) return ConnectResult::Refused;
    const CommandResult answer = awaitAnswer(milliseconds);
    if (answer == CommandResult::Pending) return ConnectResult::UnderWay;
    const SequenceStep step = sequenceStep;
    sequenceStep = SequenceStep::None;
    if (answer != CommandResult::Answered) return ConnectResult::LateAnswer;
    switch (step) {
    case SequenceStep::SetIo:
        return issueSequenceStep(SequenceStep::SetSampleRate) ? ConnectResult::UnderWay : ConnectResult::Refused;
    case SequenceStep::SetSampleRate:
        return issueSequenceStep(SequenceStep::SetBlockSize) ? ConnectResult::UnderWay : ConnectResult::Refused;
    case SequenceStep::SetBlockSize:
        return issueSequenceStep(SequenceStep::GetInfo) ? ConnectResult::UnderWay : ConnectResult::Refused;
    case SequenceStep::GetInfo: {
        SlaveBlock* block = channel.block;
        if (block && block->command == kCmdGetInfo) {
            std::memcpy(slaveInfo, block->args, sizeof(slaveInfo));
            std::memcpy(&slaveInfoWord, block->args + 8, sizeof(slaveInfoWord));
        }
        return sendStart() ? ConnectResult::Started : ConnectResult::Refused;
    }
    case SequenceStep::None: break;
    }
    return ConnectResult::Refused;
}

CTolvane::ConnectResult CTolvane::tryConnect() {
    ConnectResult result = beginConnect();
    // Each answer is waited for up to 100 ms.
    while (result == ConnectResult::UnderWay) result = stepConnect(kAnswerWaitMs);
    return result;
}

bool CTolvane::connectSlave() {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    if (!linkTurn.take(kTurnPatience)) return false;
    TurnHeld held(linkTurn);
    settleLink();
    if (connected || !reopenMissingBlock()) return false;
    return tryConnect() == ConnectResult::Started;
}

bool CTolvane::reopenMissingBlock() {
    // A block that could not be had (no room in the shared-memory file system, objects that are
    // not ours) is tried again by the calls that may make system calls; the processing call
    // never opens objects.
    if (!channel.block) channel.openChannel(slaveNumber);
    return channel.block != nullptr;
}

// ---- The start answer ----

bool CTolvane::pickUpStartAnswer(std::uint32_t milliseconds, bool audio) {
    if (connected || !startPending) return connected;
    // Any signal counts as the start answer; `command` is not looked at. A start answer that
    // never comes (the slave left, or the start's signal was taken away before the slave woke)
    // ends the wait, so that the link is connected again.
    if (!channel.waitEvent(milliseconds, nullptr)) {
        if (!channel.isSlaveAttached() || startAnswerOverdue()) startPending = false;
        return false;
    }
    startPending = false;
    connected = true;
    // Every new connection is told the host's on/off state: the slave may be a new process
    // that knows nothing of it.
    suspendStateSent = false;
    if (!audio) {
        sendSuspendState(suspended);
    } else {
        // The audio thread does not wait: the answer is looked for on its next calls.
        suspendStateSent = issueCommand(suspended ? kCmdSuspend : kCmdResume, nullptr, 0) != CommandResult::Refused;
    }
    return true;
}

bool CTolvane::startAnswerOverdue() const { return Clock::now() - startSentAt >= kStartAnswerPatience; }

void CTolvane::dropLink() {
    connected = false;
    startPending = false;
    sequenceStep = SequenceStep::None;
    awaitedCommand = kCmdNone;
    blockOutstanding = false;
    suspendStateSent = false;
    asyncStarted = false;
}

// ---- Host calls ----

void CTolvane::noteIdleFailure(Clock::time_point now) {
    idleRetryPause = idleRetryPause.count() == 0 ? kIdleRetryFirst : std::min(idleRetryPause * 2, kIdleRetryMax);
    idleRetryAt = now + idleRetryPause;
}

void CTolvane::watchConnectedSlave(Clock::time_point now) {
    if (now < nextIdleLook) return;
    nextIdleLook = now + kIdleLookInterval;
    // The lock's look and identity need only the channel's names, which no one changes while
    // controlMutex is held; the turn is taken only when the link must be dropped, so that a
    // healthy stream is never kept waiting by these looks.
    bool gone = !channel.isSlaveAttached();
    if (!gone) {
        const LockState state = platformProbeLock(channel.slaveLockName, &idleLockWatch);
        const std::uint64_t identity = platformLockIdentity(channel.slaveLockName);
        gone = state == LockState::Free;
        if (identity != 0 && connectedSlaveIdentity != 0 && identity != connectedSlaveIdentity) {
            gone = true;  // another slave process took the slave number: it has not been set up
        } else if (identity != 0) {
            connectedSlaveIdentity = identity;
        }
    }
    if (!gone || !linkTurn.take(kTurnPatience)) return;
    TurnHeld held(linkTurn);
    dropLink();
    connectedSlaveIdentity = 0;
    idleRetryAt = now;
    idleRetryPause = std::chrono::milliseconds(0);
}

VstInt32 CTolvane::fxIdle() {
    idleSeen = true;
    // Idle calls come from the host's GUI thread: they never wait for another thread's link work.
    std::unique_lock<std::recursive_mutex> control(controlMutex, std::try_to_lock);
    if (!control.owns_lock()) return 1;
    catchUp();
    const Clock::time_point now = Clock::now();
    if (connected) {
        watchConnectedSlave(now);
        if (connected) return 1;
    }
    if (!linkTurn.take(std::chrono::milliseconds(20))) return 1;
    TurnHeld held(linkTurn);
    if (sequenceStep != SequenceStep::None || awaitedCommand != kCmdNone) settleLink();
    if (startPending) {
        // A fresh start answer is picked up here or by the processing call, whichever looks
        // first; a sequence started again would take it away from a slave slower than the
        // host's idle interval. The pick-up gives up on an overdue answer.
        if (pickUpStartAnswer(0, false) || startPending) return 1;
    }
    if (connected) return 1;
    connectedSlaveIdentity = 0;
    if (now < idleRetryAt && !channel.block) return 1;
    if (!reopenMissingBlock()) {
        noteIdleFailure(now);
        return 1;
    }

    const bool attached = channel.isSlaveAttached();
    if (attached && !slaveSeenAttached) idleRetryAt = now;  // a slave appeared
    slaveSeenAttached = attached;
    if (now < idleRetryAt) {
        // Waiting after a failed attempt. A signal on the master's event is a late answer: the
        // slave is back, and the pause ends.
        if (!channel.waitEvent(0, nullptr)) return 1;
        idleRetryAt = now;
    }
    if (!attached) return 1;
    const ConnectResult result = tryConnect();
    if (result == ConnectResult::Started) {
        idleRetryPause = std::chrono::milliseconds(0);
        connectedSlaveIdentity = platformLockIdentity(channel.slaveLockName);
    } else if (result == ConnectResult::LateAnswer || result == ConnectResult::Refused ||
               result == ConnectResult::NotAttachable) {
        // Attempts that cost a wait, or find the slave or the block held up. A slave that died
        // holding its byte costs only a look at its lock: the next idle call looks again, so
        // that a slave started in its place is connected at once.
        noteIdleFailure(now);
    }
    return 1;
}

void CTolvane::suspend() {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    catchUp();
    const bool turn = linkTurn.take(kTurnPatience);
    suspended = true;
    if (turn) {
        TurnHeld held(linkTurn);
        sendSuspendState(true);
        // A pin change waits for the suspend, when the host expects the pins to change. The slave
        // learns the new input count from the next block's header and both counts at the next
        // connect.
        if (pinChangePending) applyPendingIo();
    } else {
        suspendStateSent = false;
    }
}

void CTolvane::resume() {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    catchUp();
    // The slave may have died or been replaced while the host was off: a look now, so that a
    // new slave is connected afresh (by the next trigger) instead of being sent Resume alone.
    if (connected) {
        nextIdleLook = Clock::time_point{};
        watchConnectedSlave(Clock::now());
    }
    wantEvents(1);
    needIdle();
    char eventsText[] = "receiveVstEvents";
    char midiText[] = "receiveVstMidiEvent";
    hostReceivesEvents = canHostDo(eventsText) != 0 || canHostDo(midiText) != 0;
    wantAsyncOperation(!synchronous);
    const bool turn = linkTurn.take(kTurnPatience);
    suspended = false;
    if (turn) {
        TurnHeld held(linkTurn);
        if (!connected) reopenMissingBlock();
        sendSuspendState(false);
    } else {
        suspendStateSent = false;
    }
}

void CTolvane::setSampleRate(float rate) {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    catchUp();
    if (!linkTurn.take(kTurnPatience)) {
        sampleRate = rate;  // the next connect sends it
        return;
    }
    TurnHeld held(linkTurn);
    sampleRate = rate;
    sendSetSampleRate(rate);
}

void CTolvane::setBlockSize(VstInt32 frames) {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    catchUp();
    if (!linkTurn.take(kTurnPatience)) {
        blockSize = frames;
        return;
    }
    TurnHeld held(linkTurn);
    blockSize = frames;
    sendSetBlockSize(frames);
}

void CTolvane::setBlockSizeAndSampleRate(VstInt32 frames, float rate) {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    catchUp();
    if (!linkTurn.take(kTurnPatience)) {
        blockSize = frames;
        sampleRate = rate;
        return;
    }
    TurnHeld held(linkTurn);
    blockSize = frames;
    sampleRate = rate;
    sendSetSampleRate(rate);
    sendSetBlockSize(frames);
}

void CTolvane::close() {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    // A Slave# change still waiting is dropped (the object goes away); settings changed on the
    // audio thread are written now.
    renumberRequested = false;
    flushSettings();
    if (!linkTurn.take(kTurnPatience)) return;  // the destructor still gives up the master role
    TurnHeld held(linkTurn);
    if (termSlave) sendStop();
    channel.attachMaster(false);
}

// ---- Moving to another slave number ----

void CTolvane::catchUp() {
    if (renumberRequested.exchange(false)) {
        const VstInt32 number = requestedSlaveNumber.load();
        if (number != slaveNumber) renumberLocked(number);
    }
    flushSettings();
}

void CTolvane::renumber(VstInt32 newSlaveNumber) {
    std::lock_guard<std::recursive_mutex> control(controlMutex);
    renumberRequested = false;
    renumberLocked(newSlaveNumber);
}

void CTolvane::renumberLocked(VstInt32 newSlaveNumber) {
    requestedSlaveNumber = newSlaveNumber;
    if (!linkTurn.take(kTurnPatience)) {
        renumberRequested = true;  // the next call from a thread that may wait moves the link
        return;
    }
    TurnHeld held(linkTurn);
    if (connected) {
        // The old slave is stopped whatever the stop-on-close setting says: it loses its master.
        sendStop();
        channel.attachMaster(false);
    }
    dropLink();
    slaveNumber = newSlaveNumber;
    platformForgetLock(&idleLockWatch);
    channel.openChannel(newSlaveNumber);
    connectedSlaveIdentity = 0;
    slaveSeenAttached = false;
    idleRetryAt = Clock::time_point{};
    idleRetryPause = std::chrono::milliseconds(0);
    processConnectAllowedAt = Clock::time_point{};
    // The new slave is told the host's on/off state when its start answer is picked up.
    if (tryConnect() == ConnectResult::Started) {
        connectedSlaveIdentity = platformLockIdentity(channel.slaveLockName);
    }
}
