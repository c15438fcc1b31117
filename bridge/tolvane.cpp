// CTolvane as a whole: construction, destruction, identity, capabilities, pins and settings.
#include "bridge/tolvane.h"

#include <cstdio>
#include <cstring>

#include "dialog/config_dialog.h"

namespace {

// Bounded copy of a constant text into a host buffer of `capacity` bytes.
void copyText(char* destination, const char* source, std::size_t capacity) {
    if (!destination || capacity == 0) return;
    std::size_t n = std::strlen(source);
    if (n >= capacity) n = capacity - 1;
    std::memcpy(destination, source, n);
    destination[n] = 0;
}

}  // namespace

VstInt32 clampInputs(VstInt32 n) { return n < 0 ? 0 : (n > kMaxIoChannels ? kMaxIoChannels : n); }
VstInt32 clampOutputs(VstInt32 n) { return n < 1 ? 1 : (n > kMaxIoChannels ? kMaxIoChannels : n); }

void onOffText(bool on, char* text) { copyText(text, on ? "On" : "Off", 4); }

CTolvane::CTolvane(audioMasterCallback audioMaster, const DeliverableIdentity& identity)
    : AudioEffectX(audioMaster, 1, kParamCountBasic),
      settingsKey(nullptr),
      configDlg(true),
      termSlave(true),
      hostCanAsync(false),
      idleSeen(false),
      synchronous(true),
      hostReceivesEvents(true),
      connected(false),
      startPending(false),
      suspended(false),
      suspendStateSent(true),
      asyncDone(false),
      asyncFrames(0),
      channel(-1),
      slaveNumber(-1),
      io{2, 2, false},
      hostAcceptsIo(false),
      pinChangePending(false),
      pendingIo(IoConfig{2, 2, false}),
      slaveInfo{},
      slaveInfoWord(0),
      asyncOutputs{},
      ident(&identity),
      requestedSlaveNumber(-1) {
    // The steps below run in this order because several of them ask the host something.
    char asyncText[] = "asyncProcessing";
    hostCanAsync = canHostDo(asyncText) != 0;

    char ioText[] = "acceptIOChanges";
    hostAcceptsIo = canHostDo(ioText) != 0;
    if (hostAcceptsIo) {
        numParams = kParamCountWithIo;
        cEffect.numParams = kParamCountWithIo;
        configDlg = false;
    }

    // Read the settings; a missing value keeps the default. Counts are kept in the ranges the
    // shared block can carry, whatever was stored by hand.
    readSetting("NumInputs", io.numInputs);
    readSetting("NumOutputs", io.numOutputs);
    bool flag = configDlg;
    if (readBoolSetting("ConfigDlg", flag)) configDlg = flag;
    flag = termSlave;
    if (readBoolSetting("TermSlave", flag)) termSlave = flag;
    readBoolSetting("StereoPins", io.stereoPins);
    io.numInputs = clampInputs(io.numInputs);
    io.numOutputs = clampOutputs(io.numOutputs);

    if (configDlg) {
        // The dialog's result is not looked at: OK and Cancel both keep what was edited.
        runConfigDialog(*this);
        requestedSlaveNumber = slaveNumber.load();  // the dialog may have moved the channel
        io.numInputs = clampInputs(io.numInputs);
        io.numOutputs = clampOutputs(io.numOutputs);
        writeSetting("NumInputs", io.numInputs);
        writeSetting("NumOutputs", io.numOutputs);
        writeSetting("ConfigDlg", configDlg ? 1 : 0);
        writeSetting("TermSlave", termSlave ? 1 : 0);
        writeSetting("StereoPins", io.stereoPins ? 1 : 0);
    }
    closeSettingsKey();

    pinChangePending = false;
    pendingIo.store(io);

    if (audioMaster) {
        cEffect.numInputs = io.numInputs;
        cEffect.numOutputs = io.numOutputs;
        canProcessReplacing(true);
        hasVu(false);
        hasClip(false);
        if (io.numInputs == 1 && io.numOutputs >= 2) canMono(true);
        if (ident->isInstrument) isSynth(true);
        cEffect.uniqueID = ident->uniqueId;
    }

    // Nothing is connected yet, so this only records that the off state still has to be sent.
    suspend();
}

CTolvane::~CTolvane() {
    // Settings changed on an audio thread after close (or without one) are still written. Then
    // the master role is given up; the channel's destructor closes both events and the mapping.
    // Stopping the slave is close()'s business.
    flushSettings();
    channel.attachMaster(false);
    platformForgetLock(&idleLockWatch);
}

