// A test plug-in written straight against the VST 2.4 records (no frame classes), for the tests of
// tolvane-host. It is a gain (or a transport writer), echoes every event it receives back to the
// host, and shows what it saw of the host through read-only parameter displays, so that a test
// can check the host purely through the plug-in interface.
//
// Parameters (normalised value -> meaning):
//   0 Gain     gain = 2 * value (0.5 is unity)
//   1 Skip     every round(16 * value)-th block (counting from block 0) leaves the outputs unwritten
//   2 Async    >= 0.5: flag the record asynchronous; outputs are written by effGetCurrentPosition,
//              on the third poll after the block
//   3 Mode     < 0.5: out = in * gain; >= 0.5: out[c][i] = counterSample(samplePos + i, c) * gain,
//              samplePos from audioMasterGetTime, to check the transport sample-exact
//   4 Outputs  pending output count 1 + round(3 * value); audioMasterIOChanged is sent when it
//              changes, and the record changes at the next suspend
//   5.. read-only displays: Idles, EventsIn, SmplPos, HostCan, HostInfo, Trace
// Displays may be longer than 8 characters: they are written for our host, which gives 512 bytes.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/vst_abi.h"
#include "tools/host/counter_signal.h"

#if defined(_WIN32)
#define FIXTURE_EXPORT __declspec(dllexport)
#else
#define FIXTURE_EXPORT __attribute__((visibility("default")))
#endif

#ifndef FIXTURE_MAIN_ONLY
#define FIXTURE_MAIN_ONLY 0
#endif

namespace {

using tolvane::host::counterSample;

enum Param : VstInt32 { kGain, kSkip, kAsync, kMode, kOutputs, kIdles, kEventsIn, kSamplePos, kHostCan, kHostInfo, kTrace, kNumParams };
const char* const kParamNames[kNumParams] = {"Gain", "Skip", "Async", "Mode", "Outputs", "Idles",
                                             "EventsIn", "SmplPos", "HostCan", "HostInfo", "Trace"};

constexpr int kMaxOutputs = 4;
constexpr int kInputs = 2;
constexpr int kMaxQueued = 256;
constexpr int kMaxSysexQueued = 16;
constexpr int kMaxSysexBytes = 1024;

struct Fixture {
    AEffect effect{};
    audioMasterCallback master = nullptr;
    float values[kNumParams] = {0.5f, 0.0f, 0.0f, 0.0f, 1.0f / 3.0f};
    int numOutputs = 2;
    int pendingOutputs = 2;
    double sampleRate = 44100.0;
    int blockSize = 512;
    bool resumed = false;
    bool processedSinceResume = false;
    long long blocks = 0;
    long long idles = 0;
    long long eventsIn = 0;
    double lastSamplePos = -1.0;
    int hostCan = 0;
    char hostInfo[256] = {};
    char trace[64] = {};
    std::size_t traceLength = 0;

    // Events to echo with the next processing call.
    VstMidiEvent midi[kMaxQueued]{};
    int midiCount = 0;
    VstMidiSysexEvent sysex[kMaxSysexQueued]{};
    char sysexData[kMaxSysexQueued][kMaxSysexBytes]{};
    int sysexCount = 0;
    struct {
        VstInt32 numEvents;
        VstIntPtr reserved;
        VstEvent* events[kMaxQueued + kMaxSysexQueued];
    } echoList{};

