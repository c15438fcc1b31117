// The audio path: one host block through the slave, synchronously (the processing call waits for
// the answer) or asynchronously (the host collects the output through effGetCurrentPosition).
//
// [audio thread] Everything here allocates nothing, takes no lock and logs nothing; the only
// system calls are the events' own (signal, poll, the bounded waits). Every count the slave wrote
// (numOutputs, blockSize, slaveEventBytes, record lengths) and every count from the host is
// bounded before it addresses memory.
#include <algorithm>
#include <cstring>

#include "bridge/tolvane.h"

namespace {

// The largest frame count, a multiple of 4, whose `channels` channels fit one sample area.
VstInt32 framesThatFit(VstInt32 channels) {
    if (channels < 1) channels = 1;
    return (kSampleAreaSamples / channels) & ~VstInt32{3};
}

}  // namespace

void CTolvane::processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) {
    process(inputs, outputs, sampleFrames);
}

void CTolvane::advanceLink() {
    // A sequence this thread started: one answer looked for per call, never waited for.
    if (sequenceStep != SequenceStep::None) {
        if (stepConnect(0) == ConnectResult::LateAnswer) processConnectAllowedAt = Clock::now() + kProcessReconnectPause;
        return;
    }
    if (startPending) {
        pickUpStartAnswer(0, true);
        return;
    }
    if (idleSeen) return;  // a host that idles connects from its idle calls
    // A host that never idles gets its connect attempts here, but not more than one a second
    // once an attempt has run into a late answer, so that a hung slave does not cost every
    // processing call a look at it. The same pause follows an attempt that had to look at a
    // lock object (a block held by another master, a slave that died holding its byte): those
    // looks are system calls, which the processing call makes at most once a second.
    const auto now = Clock::now();
    if (now < processConnectAllowedAt) return;
    const ConnectResult result = beginConnect();
    if (result == ConnectResult::NotAttachable || result == ConnectResult::SlaveGone) {
        processConnectAllowedAt = now + kProcessReconnectPause;
    }
}

bool CTolvane::collectOutstanding() {
    // The answer to the block that was not answered in time: its output is stale now and is
    // dropped, but the slave is answering again and this call's block goes through.
    if (channel.waitEvent(0, nullptr)) {
        blockOutstanding = false;
        return true;
    }
    // Given up: later blocks return at once, and reconnecting goes through the normal triggers.
    if (!channel.isSlaveAttached() || silentTooLong()) dropLink();
    return false;
}

void CTolvane::startSilence() {
    outstandingSince = Clock::now();
    nextAliveLook = outstandingSince + kAliveLookInterval;
}

bool CTolvane::silentTooLong() {
    const auto now = Clock::now();
    if (now - outstandingSince >= kSilentSlavePatience) return true;
    if (now < nextAliveLook) return false;
    nextAliveLook = now + kAliveLookInterval;
    return !channel.isSlaveAlive();
}

void CTolvane::process(float** inputs, float** outputs, VstInt32 sampleFrames) {
    audioThreads.note();
    // Another thread is moving the link (a connect, a command, a new slave number): this call
    // leaves the host's buffers alone rather than wait.
    if (!linkTurn.tryTake()) return;
    TurnHeld held(linkTurn);
    if (!connected) {
        advanceLink();
        return;
    }
    // The host's on/off state, sent by this thread right after the start answer, is answered
    // before any block goes out.
    if (awaitedCommand != kCmdNone && awaitAnswer(0) == CommandResult::Pending) return;
    if (!channel.isSlaveAttached()) {
        dropLink();
        return;
    }
    if (sampleFrames < 0) return;  // nothing sensible to exchange
    // A block the slave has not answered yet: this call only looks for that answer (no wait),
    // until the slave answers again or has been silent for the whole patience.
    if (blockOutstanding && !collectOutstanding()) return;
    if (!synchronous && asyncStarted && !asyncDone && !asyncAnswerSeen()) return;
    // A slave signal still pending means the slave has not taken the previous block: this block
    // is dropped, and the poll has taken the stale signal away.
    if (channel.pollEvent(true)) return;
    SlaveBlock* block = channel.block;

    // Events the slave left since the previous block (in asynchronous mode, that block's events).
    if (loadEventCount(block->slaveEventBytes) != 0) {
        forwardSlaveEvents(sampleFrames);
        storeEventCount(block->slaveEventBytes, 0);
    }

    const VstTimeInfo* time = getTimeInfo(kProcessFilter);
    if (time) std::memcpy(block->args, time, sizeof(VstTimeInfo));

    // One answer wait per processing call, however many pieces the host block takes.
    bool mayWait = true;
    const VstInt32 pieceFrames = framesThatFit(std::max(io.numInputs, io.numOutputs));
    if (sampleFrames <= pieceFrames) {
        exchangePiece(inputs, outputs, 0, sampleFrames, mayWait);
        return;
    }
    // A host block larger than the sample area: synchronously it goes through the slave in
    // pieces that fit, each with the time information advanced to its first frame; an
    // asynchronous block cannot be split (one block is outstanding at a time), so its outputs
    // are silenced and nothing is sent.
    if (!synchronous) {
        silenceOutputs(outputs, sampleFrames);
        return;
    }
    for (VstInt32 offset = 0; offset < sampleFrames; offset += pieceFrames) {
        const VstInt32 frames = std::min(pieceFrames, sampleFrames - offset);
        if (offset > 0) {
            if (!channel.isSlaveAttached()) {
                dropLink();
                return;
            }
            if (channel.pollEvent(true)) return;
            if (time) {
                VstTimeInfo pieceTime;
                std::memcpy(&pieceTime, time, sizeof pieceTime);
                pieceTime.samplePos += offset;
                std::memcpy(block->args, &pieceTime, sizeof pieceTime);
            }
        }
        if (!exchangePiece(inputs, outputs, offset, frames, mayWait)) return;
    }
}

