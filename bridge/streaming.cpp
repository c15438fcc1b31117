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
    if (startPending) {
        if (pickUpStartAnswer(0) && !suspendStateSent) sendSuspendState(suspended);
        return;
    }
    if (idleSeen) return;  // a host that idles connects from its idle calls
    // A host that never idles gets its connect attempts here, but not more than one a second
    // once an attempt has run into a late answer, so that a hung slave does not cost every
    // processing call a 100 ms wait. The same pause follows an attempt that had to look at a
    // lock object (a block held by another master, a slave that died holding its byte): those
    // looks are system calls, which the processing call makes at most once a second.
    const auto now = std::chrono::steady_clock::now();
    if (now < processConnectAllowedAt) return;
    const ConnectResult result = tryConnect();
    if (result == ConnectResult::LateAnswer || result == ConnectResult::NotAttachable ||
        result == ConnectResult::SlaveGone) {
        processConnectAllowedAt = now + kProcessReconnectPause;
    }
}

void CTolvane::process(float** inputs, float** outputs, VstInt32 sampleFrames) {
    if (!connected) {
        advanceLink();
        return;
    }
    if (!channel.isSlaveAttached()) {
        connected = false;
        return;
    }
    if (sampleFrames < 0) return;  // nothing sensible to exchange
    // A slave signal still pending means the slave has not taken the previous block: this block
    // is dropped, and the poll has taken the stale signal away.
    if (channel.pollEvent(true)) return;
    SlaveBlock* block = channel.block;

    // Events the slave left since the previous block (in asynchronous mode, that block's events).
    if (loadEventCount(block->slaveEventBytes) != 0) {
        forwardSlaveEvents();
        storeEventCount(block->slaveEventBytes, 0);
    }

    const VstTimeInfo* time = getTimeInfo(kProcessFilter);
    if (time) std::memcpy(block->args, time, sizeof(VstTimeInfo));

    const VstInt32 pieceFrames = framesThatFit(std::max(io.numInputs, io.numOutputs));
    if (sampleFrames <= pieceFrames) {
        exchangePiece(inputs, outputs, 0, sampleFrames);
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
                connected = false;
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
        if (!exchangePiece(inputs, outputs, offset, frames)) return;
    }
}

bool CTolvane::exchangePiece(float** inputs, float** outputs, VstInt32 offset, VstInt32 frames) {
    SlaveBlock* block = channel.block;
    copyInputs(inputs, io.numInputs, offset, frames);
    block->command = kCmdProcess;
    // A signal already on the master's event belongs to an earlier exchange (a command answered
    // after its wait gave up, a block answered after 21 waits, a slave that answers twice). Taken
    // as this block's answer, it would hand the host the output area while the slave is still
    // writing it, and every later block would be one answer behind. It is taken away before the
    // slave is woken, so that the answer awaited or collected is this block's own.
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

    // Wait in 100 ms steps, at most 21 of them, or until the slave leaves. A wait that fails
    // outright counts as a step too, so the wait is bounded whatever the event does. After each
    // step that found no answer (the slow path already) one look at the slave's lock tells a
    // slave that died with its byte set: it will never answer, so the wait ends there.
    VstInt32 timeouts = 0;
    bool answered = false;
    bool slaveGone = false;
    VstInt32 step = 0;
    for (; step < kMaxProcessWaits && channel.isSlaveAttached(); ++step) {
        if (channel.waitEvent(kAnswerWaitMs, &timeouts)) {
            answered = true;
            break;
        }
        if (!channel.isSlaveAlive()) {
            slaveGone = true;
            break;
        }
    }

    // The slave's events of this block reach the host before its audio.
    if (loadEventCount(block->slaveEventBytes) != 0) {
        forwardSlaveEvents();
        storeEventCount(block->slaveEventBytes, 0);
    }
    // Without an answer the output area holds no output of this block: what an earlier block
    // left (at that block's stride), or half of what a slave killed while writing it wrote.
    // Copied, the host would play it as this block; the host's buffers are left as they are
    // instead, as on every other path where the slave gave no output.
    if (answered) copyOutputs(outputs, offset, frames);

    if (!answered && (step == kMaxProcessWaits || slaveGone)) {
        // The slave holds the block but no longer answers (or is known dead): drop the link, so
        // that later blocks return at once and reconnecting goes through the normal triggers.
        connected = false;
        return false;
    }
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
    // Before the first asynchronous block there is nothing to collect, and a wait here would
    // take away an answer meant for someone else (the start answer, for one).
    if (!asyncStarted) return 0;
    if (!asyncDone) {
        asyncDone = channel.waitEvent(0, nullptr);
        if (asyncDone) copyOutputs(asyncOutputs, 0, asyncFrames);
    }
    return asyncDone ? asyncFrames : 0;
}

VstInt32 CTolvane::processEvents(VstEvents* events) {
    if (!events || !channel.block) return 1;
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

bool CTolvane::forwardSlaveEvents() {
    SlaveBlock* block = channel.block;
    if (!block || !hostReceivesEvents) return hostReceivesEvents;
    PackedEventReader reader(block->slaveEvents, loadEventCount(block->slaveEventBytes));
    UnpackedEvent event;
    VstEvents list{};
    list.numEvents = 1;
    list.reserved = 0;
    list.events[0] = &event.event;
    list.events[1] = nullptr;
    while (reader.next(event)) {
        // byteSize is the slave's; one that claims more than the record holds is put back to the
        // standard size, so that a host copying byteSize bytes stays inside the record.
        const VstInt32 standard = event.event.type == kVstSysExType
                                      ? VstInt32{sizeof(VstMidiSysexEvent) - 2 * sizeof(VstInt32)}
                                      : VstInt32{sizeof(VstMidiEvent) - 2 * sizeof(VstInt32)};
        if (event.event.byteSize < 0 || event.event.byteSize > standard) event.event.byteSize = standard;
        sendVstEventsToHost(&list);
    }
    return true;
}