    // The outstanding asynchronous block.
    std::vector<float> asyncResult[kMaxOutputs];
    float* asyncOutputs[kMaxOutputs] = {};
    int asyncFrames = 0;
    int asyncPolls = 0;
    bool asyncPending = false;
    bool asyncDone = false;
};
static_assert(offsetof(decltype(Fixture::echoList), events) == offsetof(VstEvents, events));

Fixture* self(AEffect* effect) { return effect != nullptr ? static_cast<Fixture*>(effect->object) : nullptr; }

VstIntPtr callHost(Fixture& f, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr) {
    return f.master != nullptr ? f.master(&f.effect, opcode, index, value, ptr, 0.0f) : 0;
}

void note(Fixture& f, char c) {
    if (f.traceLength + 1 < sizeof(f.trace)) f.trace[f.traceLength++] = c;
}

float gainOf(const Fixture& f) { return 2.0f * f.values[kGain]; }
int skipEvery(const Fixture& f) { return static_cast<int>(std::lround(16.0f * f.values[kSkip])); }
bool asyncOn(const Fixture& f) { return f.values[kAsync] >= 0.5f; }
bool timeMode(const Fixture& f) { return f.values[kMode] >= 0.5f; }
int outputsFor(float value) { return 1 + static_cast<int>(std::lround(3.0f * std::clamp(value, 0.0f, 1.0f))); }

void updateFlags(Fixture& f) {
    f.effect.flags = effFlagsCanReplacing | (asyncOn(f) ? effFlagsExtIsAsync : 0);
}

void askHost(Fixture& f) {
    static const char* const kAsk[] = {"asyncProcessing", "acceptIOChanges", "receiveVstEvents", "receiveVstMidiEvent"};
    f.hostCan = 0;
    for (int i = 0; i < 4; ++i) {
        if (callHost(f, audioMasterCanDo, 0, 0, const_cast<char*>(kAsk[i])) > 0) f.hostCan |= 1 << i;
    }
    char vendor[80] = {};
    char product[80] = {};
    callHost(f, audioMasterGetVendorString, 0, 0, vendor);
    callHost(f, audioMasterGetProductString, 0, 0, product);
    std::snprintf(f.hostInfo, sizeof(f.hostInfo), "%lld/%lld/%lld/%s/%s",
                  static_cast<long long>(callHost(f, audioMasterVersion)),
                  static_cast<long long>(callHost(f, audioMasterGetSampleRate)),
                  static_cast<long long>(callHost(f, audioMasterGetBlockSize)), vendor, product);
}

// Writes one block's result into `out`: the gain of the inputs, or the transport's counter.
void render(Fixture& f, float** inputs, float* const* out, int frames) {
    const float gain = gainOf(f);
    const bool time = timeMode(f);
    const auto position = static_cast<long long>(f.lastSamplePos);
    for (int c = 0; c < f.numOutputs; ++c) {
        float* dst = out[c];
        if (dst == nullptr) continue;
        const float* src = inputs != nullptr ? inputs[c % kInputs] : nullptr;
        for (int i = 0; i < frames; ++i) {
            if (time) {
                dst[i] = counterSample(position + i, c) * gain;
            } else {
                dst[i] = src != nullptr ? src[i] * gain : 0.0f;
            }
        }
    }
}

void echoEvents(Fixture& f) {
    int count = 0;
    VstEvent** slots = f.echoList.events;
    for (int i = 0; i < f.midiCount; ++i) slots[count++] = reinterpret_cast<VstEvent*>(&f.midi[i]);
    for (int i = 0; i < f.sysexCount; ++i) slots[count++] = reinterpret_cast<VstEvent*>(&f.sysex[i]);
    f.midiCount = 0;
    f.sysexCount = 0;
    if (count == 0) return;
    f.echoList.numEvents = count;
    callHost(f, audioMasterProcessEvents, 0, 0, &f.echoList);
}

// [audio thread] Allocates nothing; the host's allocation test runs through here.
void VSTCALLBACK processReplacing(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
    Fixture* f = self(effect);
    if (f == nullptr || frames <= 0 || outputs == nullptr) return;
    if (!f->processedSinceResume) {
        note(*f, 'p');
        f->processedSinceResume = true;
    }
    const auto* time = reinterpret_cast<const VstTimeInfo*>(callHost(*f, audioMasterGetTime, 0, kVstPpqPosValid | kVstTempoValid));
    f->lastSamplePos = time != nullptr ? time->samplePos : -1.0;
    const long long block = f->blocks++;
    echoEvents(*f);
    const int every = skipEvery(*f);
    if (every > 0 && block % every == 0) return;
    if (asyncOn(*f)) {
        float* results[kMaxOutputs];
        const int kept = std::min<int>(frames, f->blockSize);
        for (int c = 0; c < kMaxOutputs; ++c) results[c] = f->asyncResult[c].data();
        render(*f, inputs, results, kept);
        for (int c = 0; c < f->numOutputs; ++c) f->asyncOutputs[c] = outputs[c];
        f->asyncFrames = kept;
        f->asyncPolls = 0;
        f->asyncPending = true;
        f->asyncDone = false;
        return;
    }
    render(*f, inputs, outputs, frames);
}

void VSTCALLBACK process(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
    processReplacing(effect, inputs, outputs, frames);
}

// [audio thread] effGetCurrentPosition: done on the third poll after the block.
VstIntPtr currentPosition(Fixture& f) {
    if (f.asyncDone) return f.asyncFrames;
    if (!f.asyncPending) return 0;
    if (++f.asyncPolls < 3) return 0;
    for (int c = 0; c < f.numOutputs; ++c) {
        if (f.asyncOutputs[c] != nullptr) std::memcpy(f.asyncOutputs[c], f.asyncResult[c].data(), sizeof(float) * static_cast<std::size_t>(f.asyncFrames));
    }
    f.asyncPending = false;
    f.asyncDone = true;
    return f.asyncFrames;
}

void setParameterValue(Fixture& f, VstInt32 index, float value) {
    if (index < 0 || index >= kOutputs + 1) return;  // the displays are read-only
    f.values[index] = value;
    if (index == kAsync) updateFlags(f);
    if (index == kOutputs) {
        const int wanted = outputsFor(value);
        if (wanted != f.pendingOutputs) {
            f.pendingOutputs = wanted;
            callHost(f, audioMasterIOChanged);
        }
    }
}

// [dispatch thread]
void VSTCALLBACK setParameter(AEffect* effect, VstInt32 index, float value) {
    if (Fixture* f = self(effect)) setParameterValue(*f, index, value);
}

float VSTCALLBACK getParameter(AEffect* effect, VstInt32 index) {
    Fixture* f = self(effect);
    return f != nullptr && index >= 0 && index < kNumParams ? f->values[index] : 0.0f;
}

void display(Fixture& f, VstInt32 index, char* text) {
    constexpr std::size_t kRoom = 300;  // within the 512 bytes our host hands over
    switch (index) {
        case kGain: std::snprintf(text, kRoom, "%.3f", static_cast<double>(gainOf(f))); break;
        case kSkip: std::snprintf(text, kRoom, "%d", skipEvery(f)); break;
        case kAsync: std::snprintf(text, kRoom, "%s", asyncOn(f) ? "on" : "off"); break;
        case kMode: std::snprintf(text, kRoom, "%s", timeMode(f) ? "time" : "gain"); break;
        case kOutputs: std::snprintf(text, kRoom, "%d", f.pendingOutputs); break;
        case kIdles: std::snprintf(text, kRoom, "%lld", f.idles); break;
        case kEventsIn: std::snprintf(text, kRoom, "%lld", f.eventsIn); break;
        case kSamplePos: std::snprintf(text, kRoom, "%.0f", f.lastSamplePos); break;
        case kHostCan: std::snprintf(text, kRoom, "%d", f.hostCan); break;
        case kHostInfo: std::snprintf(text, kRoom, "%s", f.hostInfo); break;
        case kTrace: std::snprintf(text, kRoom, "%s", f.trace); break;
        default: text[0] = '\0'; break;
    }
}

bool string2parameter(Fixture& f, VstInt32 index, const char* text) {
    if (text == nullptr || index < 0 || index > kOutputs) return false;
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text || !std::isfinite(number)) return false;
    float value = static_cast<float>(number);
    if (index == kGain) value = static_cast<float>(number / 2.0);
    if (index == kSkip) value = static_cast<float>(number / 16.0);
    if (index == kOutputs) value = static_cast<float>((number - 1.0) / 3.0);
    setParameterValue(f, index, std::clamp(value, 0.0f, 1.0f));
    return true;
}