bool CTolvane::asyncAnswerSeen() {
    // The host did not collect the previous asynchronous block (or the slave has not answered
    // it). An answer there now completes it; without one the slave is given the same patience
    // as a silent synchronous slave, counted from the first block found unanswered, after which
    // the link is given up. In between, blocks go on: the next signal completes whichever block
    // is outstanding.
    if (channel.waitEvent(0, nullptr)) {
        asyncDone = true;
        asyncLate = false;
        return true;
    }
    if (!asyncLate) {
        asyncLate = true;
        startSilence();
        return true;
    }
    if (!silentTooLong()) return true;
    dropLink();
    return false;
}

bool CTolvane::exchangePiece(float** inputs, float** outputs, VstInt32 offset, VstInt32 frames, bool& mayWait) {
    SlaveBlock* block = channel.block;
    copyInputs(inputs, io.numInputs, offset, frames);
    block->command = kCmdProcess;
    // A signal already on the master's event belongs to an earlier exchange (a command answered
    // after its wait gave up, a block answered late, a slave that answers twice). Taken as this
    // block's answer, it would hand the host the output area while the slave is still writing
    // it, and every later block would be one answer behind. It is taken away before the slave
    // is woken, so that the answer awaited or collected is this block's own.
    channel.waitEvent(0, nullptr);
    if (!channel.signalEvent(true)) return false;

    if (!synchronous) {
        asyncDone = false;
        asyncFrames = frames;
        asyncStarted = true;
        for (VstInt32 i = 0; i < kMaxIoChannels; ++i) {
            asyncOutputs[i] = (outputs && i < io.numOutputs) ? outputs[i] : nullptr;
        }
        return true;
    }

    // One wait of up to 100 ms per processing call. A block not answered within it stays
    // outstanding: the host's buffers are left as they are, and later calls look for its answer
    // without waiting (collectOutstanding). A wait that fails outright ends the same way.
    const bool answered = channel.waitEvent(mayWait ? kAnswerWaitMs : 0, nullptr);
    if (!answered) {
        mayWait = false;
        blockOutstanding = true;
        startSilence();
        // One look at the slave's lock tells a slave that died with its byte set: it will
        // never answer, so the link is given up at once.
        if (!channel.isSlaveAlive()) dropLink();
        return false;
    }

    // The slave's events of this block reach the host before its audio.
    if (loadEventCount(block->slaveEventBytes) != 0) {
        forwardSlaveEvents(offset + frames);
        storeEventCount(block->slaveEventBytes, 0);
    }
    copyOutputs(outputs, offset, frames);
    return true;
}

void CTolvane::copyInputs(float** inputs, VstInt32 count, VstInt32 offset, VstInt32 frames) {
    SlaveBlock* block = channel.block;
    if (!block) return;
    block->numInputs = count;
    block->blockSize = frames;
    if (count <= 0) return;
    const std::int64_t stride = channelStrideSamples(frames);
    for (VstInt32 i = 0; i < count; ++i) {
        float* destination = channelStart(block->inputs, frames, i, count);
        if (!destination) return;  // the set does not fit (cannot happen for pieces that fit)
        const float* source = inputs ? inputs[i] : nullptr;
        if (source) {
            std::memcpy(destination, source + offset, static_cast<std::size_t>(frames) * sizeof(float));
            // The up to three samples after the block's frames are silence.
            std::fill(destination + frames, destination + stride, 0.0f);
        } else {
            std::fill(destination, destination + stride, 0.0f);
        }
    }
}

