// Both dispatchers called directly: which operation each opcode reaches with which
// arguments, how results become answers, the null-pointer refusals and the defaults of a
// plug-in that replaces nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "frame/audioeffectx.h"
#include "tests/frame/scripted_host.h"

namespace {

double num(const void* p) {
    return static_cast<double>(reinterpret_cast<std::uintptr_t>(p));
}

struct Logged {
    std::string op;
    std::vector<double> args;
};

// Logs every operation a dispatcher reaches and answers `answer`, narrowed to the operation's
// result type.
class Probe : public AudioEffectX {
public:
    explicit Probe(audioMasterCallback host = nullptr) : AudioEffectX(host, 4, 3) {}
    VstInt32 currentProgram() const { return curProgram; }

    std::vector<Logged> log;
    VstIntPtr answer = 0;
    float vu = 0.0f;

private:
    void note(const char* op, std::vector<double> args = {}) { log.push_back({op, std::move(args)}); }
    bool yes() const { return answer != 0; }
    VstInt32 i32() const { return static_cast<VstInt32>(answer); }
    template <typename T>
    T* p() const { return reinterpret_cast<T*>(answer); }

public:
    void processReplacing(float**, float**, VstInt32) override {}
    void open() override { note("open"); }
    void close() override { note("close"); }
    void suspend() override { note("suspend"); }
    void resume() override { note("resume"); }
    void setSampleRate(float r) override { note("setSampleRate", {r}); }
    void setBlockSize(VstInt32 n) override { note("setBlockSize", {double(n)}); }
    void setParameter(VstInt32 i, float v) override { note("setParameter", {double(i), v}); }
    VstInt32 getProgram() override { note("getProgram"); return i32(); }
    void setProgram(VstInt32 n) override { note("setProgram", {double(n)}); AudioEffectX::setProgram(n); }
    void setProgramName(char* t) override { note("setProgramName", {num(t)}); }
    void getProgramName(char* t) override { note("getProgramName", {num(t)}); }
    void getParameterLabel(VstInt32 i, char* t) override { note("getParameterLabel", {double(i), num(t)}); }
    void getParameterDisplay(VstInt32 i, char* t) override { note("getParameterDisplay", {double(i), num(t)}); }
    void getParameterName(VstInt32 i, char* t) override { note("getParameterName", {double(i), num(t)}); }
    VstInt32 getChunk(void** d, bool pre) override { note("getChunk", {num(d), double(pre)}); return i32(); }
    VstInt32 setChunk(void* d, VstInt32 n, bool pre) override { note("setChunk", {num(d), double(n), double(pre)}); return i32(); }
    float getVu() override { note("getVu"); return vu; }

