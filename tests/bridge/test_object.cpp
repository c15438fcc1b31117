// The bridge object as a host sees it without a slave: construction, identity, capabilities,
// pins, settings and parameters, all through the plug-in record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "bridge_fixture.h"

namespace {

VstIntPtr dispatch(CTolvane* b, VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                   float opt = 0.0f) {
    AEffect* e = b->getAeffect();
    return e->dispatcher(e, opcode, index, value, ptr, opt);
}

std::string text(CTolvane* b, VstInt32 opcode, VstInt32 index = 0) {
    char buffer[256];
    std::memset(buffer, 'x', sizeof buffer);
    dispatch(b, opcode, index, 0, buffer);
    buffer[255] = 0;
    return buffer;
}

float param(CTolvane* b, VstInt32 index) {
    AEffect* e = b->getAeffect();
    return e->getParameter(e, index);
}

void setParam(CTolvane* b, VstInt32 index, float value) {
    AEffect* e = b->getAeffect();
    e->setParameter(e, index, value);
}

std::string display(CTolvane* b, VstInt32 index) { return text(b, effGetParamDisplay, index); }

bool typed(CTolvane* b, VstInt32 index, const char* s) {
    return dispatch(b, effString2Parameter, index, 0, const_cast<char*>(s)) != 0;
}

class BridgeObject : public ::testing::Test {
protected:
    FakeHost host;
    SettingsSandbox sandbox;
};

}  // namespace

TEST_F(BridgeObject, FirstRunDefaultsAndIdentity) {
    CTolvane* b = makeBridge(sandbox);
    AEffect* e = b->getAeffect();
    EXPECT_EQ(e->numInputs, 2);
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->numParams, 4);
    EXPECT_EQ(e->numPrograms, 1);
    EXPECT_EQ(e->uniqueID, fourCharCode('T', 'o', 'l', 'v'));
    EXPECT_EQ(e->flags & effFlagsCanReplacing, effFlagsCanReplacing);
    EXPECT_EQ(e->flags & (effFlagsIsSynth | effFlagsCanMono | effFlagsHasVu | effFlagsHasClip), 0);
    EXPECT_TRUE(b->configDlg);
    EXPECT_TRUE(b->termSlave);
    EXPECT_FALSE(b->connected);
    EXPECT_FALSE(b->startPending);
    EXPECT_TRUE(b->suspended);
    EXPECT_FALSE(b->suspendStateSent);
    EXPECT_EQ(text(b, effGetEffectName), "Tolvane");
    EXPECT_EQ(text(b, effGetVendorString), "Edrin Vantor");
    EXPECT_EQ(text(b, effGetProductString), "Palisor Bandwick: Tolvane");
    EXPECT_EQ(text(b, effGetProgramName), "--Fixed--");
    EXPECT_EQ(dispatch(b, effGetVendorVersion), 1008);
    EXPECT_EQ(dispatch(b, effGetPlugCategory), kPlugCategUnknown);
    // The dialog setting was on, so the settings were written back (the dialog could not be shown).
    std::int32_t v = -5;
    ASSERT_TRUE(sandbox.read("NumInputs", v));
    EXPECT_EQ(v, 2);
    ASSERT_TRUE(sandbox.read("ConfigDlg", v));
    EXPECT_EQ(v, 1);
    closeBridge(b);
}

TEST_F(BridgeObject, InstrumentDiffersOnlyInIdentity) {
    CTolvane* b = makeBridge(sandbox, true);
    AEffect* e = b->getAeffect();
    EXPECT_EQ(e->uniqueID, fourCharCode('T', 'o', 'l', 'I'));
    EXPECT_EQ(e->flags & effFlagsIsSynth, effFlagsIsSynth);
    EXPECT_EQ(dispatch(b, effGetPlugCategory), kPlugCategSynth);
    EXPECT_EQ(text(b, effGetEffectName), "Tolvane VSTi");
    EXPECT_EQ(text(b, effGetProductString), "Palisor Bandwick: Tolvane VSTi");
    char send[] = "plugAsSend";
    char insert[] = "plugAsChannelInsert";
    char time[] = "receiveVstTimeInfo";
    EXPECT_EQ(dispatch(b, effCanDo, 0, 0, send), -1);
    EXPECT_EQ(dispatch(b, effCanDo, 0, 0, insert), -1);
    EXPECT_EQ(dispatch(b, effCanDo, 0, 0, time), 1);
    closeBridge(b);
}