// ---- Identity and capabilities ----

void CTolvane::getProgramName(char* name) { copyText(name, kProgramName, kVstMaxProgNameLen + 1); }

bool CTolvane::getEffectName(char* name) {
    if (!name) return false;
    copyText(name, ident->effectName, kVstMaxEffectNameLen + 1);
    return true;
}

bool CTolvane::getVendorString(char* text) {
    if (!text) return false;
    copyText(text, kVendorString, kVstMaxVendorStrLen + 1);
    return true;
}

bool CTolvane::getProductString(char* text) {
    if (!text) return false;
    copyText(text, ident->productString, kVstMaxProductStrLen + 1);
    return true;
}

VstInt32 CTolvane::getVendorVersion() { return kVendorVersion; }

VstInt32 CTolvane::canDo(char* text) {
    if (!text) return -1;
    for (int i = 0; i < ident->canDoCount; ++i) {
        if (std::strcmp(text, ident->canDoTable[i]) == 0) return 1;
    }
    return -1;
}

// Only a positive answer counts: a host answering -1 ("no") does not support the capability.
VstInt32 CTolvane::canHostDo(char* text) {
    if (!audioMaster) return 0;
    return audioMaster(&cEffect, audioMasterCanDo, 0, 0, text, 0.0f) > 0 ? 1 : 0;
}

// ---- Pins ----

bool CTolvane::describePin(VstInt32 index, VstInt32 count, const char* pairFormat, const char* singleFormat,
                           VstPinProperties* properties) {
    if (index < 0 || index >= count || !properties) return false;
    properties->flags = kVstPinIsActive;
    if (io.stereoPins && (index % 2 == 1 || index < count - 1)) {
        std::snprintf(properties->label, sizeof(properties->label), pairFormat, index / 2 + 1,
                      index % 2 == 0 ? 'L' : 'R');
        if (index % 2 == 0) properties->flags |= kVstPinIsStereo;
        return true;
    }
    std::snprintf(properties->label, sizeof(properties->label), singleFormat,
                  (io.stereoPins ? index / 2 : index) + 1);
    return true;
}

bool CTolvane::getInputProperties(VstInt32 index, VstPinProperties* properties) {
    return describePin(index, io.numInputs, "Input %d %c", "Input %d", properties);
}

bool CTolvane::getOutputProperties(VstInt32 index, VstPinProperties* properties) {
    return describePin(index, io.numOutputs, "Output %d %c", "Output %d", properties);
}

// ---- Settings ----

bool CTolvane::openSettingsKey() {
    if (settingsKey) return true;
    settingsKey = platformOpenSettings(ident->settingsKey);
    return settingsKey != nullptr;
}

bool CTolvane::writeSetting(const char* name, VstInt32 value) {
    if (!openSettingsKey()) return false;
    return platformWriteSetting(settingsKey, name, value);
}

bool CTolvane::readSetting(const char* name, VstInt32& out) {
    if (!openSettingsKey()) return false;
    return platformReadSetting(settingsKey, name, &out);
}

bool CTolvane::readBoolSetting(const char* name, bool& out) {
    VstInt32 value = 0;
    if (!readSetting(name, value)) return false;
    out = value != 0;
    return true;
}

bool CTolvane::closeSettingsKey() {
    if (!settingsKey) return true;
    bool closed = platformCloseSettings(settingsKey);
    settingsKey = nullptr;
    return closed;
}

void CTolvane::flushSettings() {
    const unsigned pending = settingsToWrite.exchange(0);
    if (pending == 0) return;
    if (pending & kWriteConfigDlg) writeSetting("ConfigDlg", configDlg ? 1 : 0);
    if (pending & kWriteTermSlave) writeSetting("TermSlave", termSlave ? 1 : 0);
    closeSettingsKey();
}

void CTolvane::applyPendingIo() {
    // A change made while this runs sets the flag again and waits for the next suspend.
    pinChangePending = false;
    io = pendingIo.load();
    setNumInputs(io.numInputs);
    setNumOutputs(io.numOutputs);
    writeSetting("NumInputs", io.numInputs);
    writeSetting("NumOutputs", io.numOutputs);
    writeSetting("StereoPins", io.stereoPins ? 1 : 0);
    closeSettingsKey();
}