    VstInt32 processEvents(VstEvents* e) override { note("processEvents", {num(e)}); return i32(); }
    bool canParameterBeAutomated(VstInt32 i) override { note("canParameterBeAutomated", {double(i)}); return yes(); }
    bool string2parameter(VstInt32 i, char* t) override { note("string2parameter", {double(i), num(t)}); return yes(); }
    VstInt32 getNumCategories() override { note("getNumCategories"); return i32(); }
    bool getProgramNameIndexed(VstInt32 c, VstInt32 i, char* t) override { note("getProgramNameIndexed", {double(c), double(i), num(t)}); return yes(); }
    bool copyProgram(VstInt32 d) override { note("copyProgram", {double(d)}); return yes(); }
    void inputConnected(VstInt32 i, bool s) override { note("inputConnected", {double(i), double(s)}); }
    void outputConnected(VstInt32 i, bool s) override { note("outputConnected", {double(i), double(s)}); }
    bool getInputProperties(VstInt32 i, VstPinProperties* p) override { note("getInputProperties", {double(i), num(p)}); return yes(); }
    bool getOutputProperties(VstInt32 i, VstPinProperties* p) override { note("getOutputProperties", {double(i), num(p)}); return yes(); }
    VstInt32 getPlugCategory() override { note("getPlugCategory"); return i32(); }
    VstInt32 reportCurrentPosition() override { note("reportCurrentPosition"); return i32(); }
    float* reportDestinationBuffer() override { note("reportDestinationBuffer"); return p<float>(); }
    bool offlineNotify(VstAudioFile* f, VstInt32 n, bool s) override { note("offlineNotify", {num(f), double(n), double(s)}); return yes(); }
    bool offlinePrepare(VstOfflineTask* t, VstInt32 n) override { note("offlinePrepare", {num(t), double(n)}); return yes(); }
    bool offlineRun(VstOfflineTask* t, VstInt32 n) override { note("offlineRun", {num(t), double(n)}); return yes(); }
    bool processVariableIo(VstVariableIo* v) override { note("processVariableIo", {num(v)}); return yes(); }
    bool setSpeakerArrangement(VstSpeakerArrangement* i, VstSpeakerArrangement* o) override { note("setSpeakerArrangement", {num(i), num(o)}); return yes(); }
    void setBlockSizeAndSampleRate(VstInt32 n, float r) override { note("setBlockSizeAndSampleRate", {double(n), r}); }
    bool setBypass(bool b) override { note("setBypass", {double(b)}); return yes(); }
    bool getEffectName(char* t) override { note("getEffectName", {num(t)}); return yes(); }
    bool getErrorText(char* t) override { note("getErrorText", {num(t)}); return yes(); }
    bool getVendorString(char* t) override { note("getVendorString", {num(t)}); return yes(); }
    bool getProductString(char* t) override { note("getProductString", {num(t)}); return yes(); }
    VstInt32 getVendorVersion() override { note("getVendorVersion"); return i32(); }
    VstIntPtr vendorSpecific(VstInt32 i, VstIntPtr v, void* q, float o) override { note("vendorSpecific", {double(i), double(v), num(q), o}); return answer; }
    VstInt32 canDo(char* t) override { note("canDo", {num(t)}); return i32(); }
    VstInt32 getGetTailSize() override { note("getGetTailSize"); return i32(); }
    VstInt32 fxIdle() override { note("fxIdle"); return i32(); }
    void* getIcon() override { note("getIcon"); return p<void>(); }
    bool setViewPosition(VstInt32 x, VstInt32 y) override { note("setViewPosition", {double(x), double(y)}); return yes(); }
    bool getParameterProperties(VstInt32 i, VstParameterProperties* q) override { note("getParameterProperties", {double(i), num(q)}); return yes(); }
    bool keysRequired() override { note("keysRequired"); return yes(); }
    VstInt32 getVstVersion() override { note("getVstVersion"); return i32(); }
    VstInt32 getMidiProgramName(VstInt32 c, MidiProgramName* n) override { note("getMidiProgramName", {double(c), num(n)}); return i32(); }
    VstInt32 getCurrentMidiProgram(VstInt32 c, MidiProgramName* n) override { note("getCurrentMidiProgram", {double(c), num(n)}); return i32(); }
    VstInt32 getMidiProgramCategory(VstInt32 c, MidiProgramCategory* n) override { note("getMidiProgramCategory", {double(c), num(n)}); return i32(); }
    bool hasMidiProgramsChanged(VstInt32 c) override { note("hasMidiProgramsChanged", {double(c)}); return yes(); }
    bool getMidiKeyName(VstInt32 c, MidiKeyName* k) override { note("getMidiKeyName", {double(c), num(k)}); return yes(); }
    bool beginSetProgram() override { note("beginSetProgram"); return yes(); }
    bool endSetProgram() override { note("endSetProgram"); return yes(); }
    bool getSpeakerArrangement(VstSpeakerArrangement** i, VstSpeakerArrangement** o) override { note("getSpeakerArrangement", {num(i), num(o)}); return yes(); }
    VstInt32 getNextShellPlugin(char* t) override { note("getNextShellPlugin", {num(t)}); return i32(); }
    VstInt32 startProcess() override { note("startProcess"); return i32(); }
    VstInt32 stopProcess() override { note("stopProcess"); return i32(); }
    VstInt32 setTotalSampleToProcess(VstInt32 v) override { note("setTotalSampleToProcess", {double(v)}); return i32(); }
    bool setPanLaw(VstInt32 t, float v) override { note("setPanLaw", {double(t), v}); return yes(); }
    VstInt32 beginLoadBank(VstPatchChunkInfo* i) override { note("beginLoadBank", {num(i)}); return i32(); }
    VstInt32 beginLoadProgram(VstPatchChunkInfo* i) override { note("beginLoadProgram", {num(i)}); return i32(); }
    bool setProcessPrecision(VstInt32 v) override { note("setProcessPrecision", {double(v)}); return yes(); }
    VstInt32 getNumMidiInputChannels() override { note("getNumMidiInputChannels"); return i32(); }
    VstInt32 getNumMidiOutputChannels() override { note("getNumMidiOutputChannels"); return i32(); }
};

// How an operation's result becomes the opcode's answer.
enum class Answer { Int32, Bool, Pointer, Zero, One, Inverse };

struct Route {
    VstInt32 opcode;
    VstInt32 index;
    VstIntPtr value;
    void* ptr;
    float opt;
    const char* op;
    std::vector<double> args;
    Answer answer;
    bool refusesNullPtr;
};

void* const P = reinterpret_cast<void*>(0x5000);
void* const Q = reinterpret_cast<void*>(0x6000);
const double PD = num(P);
const double QD = num(Q);
const VstIntPtr QV = reinterpret_cast<VstIntPtr>(Q);
constexpr VstIntPtr kWide = 0x1FFFFFFFE;  // low 32 bits -2, and non-zero in all 64

const std::vector<Route>& routes() {
    using A = Answer;
    static const std::vector<Route> table = {
        {effOpen, 0, 0, nullptr, 0, "open", {}, A::Zero, false},
        {effClose, 0, 0, nullptr, 0, "close", {}, A::Zero, false},
        {effSetProgram, 0, 3, nullptr, 0, "setProgram", {3}, A::Zero, false},
        {effGetProgram, 0, 0, nullptr, 0, "getProgram", {}, A::Int32, false},
        {effSetProgramName, 0, 0, P, 0, "setProgramName", {PD}, A::Zero, true},
        {effGetProgramName, 0, 0, P, 0, "getProgramName", {PD}, A::Zero, true},
        {effGetParamLabel, 2, 0, P, 0, "getParameterLabel", {2, PD}, A::Zero, true},
        {effGetParamDisplay, 2, 0, P, 0, "getParameterDisplay", {2, PD}, A::Zero, true},
        {effGetParamName, 2, 0, P, 0, "getParameterName", {2, PD}, A::Zero, true},
        {effSetSampleRate, 0, 0, nullptr, 48000.0f, "setSampleRate", {48000}, A::Zero, false},
        {effSetBlockSize, 0, 0x100000200, nullptr, 0, "setBlockSize", {512}, A::Zero, false},
        {effMainsChanged, 0, 0, nullptr, 0, "suspend", {}, A::Zero, false},
        {effMainsChanged, 0, 0x100000000, nullptr, 0, "resume", {}, A::Zero, false},
        {effGetChunk, 1, 0, P, 0, "getChunk", {PD, 1}, A::Int32, true},
        {effGetChunk, 0, 0, P, 0, "getChunk", {PD, 0}, A::Int32, true},
        {effSetChunk, 7, 100, P, 0, "setChunk", {PD, 100, 1}, A::Int32, true},
        {effProcessEvents, 0, 0, P, 0, "processEvents", {PD}, A::Int32, true},
        {effCanBeAutomated, 5, 0, nullptr, 0, "canParameterBeAutomated", {5}, A::Bool, false},
        {effString2Parameter, 1, 0, P, 0, "string2parameter", {1, PD}, A::Bool, false},
        {effGetNumProgramCategories, 0, 0, nullptr, 0, "getNumCategories", {}, A::Int32, false},
        {effGetProgramNameIndexed, 2, 3, P, 0, "getProgramNameIndexed", {3, 2, PD}, A::Bool, true},
        {effCopyProgram, 6, 0, nullptr, 0, "copyProgram", {6}, A::Bool, false},
        {effConnectInput, 1, 0x100000000, nullptr, 0, "inputConnected", {1, 1}, A::One, false},
        {effConnectOutput, 2, 0, nullptr, 0, "outputConnected", {2, 0}, A::One, false},
        {effGetInputProperties, 3, 0, P, 0, "getInputProperties", {3, PD}, A::Bool, true},
        {effGetOutputProperties, 3, 0, P, 0, "getOutputProperties", {3, PD}, A::Bool, true},
        {effGetPlugCategory, 0, 0, nullptr, 0, "getPlugCategory", {}, A::Int32, false},
        {effGetCurrentPosition, 0, 0, nullptr, 0, "reportCurrentPosition", {}, A::Int32, false},
        {effGetDestinationBuffer, 0, 0, nullptr, 0, "reportDestinationBuffer", {}, A::Pointer, false},
        {effOfflineNotify, 1, 4, P, 0, "offlineNotify", {PD, 4, 1}, A::Bool, true},
        {effOfflinePrepare, 0, 5, P, 0, "offlinePrepare", {PD, 5}, A::Bool, true},
        {effOfflineRun, 0, 5, P, 0, "offlineRun", {PD, 5}, A::Bool, true},
        {effProcessVarIo, 0, 0, P, 0, "processVariableIo", {PD}, A::Bool, true},
        {effSetSpeakerArrangement, 0, QV, P, 0, "setSpeakerArrangement", {QD, PD}, A::Bool, true},
        {effSetBlockSizeAndSampleRate, 0, 256, nullptr, 96000.0f, "setBlockSizeAndSampleRate", {256, 96000}, A::One, false},
        {effSetBypass, 0, 0x100000000, nullptr, 0, "setBypass", {1}, A::Bool, false},
        {effGetEffectName, 0, 0, P, 0, "getEffectName", {PD}, A::Bool, true},
        {effGetErrorText, 0, 0, P, 0, "getErrorText", {PD}, A::Bool, true},
        {effGetVendorString, 0, 0, P, 0, "getVendorString", {PD}, A::Bool, true},
        {effGetProductString, 0, 0, P, 0, "getProductString", {PD}, A::Bool, true},
        {effGetVendorVersion, 0, 0, nullptr, 0, "getVendorVersion", {}, A::Int32, false},
        {effVendorSpecific, -1, 0x123456789, P, 2.5f, "vendorSpecific", {-1, double(0x123456789), PD, 2.5}, A::Pointer, false},
        {effCanDo, 0, 0, P, 0, "canDo", {PD}, A::Int32, true},
        {effGetTailSize, 0, 0, nullptr, 0, "getGetTailSize", {}, A::Int32, false},
        {effIdle, 0, 0, nullptr, 0, "fxIdle", {}, A::Int32, false},
        {effGetIcon, 0, 0, nullptr, 0, "getIcon", {}, A::Pointer, false},
        {effSetViewPosition, 10, 20, nullptr, 0, "setViewPosition", {10, 20}, A::Bool, false},
        {effGetParameterProperties, 4, 0, P, 0, "getParameterProperties", {4, PD}, A::Bool, true},
        {effKeysRequired, 0, 0, nullptr, 0, "keysRequired", {}, A::Inverse, false},
        {effGetVstVersion, 0, 0, nullptr, 0, "getVstVersion", {}, A::Int32, false},
        {effGetMidiProgramName, 3, 0, P, 0, "getMidiProgramName", {3, PD}, A::Int32, true},
        {effGetCurrentMidiProgram, 3, 0, P, 0, "getCurrentMidiProgram", {3, PD}, A::Int32, true},
        {effGetMidiProgramCategory, 3, 0, P, 0, "getMidiProgramCategory", {3, PD}, A::Int32, true},
        {effHasMidiProgramsChanged, 9, 0, nullptr, 0, "hasMidiProgramsChanged", {9}, A::Bool, false},
        {effGetMidiKeyName, 3, 0, P, 0, "getMidiKeyName", {3, PD}, A::Bool, true},
        {effBeginSetProgram, 0, 0, nullptr, 0, "beginSetProgram", {}, A::Bool, false},
        {effEndSetProgram, 0, 0, nullptr, 0, "endSetProgram", {}, A::Bool, false},
        {effGetSpeakerArrangement, 0, QV, P, 0, "getSpeakerArrangement", {QD, PD}, A::Bool, true},
        {effShellGetNextPlugin, 0, 0, P, 0, "getNextShellPlugin", {PD}, A::Int32, true},
        {effStartProcess, 0, 0, nullptr, 0, "startProcess", {}, A::Int32, false},
        {effStopProcess, 0, 0, nullptr, 0, "stopProcess", {}, A::Int32, false},
        {effSetTotalSampleToProcess, 0, 0x100000200, nullptr, 0, "setTotalSampleToProcess", {512}, A::Int32, false},
        {effSetPanLaw, 0, 2, nullptr, 0.5f, "setPanLaw", {2, 0.5}, A::Bool, false},
        {effBeginLoadBank, 0, 0, P, 0, "beginLoadBank", {PD}, A::Int32, true},
        {effBeginLoadProgram, 0, 0, P, 0, "beginLoadProgram", {PD}, A::Int32, true},
        {effSetProcessPrecision, 0, 1, nullptr, 0, "setProcessPrecision", {1}, A::Bool, false},
        {effGetNumMidiInputChannels, 0, 0, nullptr, 0, "getNumMidiInputChannels", {}, A::Int32, false},
        {effGetNumMidiOutputChannels, 0, 0, nullptr, 0, "getNumMidiOutputChannels", {}, A::Int32, false},
    };
    return table;
}

VstIntPtr expectedAnswer(Answer kind, VstIntPtr result) {
    switch (kind) {
    case Answer::Int32: return static_cast<VstInt32>(result);
    case Answer::Bool: return result != 0 ? 1 : 0;
    case Answer::Pointer: return result;
    case Answer::Zero: return 0;
    case Answer::One: return 1;
    case Answer::Inverse: return result != 0 ? 0 : 1;
    }
    return -99;
}

TEST(Dispatcher, EachOpcodeReachesItsOperationWithItsArgumentsAndConvertsTheResult) {
    for (const Route& r : routes()) {
        for (VstIntPtr result : {kWide, VstIntPtr{0}}) {
            Probe probe;
            probe.answer = result;
            const VstIntPtr got = probe.dispatcher(r.opcode, r.index, r.value, r.ptr, r.opt);
            SCOPED_TRACE(std::string(r.op) + " via opcode " + std::to_string(r.opcode));
            EXPECT_EQ(got, expectedAnswer(r.answer, result)) << "result " << result;
            ASSERT_EQ(probe.log.size(), 1u);
            EXPECT_EQ(probe.log[0].op, r.op);
            EXPECT_EQ(probe.log[0].args, r.args);
        }
    }
}

TEST(Dispatcher, NullHostPointersAreRefusedWithoutCallingTheOperation) {
    for (const Route& r : routes()) {
        if (!r.refusesNullPtr) {
            continue;
        }
        // Both pointers of the speaker-arrangement opcodes count: try each one null.
        const bool twoPointers = r.opcode == effSetSpeakerArrangement || r.opcode == effGetSpeakerArrangement;
        for (int variant = 0; variant < (twoPointers ? 2 : 1); ++variant) {
            Probe probe;
            probe.answer = 1;
            const VstIntPtr value = twoPointers && variant == 1 ? 0 : r.value;
            void* ptr = twoPointers && variant == 1 ? r.ptr : nullptr;
            const VstIntPtr got = probe.dispatcher(r.opcode, r.index, value, ptr, r.opt);
            EXPECT_EQ(got, r.opcode == effGetCurrentMidiProgram ? -1 : 0) << r.op;
            EXPECT_TRUE(probe.log.empty()) << r.op;
        }
    }
}

TEST(Dispatcher, OpcodesOutsideEachTableAnswerZeroAndCallNothing) {
    Probe probe;
    probe.answer = 1;
    for (VstInt32 opcode : {-1, 25, 79, 1000, std::numeric_limits<VstInt32>::min()}) {
        EXPECT_EQ(probe.AudioEffect::dispatcher(opcode, 1, 1, P, 1.0f), 0) << opcode;
    }
    for (VstInt32 opcode : {-1, 80, 1000, std::numeric_limits<VstInt32>::min(), std::numeric_limits<VstInt32>::max()}) {
        EXPECT_EQ(probe.dispatcher(opcode, 1, 1, P, 1.0f), 0) << opcode;
    }
    for (VstInt32 opcode : {effEditDraw, effEditMouse, effEditKey, effEditTop, effEditSleep}) {
        EXPECT_EQ(probe.dispatcher(opcode, 1, 1, P, 1.0f), 0) << opcode;
    }
    EXPECT_TRUE(probe.log.empty());
    EXPECT_EQ(probe.dispatcher(effIdentify, 0, 0, nullptr, 0.0f), 0x4e764566);
}

TEST(Dispatcher, SetProgramIsBoundedAboveOnly) {
    Probe probe;
    probe.dispatcher(effSetProgram, 0, 4, nullptr, 0.0f);  // == numPrograms
    EXPECT_EQ(probe.currentProgram(), 0);
    probe.dispatcher(effSetProgram, 0, -1, nullptr, 0.0f);
    EXPECT_EQ(probe.currentProgram(), -1);
    // Below the int32 range the narrowing would wrap (here to 1): refused instead.
    probe.dispatcher(effSetProgram, 0, -0xFFFFFFFFLL, nullptr, 0.0f);
    EXPECT_EQ(probe.currentProgram(), -1);
    EXPECT_EQ(probe.dispatcher(effGetProgram, 0, 0, nullptr, 0.0f), 0);  // probe answers 0
}

TEST(Dispatcher, SetChunkRefusesByteCountsOutsideInt32) {
    Probe probe;
    for (VstIntPtr count : {VstIntPtr{-1}, VstIntPtr{0x80000000}}) {
        EXPECT_EQ(probe.dispatcher(effSetChunk, 0, count, P, 0.0f), 0);
    }
    EXPECT_TRUE(probe.log.empty());
}

TEST(Dispatcher, VuLevelIsScaledAndTruncated) {
    Probe probe;
    const std::pair<float, VstIntPtr> cases[] = {
        {0.5f, 16383}, {1.0f, 32767}, {-0.5f, -16383}, {std::nanf(""), 0}, {1e30f, INT64_MAX}, {-1e30f, INT64_MIN}};
    for (const auto& [level, answer] : cases) {
        probe.vu = level;
        EXPECT_EQ(probe.dispatcher(effGetVu, 0, 0, nullptr, 0.0f), answer) << level;
    }
}

// A plug-in that replaces nothing but the required processReplacing.
class Plain : public AudioEffectX {
public:
    explicit Plain(audioMasterCallback host = nullptr) : AudioEffectX(host, 1, 2) {}
    void processReplacing(float**, float**, VstInt32) override {}
    AEffect& record() { return cEffect; }
    float rate() const { return sampleRate; }
    VstInt32 frames() const { return blockSize; }
    VstInt32 program() const { return curProgram; }
};

TEST(BaseObject, FreshRecordAndFieldsHoldTheBaseValuesAndNoHostIsCalled) {
    ScriptedHost::reset();
    Plain plain(ScriptedHost::callback);
    const AEffect& r = plain.record();
    EXPECT_EQ(r.magic, kEffectMagic);
    EXPECT_EQ(r.numPrograms, 1);
    EXPECT_EQ(r.numParams, 2);
    EXPECT_EQ(r.numInputs, 1);
    EXPECT_EQ(r.numOutputs, 2);
    EXPECT_EQ(r.flags, 0x10);
    EXPECT_EQ(r.uniqueID, 0x4e6f4566);
    EXPECT_EQ(r.version, 1);
    EXPECT_EQ(r.ioRatio, 1.0f);
    EXPECT_EQ(r.user, nullptr);
    EXPECT_EQ(r.object, static_cast<void*>(static_cast<AudioEffect*>(&plain)));
    EXPECT_EQ(plain.getAeffect(), &r);
    EXPECT_EQ(AudioEffect::fromRecord(plain.getAeffect()), &plain);
    const char zeros[sizeof r.future] = {};
    EXPECT_EQ(std::memcmp(r.future, zeros, sizeof zeros), 0);
    EXPECT_EQ(plain.rate(), 44100.0f);
    EXPECT_EQ(plain.frames(), 1024);
    EXPECT_EQ(plain.program(), 0);
    EXPECT_TRUE(ScriptedHost::calls().empty());
}

TEST(BaseObject, EachFlagSetterChangesOnlyItsOwnBit) {
    using Setter = void (*)(Plain&, bool);
    const std::pair<Setter, VstInt32> setters[] = {
        {[](Plain& p, bool s) { p.canProcessReplacing(s); }, effFlagsCanReplacing},
        {[](Plain& p, bool s) { p.canDoubleReplacing(s); }, effFlagsCanDoubleReplacing},
        {[](Plain& p, bool s) { p.programsAreChunks(s); }, effFlagsProgramChunks},
        {[](Plain& p, bool s) { p.hasVu(s); }, effFlagsHasVu},
        {[](Plain& p, bool s) { p.hasClip(s); }, effFlagsHasClip},
        {[](Plain& p, bool s) { p.canMono(s); }, effFlagsCanMono},
        {[](Plain& p, bool s) { p.isSynth(s); }, effFlagsIsSynth},
        {[](Plain& p, bool s) { p.noTail(s); }, effFlagsNoSoundInStop},
        {[](Plain& p, bool s) { p.wantAsyncOperation(s); }, effFlagsExtIsAsync},
        {[](Plain& p, bool s) { p.hasExternalBuffer(s); }, effFlagsExtHasBuffer},
    };
    for (const auto& [set, bit] : setters) {
        Plain plain;
        plain.record().flags = ~0;
        set(plain, false);
        EXPECT_EQ(plain.record().flags, ~bit) << bit;
        plain.record().flags = 0;
        set(plain, true);
        set(plain, true);
        EXPECT_EQ(plain.record().flags, bit) << bit;
    }
}

TEST(Defaults, ExtendedOpcodesOfAPlainPlugin) {
    Plain plain;
    auto dispatch = [&](VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                        float opt = 0.0f) { return plain.dispatcher(opcode, index, value, ptr, opt); };
    char buffer[8];
    EXPECT_EQ(dispatch(effKeysRequired), 1);
    EXPECT_EQ(dispatch(effConnectInput, 0, 1), 1);
    EXPECT_EQ(dispatch(effConnectOutput, 0, 0), 1);
    EXPECT_EQ(dispatch(effSetBlockSizeAndSampleRate, 0, 512, nullptr, 96000.0f), 1);
    EXPECT_EQ(plain.getBlockSize(), 512);
    EXPECT_EQ(plain.getSampleRate(), 96000.0f);
    EXPECT_EQ(dispatch(effGetVstVersion), 2400);
    EXPECT_EQ(dispatch(effGetNumProgramCategories), 1);
    EXPECT_EQ(dispatch(effGetCurrentMidiProgram, 0, 0, buffer), -1);
    EXPECT_EQ(dispatch(effSetTotalSampleToProcess, 0, 512), 512);
    EXPECT_EQ(dispatch(effCanBeAutomated, 3), 1);
    EXPECT_EQ(dispatch(effGetDestinationBuffer), 0);
    EXPECT_EQ(dispatch(effGetIcon), 0);
    EXPECT_EQ(dispatch(effGetPlugCategory), kPlugCategUnknown);
    plain.isSynth(true);
    EXPECT_EQ(dispatch(effGetPlugCategory), kPlugCategSynth);

    VstSpeakerArrangement dummy{};
    VstSpeakerArrangement* input = &dummy;
    VstSpeakerArrangement* output = &dummy;
    EXPECT_EQ(dispatch(effGetSpeakerArrangement, 0, reinterpret_cast<VstIntPtr>(&input), &output), 0);
    EXPECT_EQ(input, nullptr);
    EXPECT_EQ(output, nullptr);
}

TEST(Defaults, RefusingDefaultsAnswerZeroAndLeaveTheHostsBuffersUntouched) {
    Plain plain;
    const VstInt32 nonZero[] = {effConnectInput, effConnectOutput, effSetBlockSizeAndSampleRate, effCanBeAutomated,
                                effGetNumProgramCategories, effKeysRequired, effGetVstVersion,
                                effGetCurrentMidiProgram, effGetSpeakerArrangement, effSetTotalSampleToProcess};
    unsigned char buffer[1024];
    unsigned char other[1024];
    for (VstInt32 opcode = effProcessEvents; opcode <= effGetNumMidiOutputChannels; ++opcode) {
        if (std::find(std::begin(nonZero), std::end(nonZero), opcode) != std::end(nonZero)) {
            continue;
        }
        std::memset(buffer, 0xA5, sizeof buffer);
        std::memset(other, 0x5A, sizeof other);
        EXPECT_EQ(plain.dispatcher(opcode, 1, reinterpret_cast<VstIntPtr>(other), buffer, 1.0f), 0) << opcode;
        EXPECT_TRUE(std::all_of(std::begin(buffer), std::end(buffer), [](unsigned char c) { return c == 0xA5; }));
        EXPECT_TRUE(std::all_of(std::begin(other), std::end(other), [](unsigned char c) { return c == 0x5A; }));
    }
}

TEST(Defaults, ResumeAsksForMidiForSynthsAndForPluginsThatReceiveIt) {
    ScriptedHost::reset();
    Plain plain(ScriptedHost::callback);
    plain.dispatcher(effMainsChanged, 0, 1, nullptr, 0.0f);
    EXPECT_TRUE(ScriptedHost::calls().empty());  // canDo answers 0 by default
    plain.isSynth(true);
    plain.dispatcher(effMainsChanged, 0, 1, nullptr, 0.0f);
    ASSERT_EQ(ScriptedHost::calls().size(), 1u);
    EXPECT_EQ(ScriptedHost::calls()[0].opcode, audioMasterWantMidi);
    EXPECT_EQ(ScriptedHost::calls()[0].value, 1);
    EXPECT_EQ(ScriptedHost::calls()[0].effect, plain.getAeffect());

    for (VstIntPtr canDo : {VstIntPtr{1}, VstIntPtr{2}, VstIntPtr{-1}}) {
        ScriptedHost::reset();
        Probe probe(ScriptedHost::callback);
        probe.answer = canDo;
        probe.AudioEffectX::resume();
        EXPECT_EQ(ScriptedHost::callsWith(audioMasterWantMidi).size(), canDo == 1 ? 1u : 0u) << canDo;
    }
}

}  // namespace