TEST_F(BridgeObject, CanDoTableIsExactAndCaseSensitive) {
    CTolvane* b = makeBridge(sandbox);
    for (const char* s : {"sendVstEvents", "receiveVstEvents", "sendVstMidiEvent", "receiveVstMidiEvent",
                          "receiveVstTimeInfo", "conformsToWindowRules", "plugAsChannelInsert", "plugAsSend"}) {
        EXPECT_EQ(dispatch(b, effCanDo, 0, 0, const_cast<char*>(s)), 1) << s;
    }
    char capital[] = "SendVstEvents";
    char other[] = "bypass";
    EXPECT_EQ(dispatch(b, effCanDo, 0, 0, capital), -1);
    EXPECT_EQ(dispatch(b, effCanDo, 0, 0, other), -1);
    EXPECT_EQ(dispatch(b, effCanDo, 0, 0, nullptr), 0);  // a null text is refused by the frame
    closeBridge(b);
}

TEST_F(BridgeObject, HostCapabilitiesCountOnlyWhenPositive) {
    host.canDoAnswers["acceptIOChanges"] = -1;
    host.canDoAnswers["asyncProcessing"] = -1;
    CTolvane* b = makeBridge(sandbox);
    EXPECT_FALSE(b->hostAcceptsIo);
    EXPECT_FALSE(b->hostCanAsync);
    EXPECT_EQ(b->getAeffect()->numParams, 4);
    closeBridge(b);

    host.canDoAnswers["acceptIOChanges"] = 1;
    host.canDoAnswers["asyncProcessing"] = 1;
    b = makeBridge(sandbox);
    EXPECT_TRUE(b->hostAcceptsIo);
    EXPECT_TRUE(b->hostCanAsync);
    EXPECT_EQ(b->getAeffect()->numParams, 7);
    EXPECT_TRUE(b->configDlg);  // off by default with such a host, but the first run stored 1
    closeBridge(b);
}

TEST_F(BridgeObject, SettingsAreReadClampedAndDecideMono) {
    sandbox.write("NumInputs", 1);
    sandbox.write("NumOutputs", 2);
    sandbox.write("ConfigDlg", 0);
    sandbox.write("TermSlave", 0);
    CTolvane* b = makeBridge(sandbox);
    EXPECT_EQ(b->getAeffect()->numInputs, 1);
    EXPECT_EQ(b->getAeffect()->flags & effFlagsCanMono, effFlagsCanMono);
    EXPECT_FALSE(b->termSlave);
    closeBridge(b);

    sandbox.write("NumInputs", 40);
    sandbox.write("NumOutputs", 0);
    b = makeBridge(sandbox);
    EXPECT_EQ(b->io.numInputs, 16);
    EXPECT_EQ(b->io.numOutputs, 1);
    EXPECT_EQ(b->getAeffect()->flags & effFlagsCanMono, 0);
    closeBridge(b);

    sandbox.write("NumInputs", -3);
    sandbox.write("NumOutputs", 99);
    b = makeBridge(sandbox);
    EXPECT_EQ(b->io.numInputs, 0);
    EXPECT_EQ(b->io.numOutputs, 16);
    closeBridge(b);
}

TEST_F(BridgeObject, NothingIsWrittenWithoutTheDialog) {
    host.canDoAnswers["acceptIOChanges"] = 1;  // dialog off
    CTolvane* b = makeBridge(sandbox);
    EXPECT_FALSE(b->configDlg);
    std::int32_t v = 0;
    EXPECT_FALSE(sandbox.read("NumInputs", v));
    // Setting a parameter to its present value writes nothing either.
    setParam(b, 3, 1.0f);  // TrmSlave already on
    setParam(b, 2, 0.0f);  // CfgDlg already off
    EXPECT_FALSE(sandbox.read("TermSlave", v));
    EXPECT_FALSE(sandbox.read("ConfigDlg", v));
    setParam(b, 3, 0.0f);
    ASSERT_TRUE(sandbox.read("TermSlave", v));
    EXPECT_EQ(v, 0);
    closeBridge(b);
}

