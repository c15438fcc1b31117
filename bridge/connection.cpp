// The control side of the link: the connect sequence, the commands, the host's state changes,
// the stop on close and the move to another slave number.
//
// Nothing here loops or retries by itself: the link advances each time the host calls in (a
// processing call, an idle call, the dialog's timer, a parameter change), so no call blocks
// longer than one 100 ms answer wait per command it sends.
#include <cstring>

#include "bridge/tolvane.h"

CTolvane::CommandResult CTolvane::sendCommand(SlaveCommand command, const void* arguments,
                                               std::size_t argumentBytes, bool wait) {
    // A pending slave signal means the slave has not taken the previous command; the poll takes
    // that signal away and this command is refused as well. A slave whose lock shows that it
    // died with its byte set is sent nothing: its answer could only be waited for in vain.
    //
    // While a start answer is awaited, a signal on the master's event is that answer: it is
    // picked up first (and the host's on/off state sent after it, as the processing call would),
    // so that this command's wait sees only its own answer. Counting answers instead fails as
    // soon as two commands follow each other faster than the slave wakes.
    if (wait && startPending && pickUpStartAnswer(kAnswerWaitMs) && !suspendStateSent) sendSuspendState(suspended);
    lastCommand = CommandResult::Refused;
    if (!channel.isSlaveAlive() || channel.pollEvent(true)) return CommandResult::Refused;
    SlaveBlock* block = channel.block;
    if (argumentBytes > sizeof(block->args)) argumentBytes = sizeof(block->args);
    if (argumentBytes > 0) std::memcpy(block->args, arguments, argumentBytes);
    block->command = command;
    // An answer left from an earlier exchange would be taken for this command's: away with it
    // (as the connect sequence does before its first command). The start's answer is picked up
    // as above or by the processing call, so a start clears nothing.
    if (wait) channel.waitEvent(0, nullptr);
    if (!channel.signalEvent(true)) return CommandResult::Refused;
    // A late answer stays signalled and is taken by the next wait (the connect sequence clears
    // it before its first command).
    lastCommand = !wait || channel.waitEvent(kAnswerWaitMs, nullptr) ? CommandResult::Answered : CommandResult::Late;
    return lastCommand;
}

bool CTolvane::sendSetIo() {
    const VstInt32 words[4] = {io.numInputs, io.numOutputs, 1, 1};
    return sendCommand(kCmdSetIo, words, sizeof(words), true) == CommandResult::Answered;
}

bool CTolvane::sendSetSampleRate(float rate) {
    return sendCommand(kCmdSetSampleRate, &rate, sizeof(rate), true) == CommandResult::Answered;
}

bool CTolvane::sendSetBlockSize(VstInt32 frames) {
    return sendCommand(kCmdSetBlockSize, &frames, sizeof(frames), true) == CommandResult::Answered;
}

bool CTolvane::sendGetInfo() {
    if (sendCommand(kCmdGetInfo, nullptr, 0, true) != CommandResult::Answered) return false;
    SlaveBlock* block = channel.block;
    if (block && block->command == kCmdGetInfo) {
        std::memcpy(slaveInfo, block->args, sizeof(slaveInfo));
        std::memcpy(&slaveInfoWord, block->args + 8, sizeof(slaveInfoWord));
    }
    return true;
}

bool CTolvane::sendStart() {
    if (sendCommand(kCmdStart, nullptr, 0, false) != CommandResult::Answered) return false;
    startPending = true;
    startSentAt = std::chrono::steady_clock::now();
    return true;
}

bool CTolvane::pickUpStartAnswer(std::uint32_t milliseconds) {
    // Any signal counts as the start answer; `command` is not looked at. A start answer that
    // never comes (the slave left, or the start's signal was taken away before the slave woke)
    // ends the wait, so that the link is connected again.
    connected = channel.waitEvent(milliseconds, nullptr);
    if (connected || !channel.isSlaveAttached() || startAnswerOverdue()) startPending = false;
    return connected;
}

bool CTolvane::startAnswerOverdue() const {
    return std::chrono::steady_clock::now() - startSentAt >= kStartAnswerPatience;
}

bool CTolvane::sendStop() { return sendCommand(kCmdStop, nullptr, 0, true) == CommandResult::Answered; }

bool CTolvane::sendSuspendState(bool suspend) {
    if (!connected) {
        suspendStateSent = false;
        return false;
    }
    CommandResult result = sendCommand(suspend ? kCmdSuspend : kCmdResume, nullptr, 0, true);
    // Signalled counts as sent, even when the answer is late.
    suspendStateSent = result != CommandResult::Refused;
    return result == CommandResult::Answered;
}

CTolvane::ConnectResult CTolvane::tryConnect() {
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
    // Take away an answer left from an earlier exchange, so that each wait below sees only the
    // answer to its own command.
    channel.waitEvent(0, nullptr);

    // A command refused or answered late ends the sequence; the next trigger starts again.
    auto failure = [this] { return lastCommand == CommandResult::Late ? ConnectResult::LateAnswer : ConnectResult::Refused; };
    if (!sendSetIo()) return failure();
    if (!sendSetSampleRate(getSampleRate())) return failure();
    if (!sendSetBlockSize(getBlockSize())) return failure();
    if (!sendGetInfo()) return failure();
    return sendStart() ? ConnectResult::Started : ConnectResult::Refused;
}

bool CTolvane::connectSlave() { return tryConnect() == ConnectResult::Started; }

VstInt32 CTolvane::fxIdle() {
    idleSeen = true;
    // A fresh start answer is left to the processing call: starting the sequence again would
    // take that answer away, and a slave slower than the idle interval would never connect.
    if (startPending && !startAnswerOverdue()) return 1;
    if (!connected && channel.isSlaveAttached()) connectSlave();
    return 1;
}

void CTolvane::suspend() {
    suspended = true;
    sendSuspendState(true);
    // A pin change waits for the suspend, when the host expects the pins to change. The slave
    // learns the new input count from the next block's header and both counts at the next connect.
    if (pinChangePending) applyPendingIo();
}

void CTolvane::resume() {
    suspended = false;
    wantEvents(1);
    needIdle();
    char eventsText[] = "receiveVstEvents";
    char midiText[] = "receiveVstMidiEvent";
    hostReceivesEvents = canHostDo(eventsText) != 0 || canHostDo(midiText) != 0;
    wantAsyncOperation(!synchronous);
    sendSuspendState(false);
}

void CTolvane::setSampleRate(float rate) {
    sampleRate = rate;
    sendSetSampleRate(rate);
}

void CTolvane::setBlockSize(VstInt32 frames) {
    blockSize = frames;
    sendSetBlockSize(frames);
}

void CTolvane::setBlockSizeAndSampleRate(VstInt32 frames, float rate) {
    blockSize = frames;
    sampleRate = rate;
    sendSetSampleRate(rate);
    sendSetBlockSize(frames);
}

void CTolvane::close() {
    if (termSlave) sendStop();
    channel.attachMaster(false);
}

void CTolvane::renumber(VstInt32 newSlaveNumber) {
    if (connected) {
        // The old slave is stopped whatever the stop-on-close setting says: it loses its master.
        sendStop();
        channel.attachMaster(false);
        connected = false;
    }
    slaveNumber = newSlaveNumber;
    channel.openChannel(newSlaveNumber);
    // The new slave has been told nothing yet: the pick-up of its start answer sends the host's
    // on/off state, as after a first connection.
    suspendStateSent = false;
    connectSlave();
}