VstIntPtr processEvents(Fixture& f, const VstEvents* events) {
    if (events == nullptr || events->numEvents < 0) return 0;
    VstEvent* const* slots = events->events;
    for (VstInt32 i = 0; i < events->numEvents; ++i) {
        const VstEvent* event = slots[i];
        if (event == nullptr) continue;
        ++f.eventsIn;
        if (event->type == kVstMidiType && f.midiCount < kMaxQueued) {
            std::memcpy(&f.midi[f.midiCount++], event, sizeof(VstMidiEvent));
        } else if (event->type == kVstSysExType && f.sysexCount < kMaxSysexQueued) {
            VstMidiSysexEvent& copy = f.sysex[f.sysexCount];
            std::memcpy(&copy, event, sizeof(VstMidiSysexEvent));
            const int bytes = std::clamp(copy.dumpBytes, 0, kMaxSysexBytes);
            if (copy.sysexDump != nullptr) std::memcpy(f.sysexData[f.sysexCount], copy.sysexDump, static_cast<std::size_t>(bytes));
            copy.dumpBytes = bytes;
            copy.sysexDump = f.sysexData[f.sysexCount];
            ++f.sysexCount;
        }
    }
    return 1;
}

void resize(Fixture& f) {
    for (auto& channel : f.asyncResult) channel.assign(static_cast<std::size_t>(std::max(f.blockSize, 1)), 0.0f);
}

