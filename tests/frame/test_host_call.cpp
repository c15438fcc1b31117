// The host-call wrappers: the opcode and arguments each sends with the object's own record,
// how the host's answer becomes the result, and the fixed answers without a host.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "frame/audioeffectx.h"
#include "tests/frame/scripted_host.h"

namespace {

class Effect : public AudioEffectX {
public:
    explicit Effect(audioMasterCallback host) : AudioEffectX(host, 1, 1) {}
    void processReplacing(float**, float**, VstInt32) override {}
    void setParameter(VstInt32 index, float value) override {
        lastIndex = index;
        lastValue = value;
        hostCallsBefore = ScriptedHost::calls().size();
    }
    VstInt32 lastIndex = -1;
    float lastValue = 0.0f;
    std::size_t hostCallsBefore = 99;
};

template <typename T>
double num(T v) {
    if constexpr (std::is_pointer_v<T>) {
        return static_cast<double>(reinterpret_cast<std::uintptr_t>(v));
    } else {
        return static_cast<double>(v);
    }
}

void* const P = reinterpret_cast<void*>(0x7000);
constexpr VstIntPtr kAnswer = 5;
constexpr double kNone = -12345.0;  // the operation returns nothing

struct Wrapper {
    const char* name;
    std::function<double(Effect&)> call;
    VstInt32 opcode;
    VstInt32 index;
    VstIntPtr value;
    void* ptr;
    float opt;
    double withHost;     // result when the host answers kAnswer
    double withoutHost;  // result with a null host callback
};

const std::vector<Wrapper>& wrappers() {
    using V = VstIntPtr;
    static const std::vector<Wrapper> table = {
        {"setParameterAutomated", [](Effect& e) { e.setParameterAutomated(2, 0.5f); return kNone; }, audioMasterAutomate, 2, 0, nullptr, 0.5f, kNone, kNone},
        {"getMasterVersion", [](Effect& e) { return num(e.getMasterVersion()); }, audioMasterVersion, 0, 0, nullptr, 0, 5, 1},
        {"getCurrentUniqueId", [](Effect& e) { return num(e.getCurrentUniqueId()); }, audioMasterCurrentId, 0, 0, nullptr, 0, 5, 0},
        {"masterIdle", [](Effect& e) { e.masterIdle(); return kNone; }, audioMasterIdle, 0, 0, nullptr, 0, kNone, kNone},
        {"isInputConnected", [](Effect& e) { return num(e.isInputConnected(3)); }, audioMasterPinConnected, 3, 0, nullptr, 0, 0, 1},
        {"isOutputConnected", [](Effect& e) { return num(e.isOutputConnected(4)); }, audioMasterPinConnected, 4, 1, nullptr, 0, 0, 1},
        {"wantEvents", [](Effect& e) { e.wantEvents(-2); return kNone; }, audioMasterWantMidi, 0, -2, nullptr, 0, kNone, kNone},
        {"getTimeInfo", [](Effect& e) { return num(e.getTimeInfo(0xFFC7)); }, audioMasterGetTime, 0, 0xFFC7, nullptr, 0, 5, 0},
        {"sendVstEventsToHost", [](Effect& e) { return num(e.sendVstEventsToHost(static_cast<VstEvents*>(P))); }, audioMasterProcessEvents, 0, 0, P, 0, 0, 0},
        {"tempoAt", [](Effect& e) { return num(e.tempoAt(-3)); }, audioMasterTempoAt, 0, -3, nullptr, 0, 5, 0},
        {"getNumAutomatableParameters", [](Effect& e) { return num(e.getNumAutomatableParameters()); }, audioMasterGetNumAutomatableParameters, 0, 0, nullptr, 0, 5, 0},
        {"getParameterQuantization", [](Effect& e) { return num(e.getParameterQuantization()); }, audioMasterGetParameterQuantization, 0, 0, nullptr, 0, 5, 0},
        {"ioChanged", [](Effect& e) { return num(e.ioChanged()); }, audioMasterIOChanged, 0, 0, nullptr, 0, 1, 0},
        {"needIdle", [](Effect& e) { return num(e.needIdle()); }, audioMasterNeedIdle, 0, 0, nullptr, 0, 1, 0},
        {"sizeWindow", [](Effect& e) { return num(e.sizeWindow(640, -480)); }, audioMasterSizeWindow, 640, -480, nullptr, 0, 1, 0},
        {"updateSampleRate", [](Effect& e) { return num(e.updateSampleRate()); }, audioMasterGetSampleRate, 0, 0, nullptr, 0, 5, 44100},
        {"updateBlockSize", [](Effect& e) { return num(e.updateBlockSize()); }, audioMasterGetBlockSize, 0, 0, nullptr, 0, 5, 1024},
        {"getInputLatency", [](Effect& e) { return num(e.getInputLatency()); }, audioMasterGetInputLatency, 0, 0, nullptr, 0, 5, 0},
        {"getOutputLatency", [](Effect& e) { return num(e.getOutputLatency()); }, audioMasterGetOutputLatency, 0, 0, nullptr, 0, 5, 0},
        {"getPreviousPlug", [](Effect& e) { return num(e.getPreviousPlug(7)); }, audioMasterGetPreviousPlug, 0, 0, nullptr, 0, 5, 0},
        {"getNextPlug", [](Effect& e) { return num(e.getNextPlug(7)); }, audioMasterGetNextPlug, 0, 0, nullptr, 0, 5, 0},
        {"willProcessReplacing", [](Effect& e) { return num(e.willProcessReplacing()); }, audioMasterWillReplaceOrAccumulate, 0, 0, nullptr, 0, 5, 0},
        {"getCurrentProcessLevel", [](Effect& e) { return num(e.getCurrentProcessLevel()); }, audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0, 5, 0},
        {"getAutomationState", [](Effect& e) { return num(e.getAutomationState()); }, audioMasterGetAutomationState, 0, 0, nullptr, 0, 5, 0},
        {"offlineStart", [](Effect& e) { return num(e.offlineStart(static_cast<VstAudioFile*>(P), 3, 4)); }, audioMasterOfflineStart, 4, 3, P, 0, 1, 0},
        {"offlineRead", [](Effect& e) { return num(e.offlineRead(static_cast<VstOfflineTask*>(P), -6, true)); }, audioMasterOfflineRead, 1, -6, P, 0, 1, 0},
        {"offlineWrite", [](Effect& e) { return num(e.offlineWrite(static_cast<VstOfflineTask*>(P), 9)); }, audioMasterOfflineWrite, 0, 9, P, 0, 1, 0},
        {"offlineGetCurrentPass", [](Effect& e) { return num(e.offlineGetCurrentPass()); }, audioMasterOfflineGetCurrentPass, 0, 0, nullptr, 0, 1, 0},
        {"offlineGetCurrentMetaPass", [](Effect& e) { return num(e.offlineGetCurrentMetaPass()); }, audioMasterOfflineGetCurrentMetaPass, 0, 0, nullptr, 0, 1, 0},
        {"setOutputSamplerate", [](Effect& e) { return num(e.setOutputSamplerate(48000.0f)); }, audioMasterSetOutputSampleRate, 0, 0, nullptr, 48000.0f, 1, 0},
        {"getOutputSpeakerArrangement", [](Effect& e) { return num(e.getOutputSpeakerArrangement()); }, audioMasterGetOutputSpeakerArrangement, 0, 0, nullptr, 0, 5, 0},
        {"getHostVendorString", [](Effect& e) { return num(e.getHostVendorString(static_cast<char*>(P))); }, audioMasterGetVendorString, 0, 0, P, 0, 1, 0},
        {"getHostProductString", [](Effect& e) { return num(e.getHostProductString(static_cast<char*>(P))); }, audioMasterGetProductString, 0, 0, P, 0, 1, 0},
        {"getHostVendorVersion", [](Effect& e) { return num(e.getHostVendorVersion()); }, audioMasterGetVendorVersion, 0, 0, nullptr, 0, 5, 0},
        {"hostVendorSpecific", [](Effect& e) { return num(e.hostVendorSpecific(-7, V{0x100000000}, P, 1.5f)); }, audioMasterVendorSpecific, -7, 0x100000000, P, 1.5f, 5, 0},
        {"canHostDo", [](Effect& e) { return num(e.canHostDo(static_cast<char*>(P))); }, audioMasterCanDo, 0, 0, P, 0, 1, 0},
        {"getHostLanguage", [](Effect& e) { return num(e.getHostLanguage()); }, audioMasterGetLanguage, 0, 0, nullptr, 0, 5, 0},
        {"openWindow", [](Effect& e) { return num(e.openWindow(static_cast<VstWindow*>(P))); }, audioMasterOpenWindow, 0, 0, P, 0, 5, 0},
        {"closeWindow", [](Effect& e) { return num(e.closeWindow(static_cast<VstWindow*>(P))); }, audioMasterCloseWindow, 0, 0, P, 0, 1, 0},
        {"getDirectory", [](Effect& e) { return num(e.getDirectory()); }, audioMasterGetDirectory, 0, 0, nullptr, 0, 5, 0},
        {"updateDisplay", [](Effect& e) { return num(e.updateDisplay()); }, audioMasterUpdateDisplay, 0, 0, nullptr, 0, 1, 0},
        {"beginEdit", [](Effect& e) { return num(e.beginEdit(8)); }, audioMasterBeginEdit, 8, 0, nullptr, 0, 1, 0},
        {"endEdit", [](Effect& e) { return num(e.endEdit(8)); }, audioMasterEndEdit, 8, 0, nullptr, 0, 1, 0},
        {"openFileSelector", [](Effect& e) { return num(e.openFileSelector(static_cast<VstFileSelect*>(P))); }, audioMasterOpenFileSelector, 0, 0, P, 0, 1, 0},
        {"closeFileSelector", [](Effect& e) { return num(e.closeFileSelector(static_cast<VstFileSelect*>(P))); }, audioMasterCloseFileSelector, 0, 0, P, 0, 1, 0},
        {"getChunkFile", [](Effect& e) { return num(e.getChunkFile(P)); }, audioMasterGetChunkFile, 0, 0, P, 0, 1, 0},
        {"getInputSpeakerArrangement", [](Effect& e) { return num(e.getInputSpeakerArrangement()); }, audioMasterGetInputSpeakerArrangement, 0, 0, nullptr, 0, 5, 0},
    };
    return table;
}

TEST(HostCalls, EachWrapperSendsItsOpcodeAndArgumentsWithTheOwnRecord) {
    for (const Wrapper& w : wrappers()) {
        ScriptedHost::reset([](const HostCall&) { return kAnswer; });
        Effect effect(ScriptedHost::callback);
        const double result = w.call(effect);
        SCOPED_TRACE(w.name);
        ASSERT_EQ(ScriptedHost::calls().size(), 1u);
        const HostCall& c = ScriptedHost::calls()[0];
        EXPECT_EQ(c.effect, effect.getAeffect());
        EXPECT_EQ(c.opcode, w.opcode);
        EXPECT_EQ(c.index, w.index);
        EXPECT_EQ(c.value, w.value);
        EXPECT_EQ(c.ptr, w.ptr);
        EXPECT_EQ(c.opt, w.opt);
        EXPECT_EQ(result, w.withHost);
    }
}

TEST(HostCalls, WithoutHostEachWrapperAnswersItsFixedValue) {
    for (const Wrapper& w : wrappers()) {
        Effect effect(nullptr);
        EXPECT_EQ(w.call(effect), w.withoutHost) << w.name;
    }
}

// Runs one wrapper against a host that answers `answer` to everything.
template <typename F>
double withAnswer(VstIntPtr answer, F call) {
    ScriptedHost::reset([answer](const HostCall&) { return answer; });
    Effect effect(ScriptedHost::callback);
    return num(call(effect));
}

TEST(HostCalls, AnswersAreConvertedAsEachWrapperDefines) {
    constexpr VstIntPtr kHighOnly = 0x100000000;  // zero in the low 32 bits only
    auto version = [](Effect& e) { return e.getMasterVersion(); };
    EXPECT_EQ(withAnswer(0, version), 1);
    EXPECT_EQ(withAnswer(kHighOnly, version), 1);
    EXPECT_EQ(withAnswer(2400, version), 2400);

    auto input = [](Effect& e) { return e.isInputConnected(0); };
    EXPECT_EQ(withAnswer(0, input), 1);
    EXPECT_EQ(withAnswer(kHighOnly, input), 1);
    EXPECT_EQ(withAnswer(1, input), 0);

    auto send = [](Effect& e) { return e.sendVstEventsToHost(nullptr); };
    EXPECT_EQ(withAnswer(1, send), 1);
    EXPECT_EQ(withAnswer(2, send), 0);
    EXPECT_EQ(withAnswer(kHighOnly + 1, send), 0);

    auto canDo = [](Effect& e) {
        char text[] = "sendVstEvents";
        return e.canHostDo(text);
    };
    EXPECT_EQ(withAnswer(-1, canDo), 1);  // the base counts "no" as yes; the bridge replaces it
    EXPECT_EQ(withAnswer(0, canDo), 0);

    EXPECT_EQ(withAnswer(kHighOnly, [](Effect& e) { return e.ioChanged(); }), 1);  // all 64 bits
    EXPECT_EQ(withAnswer(kHighOnly, [](Effect& e) { return e.offlineGetCurrentPass(); }), 1);
    EXPECT_EQ(withAnswer(kHighOnly - 3, [](Effect& e) { return e.tempoAt(0); }), -3);  // low 32 bits
}

TEST(HostCalls, SampleRateAndBlockSizeChangeOnlyOnPositiveAnswers) {
    VstIntPtr answer = 48000;
    ScriptedHost::reset([&answer](const HostCall&) { return answer; });
    Effect effect(ScriptedHost::callback);
    EXPECT_EQ(effect.updateSampleRate(), 48000.0);
    EXPECT_EQ(effect.getSampleRate(), 48000.0f);
    for (VstIntPtr refused : {VstIntPtr{-1}, VstIntPtr{0}}) {
        answer = refused;
        EXPECT_EQ(effect.updateSampleRate(), 48000.0);
        EXPECT_EQ(effect.updateBlockSize(), 1024);
    }
    answer = 0x100000100;  // low 32 bits 256
    EXPECT_EQ(effect.updateBlockSize(), 256);
    answer = 0x80000000;  // low 32 bits negative
    EXPECT_EQ(effect.updateBlockSize(), 256);
    EXPECT_EQ(effect.getBlockSize(), 256);
}

TEST(HostCalls, NullSelectorsAndPathsAreNotSent) {
    ScriptedHost::reset([](const HostCall&) { return VstIntPtr{1}; });
    Effect effect(ScriptedHost::callback);
    EXPECT_FALSE(effect.openFileSelector(nullptr));
    EXPECT_FALSE(effect.closeFileSelector(nullptr));
    EXPECT_FALSE(effect.getChunkFile(nullptr));
    EXPECT_TRUE(ScriptedHost::calls().empty());
}

TEST(HostCalls, SetParameterAutomatedSetsTheParameterFirstEvenWithoutHost) {
    ScriptedHost::reset();
    Effect effect(ScriptedHost::callback);
    effect.setParameterAutomated(1, 0.75f);
    EXPECT_EQ(effect.lastIndex, 1);
    EXPECT_EQ(effect.lastValue, 0.75f);
    EXPECT_EQ(effect.hostCallsBefore, 0u);
    EXPECT_EQ(ScriptedHost::callsWith(audioMasterAutomate).size(), 1u);

    Effect alone(nullptr);
    alone.setParameterAutomated(2, 0.25f);
    EXPECT_EQ(alone.lastIndex, 2);
    EXPECT_EQ(alone.lastValue, 0.25f);
}

}  // namespace
