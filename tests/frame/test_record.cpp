// The test plug-in module loaded and driven through its exports and its record only, as a
// host does, with a scripted host callback.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "tests/frame/module_loader.h"
#include "tests/frame/scripted_host.h"
#include "tests/frame/frame_test_plugin_protocol.h"

namespace {

using EntryPoint = AEffect* (*)(audioMasterCallback);

class LoadedPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        ScriptedHost::reset();
        module = loadModuleBesideTests(TOLVANE_TEST_PLUGIN_FILE);
        ASSERT_NE(module, nullptr) << lastLoadError();
        entry = reinterpret_cast<EntryPoint>(findExport(module, "VSTPluginMain"));
        ASSERT_NE(entry, nullptr);
    }
    void TearDown() override {
        if (module != nullptr) {
            unloadModule(module);
        }
    }

    // A record from the entry point, or a test failure.
    AEffect* create() {
        AEffect* effect = entry(ScriptedHost::callback);
        EXPECT_NE(effect, nullptr);
        return effect;
    }
    static VstIntPtr dispatch(AEffect* effect, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0,
                              void* ptr = nullptr, float opt = 0.0f) {
        return effect->dispatcher(effect, opcode, index, value, ptr, opt);
    }
    static void close(AEffect* effect) { EXPECT_EQ(dispatch(effect, effClose), 1); }

    void* module = nullptr;
    EntryPoint entry = nullptr;
};

TEST_F(LoadedPlugin, MainIsTheSameFunctionAsVSTPluginMain) {
    EXPECT_EQ(findExport(module, "main"), reinterpret_cast<void*>(entry));
}

TEST_F(LoadedPlugin, EntryAsksTheVersionFirstAndAcceptsEveryNonZeroAnswer) {
    for (VstIntPtr version : {VstIntPtr{1}, VstIntPtr{2400}, VstIntPtr{-1}, VstIntPtr{0x100000000}}) {
        ScriptedHost::reset([version](const HostCall& call) { return call.opcode == audioMasterVersion ? version : 0; });
        AEffect* effect = create();
        ASSERT_NE(effect, nullptr) << version;
        const HostCall& first = ScriptedHost::calls().front();
        EXPECT_EQ(first.effect, nullptr);
        EXPECT_EQ(first.opcode, audioMasterVersion);
        EXPECT_EQ(first.index, 0);
        EXPECT_EQ(first.value, 0);
        EXPECT_EQ(first.ptr, nullptr);
        EXPECT_EQ(first.opt, 0.0f);
        close(effect);
    }
}

TEST_F(LoadedPlugin, EntryAnswersNullAndCreatesNothingWhenItCannot) {
    EXPECT_EQ(entry(nullptr), nullptr);

    ScriptedHost::reset([](const HostCall&) { return VstIntPtr{0}; });  // version 0
    EXPECT_EQ(entry(ScriptedHost::callback), nullptr);
    EXPECT_EQ(ScriptedHost::calls().size(), 1u);

    for (VstIntPtr refusal : {kFactoryRefuse, kFactoryThrow}) {
        ScriptedHost::reset([refusal](const HostCall& call) {
            return call.opcode == audioMasterVersion ? VstIntPtr{2400} : refusal;
        });
        EXPECT_EQ(entry(ScriptedHost::callback), nullptr) << refusal;
        EXPECT_TRUE(ScriptedHost::callsWith(audioMasterVendorSpecific).size() == 1u);
    }
}

TEST_F(LoadedPlugin, RecordShowsWhatThePluginSet) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(effect->magic, 0x56737450);
    EXPECT_EQ(effect->numPrograms, kTestPrograms);
    EXPECT_EQ(effect->numParams, kTestParams);
    EXPECT_EQ(effect->numInputs, 2);
    EXPECT_EQ(effect->numOutputs, 2);
    EXPECT_EQ(effect->flags, effFlagsCanReplacing | effFlagsCanDoubleReplacing);
    EXPECT_EQ(effect->uniqueID, kTestUniqueId);
    EXPECT_EQ(effect->version, 1);
    EXPECT_EQ(effect->ioRatio, 1.0f);
    close(effect);
}

TEST_F(LoadedPlugin, TwoInstancesAreIndependent) {
    AEffect* first = create();
    AEffect* second = create();
    ASSERT_TRUE(first != nullptr && second != nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first->object, second->object);
    first->setParameter(first, 0, 0.25f);
    second->setParameter(second, 0, 0.75f);
    EXPECT_EQ(first->getParameter(first, 0), 0.25f);
    EXPECT_EQ(second->getParameter(second, 0), 0.75f);
    close(first);
    EXPECT_EQ(second->getParameter(second, 0), 0.75f);
    close(second);
}

TEST_F(LoadedPlugin, CloseAnswersOneThenClosesAndDeletesTheObject) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    ScriptedHost::reset();
    EXPECT_EQ(dispatch(effect, effClose), 1);  // the plug-in's own dispatcher answered kCloseAnswer
    const auto reports = ScriptedHost::callsWith(audioMasterVendorSpecific);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].index, kReportClose);
    EXPECT_EQ(reports[1].index, kReportDestroyed);
    EXPECT_EQ(reports[0].effect, effect);
}