TEST_F(BridgeObject, PinLabels) {
    sandbox.write("NumInputs", 3);
    sandbox.write("NumOutputs", 16);
    sandbox.write("StereoPins", 1);
    CTolvane* b = makeBridge(sandbox);
    VstPinProperties pin{};
    const char* labels[] = {"Input 1 L", "Input 1 R", "Input 2"};
    const VstInt32 flags[] = {3, 1, 1};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(dispatch(b, effGetInputProperties, i, 0, &pin), 1);
        EXPECT_STREQ(pin.label, labels[i]);
        EXPECT_EQ(pin.flags, flags[i]);
    }
    EXPECT_EQ(dispatch(b, effGetInputProperties, 3, 0, &pin), 0);
    EXPECT_EQ(dispatch(b, effGetInputProperties, -1, 0, &pin), 0);
    ASSERT_EQ(dispatch(b, effGetOutputProperties, 15, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Output 8 R");
    ASSERT_EQ(dispatch(b, effGetOutputProperties, 14, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Output 8 L");
    EXPECT_EQ(pin.flags, 3);
    closeBridge(b);

    sandbox.write("NumInputs", 1);
    sandbox.write("StereoPins", 1);
    b = makeBridge(sandbox);
    ASSERT_EQ(dispatch(b, effGetInputProperties, 0, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Input 1");
    EXPECT_EQ(pin.flags, 1);
    closeBridge(b);

    sandbox.write("NumInputs", 3);
    sandbox.write("StereoPins", 0);
    b = makeBridge(sandbox);
    ASSERT_EQ(dispatch(b, effGetInputProperties, 2, 0, &pin), 1);
    EXPECT_STREQ(pin.label, "Input 3");
    closeBridge(b);
}

TEST_F(BridgeObject, NullHostCallback) {
    CTolvane* b = new CTolvane(nullptr, sandbox.identity());
    AEffect* e = b->getAeffect();
    EXPECT_EQ(e->numInputs, 1);  // the base's record is kept
    EXPECT_EQ(e->numOutputs, 2);
    EXPECT_EQ(e->uniqueID, fourCharCode('N', 'o', 'E', 'f'));
    EXPECT_FALSE(b->hostCanAsync);
    EXPECT_FALSE(b->hostAcceptsIo);
    closeBridge(b);
}

// ---- Parameters ----

TEST_F(BridgeObject, EveryMappingRoundTrips) {
    host.canDoAnswers["acceptIOChanges"] = 1;
    host.canDoAnswers["asyncProcessing"] = 1;
    CTolvane* b = makeBridge(sandbox);
    for (int n = 0; n <= 16; ++n) {
        setParam(b, 4, static_cast<float>(n) * 0.0625f);
        EXPECT_EQ(b->pendingIo.numInputs, n);
        setParam(b, 4, param(b, 4));
        EXPECT_EQ(b->pendingIo.numInputs, n);
    }
    for (int n = 1; n <= 16; ++n) {
        setParam(b, 5, static_cast<float>(n - 1) / 15.0f);
        EXPECT_EQ(b->pendingIo.numOutputs, n);
        setParam(b, 5, param(b, 5));
        EXPECT_EQ(b->pendingIo.numOutputs, n);
    }
    for (VstInt32 index : {0, 2, 3, 6}) {
        for (float v : {0.0f, 1.0f}) {
            setParam(b, index, v);
            EXPECT_EQ(param(b, index), v) << index;
        }
    }
    closeBridge(b);
}

TEST_F(BridgeObject, SlaveNumberMappingRoundTrips) {
    // Renumbering opens the numbered objects; without a slave nothing connects.
    CTolvane* b = makeBridge(sandbox);
    for (int n = -1; n <= 16; ++n) {
        setParam(b, 1, static_cast<float>(n + 1) / 17.0f);
        EXPECT_EQ(b->slaveNumber, n);
        setParam(b, 1, param(b, 1));
        EXPECT_EQ(b->slaveNumber, n);
    }
    EXPECT_EQ(display(b, 1), "16");
    setParam(b, 1, 0.0f);
    EXPECT_EQ(display(b, 1), "Default");
    closeBridge(b);
}

TEST_F(BridgeObject, OutOfRangeValuesAreClamped) {
    host.canDoAnswers["acceptIOChanges"] = 1;
    CTolvane* b = makeBridge(sandbox);
    setParam(b, 4, 7.0f);
    EXPECT_EQ(b->pendingIo.numInputs, 16);
    setParam(b, 4, -3.0f);
    EXPECT_EQ(b->pendingIo.numInputs, 0);
    setParam(b, 5, 2.0f);
    EXPECT_EQ(b->pendingIo.numOutputs, 16);
    setParam(b, 5, std::nanf(""));
    EXPECT_EQ(b->pendingIo.numOutputs, 1);
    setParam(b, 1, 5.0f);
    EXPECT_EQ(b->slaveNumber, 16);
    setParam(b, 1, -1.0f);
    EXPECT_EQ(b->slaveNumber, -1);
    setParam(b, 6, std::nanf(""));
    EXPECT_FALSE(b->pendingIo.stereoPins);
    // A slave number above the parameter's range (typed into the dialog) answers the top.
    b->slaveNumber = 40;
    EXPECT_EQ(param(b, 1), 1.0f);
    EXPECT_EQ(display(b, 1), "40");
    closeBridge(b);
}

TEST_F(BridgeObject, NamesAndDisplays) {
    CTolvane* b = makeBridge(sandbox);
    EXPECT_EQ(text(b, effGetParamName, 0), "Synch");
    EXPECT_EQ(text(b, effGetParamName, 1), "Slave#");
    EXPECT_EQ(text(b, effGetParamName, 3), "TrmSlave");
    EXPECT_EQ(text(b, effGetParamName, 4), "");  // only 4 parameters on this host
    EXPECT_EQ(display(b, 4), "2");               // the display still answers
    EXPECT_EQ(display(b, 0), "On");
    EXPECT_EQ(display(b, 1), "Default");
    EXPECT_EQ(display(b, 9), "");
    EXPECT_EQ(text(b, effGetParamLabel, 0), "");
    EXPECT_FLOAT_EQ(param(b, 4), 0.125f);
    EXPECT_FLOAT_EQ(param(b, 5), 1.0f / 15.0f);
    EXPECT_EQ(param(b, 7), 0.0f);
    EXPECT_EQ(dispatch(b, effCanBeAutomated, 0), 0);  // Synch: only with asynchronous hosts
    EXPECT_EQ(dispatch(b, effCanBeAutomated, 1), 1);
    closeBridge(b);
}

TEST_F(BridgeObject, TypedText) {
    host.canDoAnswers["acceptIOChanges"] = 1;
    host.canDoAnswers["asyncProcessing"] = 1;
    CTolvane* b = makeBridge(sandbox);
    EXPECT_TRUE(typed(b, 0, "OFF"));
    EXPECT_FALSE(b->synchronous);
    EXPECT_TRUE(typed(b, 0, "ON"));
    EXPECT_TRUE(b->synchronous);
    EXPECT_TRUE(typed(b, 0, "-3"));
    EXPECT_FALSE(b->synchronous);
    EXPECT_TRUE(typed(b, 0, "2"));
    EXPECT_TRUE(b->synchronous);
    EXPECT_FALSE(typed(b, 0, "x"));
    EXPECT_TRUE(typed(b, 1, " 7 and more"));
    EXPECT_EQ(b->slaveNumber, 7);
    EXPECT_TRUE(typed(b, 1, "40"));
    EXPECT_EQ(b->slaveNumber, 16);
    EXPECT_TRUE(typed(b, 1, "-5"));
    EXPECT_EQ(b->slaveNumber, -1);
    EXPECT_TRUE(typed(b, 1, "99999999999999999999"));
    EXPECT_EQ(b->slaveNumber, 16);
    EXPECT_TRUE(typed(b, 5, "0"));
    EXPECT_EQ(b->pendingIo.numOutputs, 1);
    EXPECT_TRUE(typed(b, 5, "17"));
    EXPECT_EQ(b->pendingIo.numOutputs, 16);
    EXPECT_TRUE(typed(b, 4, "3"));
    EXPECT_EQ(b->pendingIo.numInputs, 3);
    EXPECT_TRUE(typed(b, 4, ""));
    EXPECT_EQ(b->pendingIo.numInputs, 3);
    EXPECT_TRUE(dispatch(b, effString2Parameter, 4, 0, nullptr) != 0);
    EXPECT_FALSE(typed(b, 7, "1"));
    closeBridge(b);

    host.canDoAnswers.erase("acceptIOChanges");
    b = makeBridge(sandbox);
    EXPECT_FALSE(typed(b, 4, "3"));  // only 4 parameters here
    closeBridge(b);
}

TEST_F(BridgeObject, PinChangeWaitsForSuspend) {
    host.canDoAnswers["acceptIOChanges"] = 1;
    CTolvane* b = makeBridge(sandbox);
    host.clear();
    setParam(b, 4, 0.5f);
    EXPECT_EQ(b->pendingIo.numInputs, 8);
    EXPECT_TRUE(b->pinChangePending);
    EXPECT_EQ(host.count(audioMasterIOChanged), 1);
    EXPECT_EQ(display(b, 4), "8");
    EXPECT_EQ(param(b, 4), 0.5f);
    VstPinProperties pin{};
    EXPECT_EQ(dispatch(b, effGetInputProperties, 2, 0, &pin), 0);  // still 2 inputs
    EXPECT_EQ(b->getAeffect()->numInputs, 2);
    std::int32_t v = 0;
    EXPECT_FALSE(sandbox.read("NumInputs", v));

    dispatch(b, effMainsChanged, 0, 1);  // resume: nothing applied
    EXPECT_EQ(b->getAeffect()->numInputs, 2);
    dispatch(b, effMainsChanged, 0, 0);  // suspend applies it
    EXPECT_EQ(b->getAeffect()->numInputs, 8);
    EXPECT_EQ(dispatch(b, effGetInputProperties, 7, 0, &pin), 1);
    EXPECT_FALSE(b->pinChangePending);
    ASSERT_TRUE(sandbox.read("NumInputs", v));
    EXPECT_EQ(v, 8);
    ASSERT_TRUE(sandbox.read("NumOutputs", v));
    EXPECT_EQ(v, 2);
    closeBridge(b);
}

TEST_F(BridgeObject, PinParametersIgnoredWithoutIoChanges) {
    CTolvane* b = makeBridge(sandbox);
    host.clear();
    setParam(b, 4, 1.0f);
    setParam(b, 0, 0.0f);  // Synch needs an asynchronous host
    EXPECT_EQ(b->pendingIo.numInputs, 2);
    EXPECT_TRUE(b->synchronous);
    EXPECT_EQ(host.count(audioMasterIOChanged), 0);
    closeBridge(b);
}

TEST_F(BridgeObject, SynchSwitchesTheAsyncFlag) {
    host.canDoAnswers["asyncProcessing"] = 1;
    CTolvane* b = makeBridge(sandbox);
    setParam(b, 0, 0.49f);
    EXPECT_FALSE(b->synchronous);
    EXPECT_EQ(b->getAeffect()->flags & effFlagsExtIsAsync, effFlagsExtIsAsync);
    setParam(b, 0, 0.5f);
    EXPECT_TRUE(b->synchronous);
    EXPECT_EQ(b->getAeffect()->flags & effFlagsExtIsAsync, 0);
    closeBridge(b);
}

TEST_F(BridgeObject, HostilePointersDoNoHarm) {
    CTolvane* b = makeBridge(sandbox);
    AEffect* e = b->getAeffect();
    EXPECT_EQ(dispatch(b, effProcessEvents, 0, 0, nullptr), 0);  // refused by the frame
    e->processReplacing(e, nullptr, nullptr, 64);
    e->processReplacing(e, nullptr, nullptr, -5);
    e->process(e, nullptr, nullptr, 0);
    EXPECT_EQ(dispatch(b, effGetInputProperties, 0, 0, nullptr), 0);
    EXPECT_EQ(dispatch(b, effGetEffectName, 0, 0, nullptr), 0);
    EXPECT_EQ(dispatch(b, effGetCurrentPosition), 0);  // before any asynchronous block
    closeBridge(b);
}