void CTolvane::copyOutputs(float** outputs, VstInt32 offset, VstInt32 frames) {
    SlaveBlock* block = channel.block;
    if (!block || !outputs || frames <= 0) return;
    // Both values come from the block: read them once and let channelStart bound them.
    const VstInt32 slaveBlockSize = block->blockSize;
    const VstInt32 slaveOutputs = block->numOutputs;
    const VstInt32 count = std::min(io.numOutputs, slaveOutputs);
    const VstInt32 available = std::min(frames, slaveBlockSize);
    for (VstInt32 i = 0; i < count; ++i) {
        float* destination = outputs[i];
        if (!destination) continue;
        const float* source = channelStart(block->outputs, slaveBlockSize, i, slaveOutputs);
        if (!source) continue;
        std::memcpy(destination + offset, source, static_cast<std::size_t>(available) * sizeof(float));
        // Only a slave that changed blockSize under the master leaves frames uncovered.
        std::fill(destination + offset + available, destination + offset + frames, 0.0f);
    }
}

void CTolvane::silenceOutputs(float** outputs, VstInt32 frames) {
    if (!outputs) return;
    for (VstInt32 i = 0; i < io.numOutputs; ++i) {
        if (outputs[i]) std::fill(outputs[i], outputs[i] + frames, 0.0f);
    }
}

VstInt32 CTolvane::reportCurrentPosition() {
    audioThreads.note();
    if (!linkTurn.tryTake()) return 0;
    TurnHeld held(linkTurn);
    // Before the first asynchronous block there is nothing to collect, and a wait here would
    // take away an answer meant for someone else (the start answer, for one).
    if (!asyncStarted) return 0;
    if (!asyncDone) {
        asyncDone = channel.waitEvent(0, nullptr);
        if (asyncDone) {
            asyncLate = false;
            copyOutputs(asyncOutputs, 0, asyncFrames);
        }
    }
    return asyncDone ? asyncFrames : 0;
}

VstInt32 CTolvane::processEvents(VstEvents* events) {
    if (!events) return 1;
    // On an audio thread the events are dropped while another thread moves the link (they
    // would go to a block that is being replaced, or be cleared by the connect sequence);
    // elsewhere the call waits for the turn, which the audio thread holds only briefly.
    if (audioThreads.current() ? !linkTurn.tryTake() : !linkTurn.take(kTurnPatience, false)) return 1;
    TurnHeld held(linkTurn);
    // Without the master role the block is another instance's (or nobody's yet): nothing of
    // ours is written into it. Events before a connect would be cleared by it anyway.
    if (!channel.block || !channel.masterRole) return 1;
    const VstInt32 count = events->numEvents;
    // The host allocates as many slots as numEvents says, past the two the record declares:
    // they are reached through a pointer, not by indexing the declared array beyond its end.
    VstEvent* const* slots = events->events;
    for (VstInt32 i = 0; i < count; ++i) {
        // The first event that cannot be packed (area full, or neither MIDI nor SysEx) ends the
        // list: it and the rest are dropped.
        if (!channel.packEvent(0, slots[i])) break;
    }
    return 1;
}

bool CTolvane::forwardSlaveEvents(VstInt32 frames) {
    SlaveBlock* block = channel.block;
    if (!block || !hostReceivesEvents) return hostReceivesEvents;
    PackedEventReader reader(block->slaveEvents, loadEventCount(block->slaveEventBytes));
    UnpackedEvent event;
    VstEvents list{};
    list.numEvents = 1;
    list.reserved = 0;
    list.events[0] = &event.event;
    list.events[1] = nullptr;
    const VstInt32 lastFrame = frames > 0 ? frames - 1 : 0;
    while (reader.next(event)) {
        // Hosts index their buffers with deltaFrames: it is kept inside the block the host is
        // processing, whatever the slave wrote.
        if (event.event.deltaFrames < 0) event.event.deltaFrames = 0;
        if (event.event.deltaFrames > lastFrame) event.event.deltaFrames = lastFrame;
        // byteSize is the slave's, as the host sees it. Only a value that claims more than the
        // record the host receives (or less than nothing) is put back to the standard size, so
        // that a host copying byteSize bytes stays inside the record.
        const bool sysex = event.event.type == kVstSysExType;
        const VstInt32 record = sysex ? VstInt32{sizeof(VstMidiSysexEvent)} : VstInt32{sizeof(VstMidiEvent)};
        if (event.event.byteSize < 0 || event.event.byteSize > record) {
            event.event.byteSize = record - 2 * VstInt32{sizeof(VstInt32)};
        }
        sendVstEventsToHost(&list);
    }
    return true;
}