TEST_F(LoadedPlugin, ProcessingCallsReachTheirOperationsUnchanged) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    float in0[4] = {1, 2, 3, 4}, in1[4] = {-1, -2, -3, -4}, out0[4] = {10, 10, 10, 10}, out1[4] = {};
    float* inputs[2] = {in0, in1};
    float* outputs[2] = {out0, out1};
    effect->process(effect, inputs, outputs, 4);  // accumulates
    EXPECT_EQ(out0[3], 14.0f);
    EXPECT_EQ(out1[1], -2.0f);
    effect->processReplacing(effect, inputs, outputs, 3);
    EXPECT_EQ(out0[2], 6.0f);
    EXPECT_EQ(out0[3], 14.0f);  // only 3 frames
    EXPECT_EQ(out1[0], -2.0f);

    double din[2][2] = {{1, 2}, {3, 4}}, dout[2][2] = {};
    double* dinputs[2] = {din[0], din[1]};
    double* doutputs[2] = {dout[0], dout[1]};
    effect->processDoubleReplacing(effect, dinputs, doutputs, 2);
    EXPECT_EQ(dout[1][1], 12.0);
    close(effect);
}

TEST_F(LoadedPlugin, ExceptionsStopAtTheRecord) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    EXPECT_EQ(dispatch(effect, effVendorSpecific, kRequestThrow), 0);
    effect->setParameter(effect, kThrowingParameter, 1.0f);
    EXPECT_EQ(effect->getParameter(effect, kThrowingParameter), 0.0f);
    float buffer[kThrowingFrames] = {};
    float* channels[2] = {buffer, buffer};
    effect->process(effect, channels, channels, kThrowingFrames);
    effect->processReplacing(effect, channels, channels, kThrowingFrames);
    double dbuffer[kThrowingFrames] = {};
    double* dchannels[2] = {dbuffer, dbuffer};
    effect->processDoubleReplacing(effect, dchannels, dchannels, kThrowingFrames);
    // Still usable afterwards.
    effect->setParameter(effect, 1, 0.5f);
    EXPECT_EQ(effect->getParameter(effect, 1), 0.5f);
    close(effect);
}

TEST_F(LoadedPlugin, RecordsThatAreNotOursGetNeutralAnswers) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    AEffect copy = *effect;  // same object pointer, but not the record embedded in it
    EXPECT_EQ(copy.dispatcher(&copy, effClose, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(copy.dispatcher(&copy, effGetVstVersion, 0, 0, nullptr, 0.0f), 0);
    copy.object = nullptr;
    EXPECT_EQ(copy.getParameter(&copy, 0), 0.0f);
    EXPECT_EQ(effect->dispatcher(nullptr, effGetVstVersion, 0, 0, nullptr, 0.0f), 0);
    EXPECT_EQ(dispatch(effect, effGetVstVersion), 2400);  // the real one still answers
    close(effect);
}

TEST_F(LoadedPlugin, TextAndRecordOpcodesWriteThroughTheHostsPointers) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    char text[kVstMaxProgNameLen + 1] = {};
    char name[] = "Lead";
    dispatch(effect, effSetProgramName, 0, 0, name);
    dispatch(effect, effGetProgramName, 0, 0, text);
    EXPECT_STREQ(text, "Lead");
    dispatch(effect, effGetParamName, 2, 0, text);
    EXPECT_STREQ(text, "Param2");
    effect->setParameter(effect, 1, 0.5f);
    dispatch(effect, effGetParamDisplay, 1, 0, text);
    EXPECT_STREQ(text, "0.500000");
    EXPECT_EQ(dispatch(effect, effGetEffectName, 0, 0, text), 1);
    EXPECT_STREQ(text, "FrameTest");
    char typed[] = "0.25";
    EXPECT_EQ(dispatch(effect, effString2Parameter, 2, 0, typed), 1);
    EXPECT_EQ(effect->getParameter(effect, 2), 0.25f);
    VstPinProperties pin{};
    EXPECT_EQ(dispatch(effect, effGetOutputProperties, 1, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Out");
    void* chunk = nullptr;
    EXPECT_EQ(dispatch(effect, effGetChunk, 0, 0, &chunk), 16);
    ASSERT_NE(chunk, nullptr);
    EXPECT_STREQ(static_cast<char*>(chunk), "chunk");
    close(effect);
}

TEST_F(LoadedPlugin, NullHostPointersNeverReachThePlugin) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    for (VstInt32 opcode : {effSetProgramName, effGetProgramName, effGetParamLabel, effGetParamDisplay,
                            effGetParamName, effGetChunk, effSetChunk, effProcessEvents, effGetInputProperties,
                            effGetOutputProperties, effGetEffectName, effGetVendorString, effGetProductString,
                            effCanDo}) {
        EXPECT_EQ(dispatch(effect, opcode, 0, 4), 0) << opcode;
    }
    // A null text for effString2Parameter is the host asking whether text entry works.
    EXPECT_EQ(dispatch(effect, effString2Parameter, 0, 0, nullptr), 1);
    close(effect);
}

TEST_F(LoadedPlugin, HostCallsCarryTheRecordAndResumeAsksForMidi) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    ScriptedHost::reset();
    dispatch(effect, effMainsChanged, 0, 1);  // resume: the plug-in's canDo says yes to MIDI
    const auto wanted = ScriptedHost::callsWith(audioMasterWantMidi);
    ASSERT_EQ(wanted.size(), 1u);
    EXPECT_EQ(wanted[0].effect, effect);
    EXPECT_EQ(wanted[0].value, 1);
    close(effect);
}

TEST_F(LoadedPlugin, ModuleHandleIsTheLoadedModule) {
    AEffect* effect = create();
    ASSERT_NE(effect, nullptr);
    const VstIntPtr handle = dispatch(effect, effVendorSpecific, kRequestModuleHandle);
    EXPECT_NE(handle, 0);
    EXPECT_EQ(reinterpret_cast<void*>(handle), expectedModuleHandle(module));
    close(effect);
}

}  // namespace
