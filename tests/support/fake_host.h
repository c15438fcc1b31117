// A host callback fake for driving plug-ins the way a host does: it answers plain requests
// (version, sample rate, block size, ...) from a table, canDo questions from another, hands out
// a time information block, takes the events the plug-in sends and records every call. A script,
// when set, answers every call instead. One host at a time: the callback reaches the fake made
// last (tests run one after another).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "frame/vst_abi.h"

struct HostCall {
    AEffect* effect;
    VstInt32 opcode;
    VstInt32 index;
    VstIntPtr value;
    void* ptr;
    float opt;
    std::string text;  // the ptr argument as text, for audioMasterCanDo
};

struct ReceivedEvent {
    VstInt32 type;
    VstInt32 byteSize;
    VstInt32 deltaFrames;
    std::vector<unsigned char> bytes;  // MIDI data (4 bytes) or the SysEx dump
};

class FakeHost {
public:
    using Script = std::function<VstIntPtr(const HostCall&)>;

    // A playing transport at 120 BPM in 4/4, 44.1 kHz.
    FakeHost() {
        current = this;
        time.samplePos = 4096.0;
        time.sampleRate = 44100.0;
        time.tempo = 120.0;
        time.ppqPos = 1.5;
        time.timeSigNumerator = 4;
        time.timeSigDenominator = 4;
        time.flags = kVstTransportPlaying | kVstTempoValid | kVstPpqPosValid | kVstTimeSigValid;
    }
    virtual ~FakeHost() {
        if (current == this) current = nullptr;
    }
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    static VstIntPtr VSTCALLBACK callback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                          void* ptr, float opt) {
        FakeHost* host = current;
        return host ? host->answer(HostCall{effect, opcode, index, value, ptr, opt, {}}) : 0;
    }

    std::map<VstInt32, VstIntPtr> answers{{audioMasterVersion, 2400}, {audioMasterIOChanged, 1}};  // missing: 0
    std::map<std::string, VstIntPtr> canDoAnswers;  // missing: 0 (don't know)
    bool giveTime = true;
    VstTimeInfo time{};
    VstIntPtr processEventsAnswer = 1;
    Script script;  // when set, answers every call (and canDo's text is not read)

    // Off for long runs and for calls from several threads at once: only callCount then.
    bool recordCalls = true;
    std::atomic<std::uint64_t> callCount{0};
    std::vector<HostCall> calls;
    std::vector<ReceivedEvent> events;

    int count(VstInt32 opcode) const {
        int n = 0;
        for (const HostCall& call : calls) n += call.opcode == opcode;
        return n;
    }
    std::vector<HostCall> callsWith(VstInt32 opcode) const {
        std::vector<HostCall> found;
        for (const HostCall& call : calls) {
            if (call.opcode == opcode) found.push_back(call);
        }
        return found;
    }
    void clear() {
        calls.clear();
        events.clear();
    }

    static inline FakeHost* current = nullptr;

protected:
    // The events of one audioMasterProcessEvents call: kept in `events` by default.
    virtual VstIntPtr receive(const VstEvents* list) {
        for (VstInt32 i = 0; list && i < list->numEvents; ++i) {
            const VstEvent* e = list->events[i];
            ReceivedEvent r{e->type, e->byteSize, e->deltaFrames, {}};
            if (e->type == kVstMidiType) {
                const auto* m = reinterpret_cast<const VstMidiEvent*>(e);
                r.bytes.assign(m->midiData, m->midiData + 4);
            } else if (e->type == kVstSysExType) {
                const auto* s = reinterpret_cast<const VstMidiSysexEvent*>(e);
                r.bytes.assign(s->sysexDump, s->sysexDump + s->dumpBytes);
            }
            events.push_back(r);
        }
        return processEventsAnswer;
    }

private:
    VstIntPtr answer(HostCall call) {
        ++callCount;
        // A script sees the arguments untouched: they need not point at anything.
        if (!script && call.opcode == audioMasterCanDo && call.ptr) call.text = static_cast<const char*>(call.ptr);
        if (recordCalls) calls.push_back(call);
        if (script) return script(call);
        switch (call.opcode) {
        case audioMasterCanDo: {
            const auto it = canDoAnswers.find(call.text);
            return it == canDoAnswers.end() ? 0 : it->second;
        }
        case audioMasterGetTime: return giveTime ? reinterpret_cast<VstIntPtr>(&time) : 0;
        case audioMasterProcessEvents: return receive(static_cast<const VstEvents*>(call.ptr));
        default: {
            const auto it = answers.find(call.opcode);
            return it == answers.end() ? 0 : it->second;
        }
        }
    }
};