// [dispatch thread] Except effGetCurrentPosition, which a host calls from its audio thread.
VstIntPtr VSTCALLBACK dispatcher(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    Fixture* f = self(effect);
    if (f == nullptr) return 0;
    char* text = static_cast<char*>(ptr);
    switch (opcode) {
        case effOpen:
            note(*f, 'o');
            return 0;
        case effClose:
            delete f;
            return 1;
        case effSetSampleRate:
            note(*f, 'r');
            f->sampleRate = opt;
            return 0;
        case effSetBlockSize:
            note(*f, 'b');
            f->blockSize = static_cast<int>(std::clamp<VstIntPtr>(value, 1, 1 << 20));
            resize(*f);
            return 0;
        case effMainsChanged:
            if (value != 0) {
                note(*f, '+');
                f->resumed = true;
                f->processedSinceResume = false;
                callHost(*f, audioMasterWantMidi, 0, 1);
                callHost(*f, audioMasterNeedIdle);
                askHost(*f);
            } else {
                note(*f, '-');
                f->resumed = false;
                f->numOutputs = f->pendingOutputs;
                f->effect.numOutputs = f->numOutputs;
            }
            return 0;
        case effStartProcess: note(*f, 's'); return 0;
        case effStopProcess: note(*f, 't'); return 0;
        case effGetParamName:
            if (text == nullptr || index < 0 || index >= kNumParams) return 0;
            std::snprintf(text, 9, "%s", kParamNames[index]);
            return 0;
        case effGetParamDisplay:
            if (text == nullptr || index < 0 || index >= kNumParams) return 0;
            display(*f, index, text);
            return 0;
        case effGetParamLabel:
            if (text != nullptr) text[0] = '\0';
            return 0;
        case effString2Parameter: return string2parameter(*f, index, text) ? 1 : 0;
        case effCanBeAutomated: return index >= 0 && index <= kOutputs ? 1 : 0;
        case effProcessEvents: return processEvents(*f, static_cast<const VstEvents*>(ptr));
        case effGetCurrentPosition: return currentPosition(*f);
        case effIdle: ++f->idles; return 1;
        case effGetEffectName: if (text) std::snprintf(text, kVstMaxEffectNameLen, "Fixture"); return 1;
        case effGetVendorString: if (text) std::snprintf(text, kVstMaxVendorStrLen, "Tolvane Tests"); return 1;
        case effGetProductString: if (text) std::snprintf(text, kVstMaxProductStrLen, "Host Fixture"); return 1;
        case effGetVendorVersion: return 7;
        case effGetPlugCategory: return kPlugCategEffect;
        case effGetVstVersion: return kVstVersion;
        case effCanDo: {
            if (text == nullptr) return 0;
            static const char* const kYes[] = {"receiveVstEvents", "receiveVstMidiEvent", "sendVstEvents", "sendVstMidiEvent", "receiveVstTimeInfo"};
            for (const char* yes : kYes) {
                if (std::strcmp(text, yes) == 0) return 1;
            }
            return -1;
        }
        default: return 0;
    }
}

// [main thread]
AEffect* createFixture(audioMasterCallback master) {
    // As the frame does, the version query is made with no effect pointer.
    if (master == nullptr || master(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
    auto* f = new Fixture;
    f->master = master;
    AEffect& e = f->effect;
    e.magic = kEffectMagic;
    e.dispatcher = dispatcher;
    e.process = process;
    e.setParameter = setParameter;
    e.getParameter = getParameter;
    e.processReplacing = processReplacing;
    e.numPrograms = 1;
    e.numParams = kNumParams;
    e.numInputs = kInputs;
    e.numOutputs = f->numOutputs;
    e.object = f;
    e.uniqueID = fourCharCode('T', 'v', 'F', 'x');
    e.version = 1;
    e.ioRatio = 1.0f;
    updateFlags(*f);
    resize(*f);
    return &e;
}

}  // namespace

#if FIXTURE_MAIN_ONLY
// Exported under the old entry name only, as plug-ins from before VST 2.4 are.
extern "C" FIXTURE_EXPORT AEffect* fixtureLegacyEntry(audioMasterCallback master) __asm__("main");
extern "C" FIXTURE_EXPORT AEffect* fixtureLegacyEntry(audioMasterCallback master) { return createFixture(master); }
#else
extern "C" FIXTURE_EXPORT AEffect* VSTPluginMain(audioMasterCallback master) { return createFixture(master); }
#endif
