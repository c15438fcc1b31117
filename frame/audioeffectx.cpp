#include "frame/audioeffectx.h"

#include <cstdlib>
#include <cstring>

#include "frame/numeric.h"

namespace {

VstIntPtr fromBool(bool value) noexcept {
    return value ? 1 : 0;
}

// The key code the editor gets: character from index, virtual key from the low byte of value,
// modifiers from the low byte of opt taken as an integer.
VstKeyCode keyCodeOf(VstInt32 index, VstIntPtr value, float opt) noexcept {
    VstKeyCode key{};
    key.character = index;
    key.virt = static_cast<unsigned char>(value & 0xFF);
    key.modifier = static_cast<unsigned char>(truncateToIntPtr(opt) & 0xFF);
    return key;
}

}  // namespace

AudioEffectX::AudioEffectX(audioMasterCallback hostCallback, VstInt32 programCount, VstInt32 parameterCount)
    : AudioEffect(hostCallback, programCount, parameterCount) {}

VstIntPtr AudioEffectX::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    if (opcode < effProcessEvents || opcode > effGetNumMidiOutputChannels) {
        return AudioEffect::dispatcher(opcode, index, value, ptr, opt);
    }
    auto* text = static_cast<char*>(ptr);
    const bool hasPtr = ptr != nullptr;
    const auto value32 = static_cast<VstInt32>(value);
    switch (opcode) {
    case effProcessEvents:
        return hasPtr ? processEvents(static_cast<VstEvents*>(ptr)) : 0;
    case effCanBeAutomated:
        return fromBool(canParameterBeAutomated(index));
    case effString2Parameter:
        return fromBool(string2parameter(index, text));
    case effGetNumProgramCategories:
        return getNumCategories();
    case effGetProgramNameIndexed:
        return hasPtr ? fromBool(getProgramNameIndexed(value32, index, text)) : 0;
    case effCopyProgram:
        return fromBool(copyProgram(index));
    case effConnectInput:
        inputConnected(index, value != 0);
        return 1;
    case effConnectOutput:
        outputConnected(index, value != 0);
        return 1;
    case effGetInputProperties:
        return hasPtr ? fromBool(getInputProperties(index, static_cast<VstPinProperties*>(ptr))) : 0;
    case effGetOutputProperties:
        return hasPtr ? fromBool(getOutputProperties(index, static_cast<VstPinProperties*>(ptr))) : 0;
    case effGetPlugCategory:
        return getPlugCategory();
    case effGetCurrentPosition:
        return reportCurrentPosition();
    case effGetDestinationBuffer:
        return reinterpret_cast<VstIntPtr>(reportDestinationBuffer());
    case effOfflineNotify:
        return hasPtr ? fromBool(offlineNotify(static_cast<VstAudioFile*>(ptr), value32, index != 0)) : 0;
    case effOfflinePrepare:
        return hasPtr ? fromBool(offlinePrepare(static_cast<VstOfflineTask*>(ptr), value32)) : 0;
    case effOfflineRun:
        return hasPtr ? fromBool(offlineRun(static_cast<VstOfflineTask*>(ptr), value32)) : 0;
    case effProcessVarIo:
        return hasPtr ? fromBool(processVariableIo(static_cast<VstVariableIo*>(ptr))) : 0;
    case effSetSpeakerArrangement: {
        auto* input = reinterpret_cast<VstSpeakerArrangement*>(value);
        auto* output = static_cast<VstSpeakerArrangement*>(ptr);
        return input != nullptr && output != nullptr ? fromBool(setSpeakerArrangement(input, output)) : 0;
    }
    case effSetBlockSizeAndSampleRate:
        setBlockSizeAndSampleRate(value32, opt);
        return 1;
    case effSetBypass:
        return fromBool(setBypass(value != 0));
    case effGetEffectName:
        return hasPtr ? fromBool(getEffectName(text)) : 0;
    case effGetErrorText:
        return hasPtr ? fromBool(getErrorText(text)) : 0;
    case effGetVendorString:
        return hasPtr ? fromBool(getVendorString(text)) : 0;
    case effGetProductString:
        return hasPtr ? fromBool(getProductString(text)) : 0;
    case effGetVendorVersion:
        return getVendorVersion();
    case effVendorSpecific:
        return vendorSpecific(index, value, ptr, opt);  // ptr is opaque here
    case effCanDo:
        return hasPtr ? canDo(text) : 0;
    case effGetTailSize:
        return getGetTailSize();
    case effIdle:
        return fxIdle();
    case effGetIcon:
        return reinterpret_cast<VstIntPtr>(getIcon());
    case effSetViewPosition:
        return fromBool(setViewPosition(index, value32));
    case effGetParameterProperties:
        return hasPtr ? fromBool(getParameterProperties(index, static_cast<VstParameterProperties*>(ptr))) : 0;
    case effKeysRequired:
        return keysRequired() ? 0 : 1;  // the opcode asks the inverse question
    case effGetVstVersion:
        return getVstVersion();
    case effEditKeyDown:
        if (editor != nullptr) {
            VstKeyCode key = keyCodeOf(index, value, opt);
            return fromBool(editor->onKeyDown(key));
        }
        return 0;
    case effEditKeyUp:
        if (editor != nullptr) {
            VstKeyCode key = keyCodeOf(index, value, opt);
            return fromBool(editor->onKeyUp(key));
        }
        return 0;
    case effSetEditKnobMode:
        return editor != nullptr ? fromBool(editor->setKnobMode(value32)) : 0;
    case effGetMidiProgramName:
        return hasPtr ? getMidiProgramName(index, static_cast<MidiProgramName*>(ptr)) : 0;
    case effGetCurrentMidiProgram:
        return hasPtr ? getCurrentMidiProgram(index, static_cast<MidiProgramName*>(ptr)) : -1;
    case effGetMidiProgramCategory:
        return hasPtr ? getMidiProgramCategory(index, static_cast<MidiProgramCategory*>(ptr)) : 0;
    case effHasMidiProgramsChanged:
        return fromBool(hasMidiProgramsChanged(index));
    case effGetMidiKeyName:
        return hasPtr ? fromBool(getMidiKeyName(index, static_cast<MidiKeyName*>(ptr))) : 0;
    case effBeginSetProgram:
        return fromBool(beginSetProgram());
    case effEndSetProgram:
        return fromBool(endSetProgram());
    case effGetSpeakerArrangement: {
        auto** input = reinterpret_cast<VstSpeakerArrangement**>(value);
        auto** output = static_cast<VstSpeakerArrangement**>(ptr);
        return input != nullptr && output != nullptr ? fromBool(getSpeakerArrangement(input, output)) : 0;
    }
    case effShellGetNextPlugin:
        return hasPtr ? getNextShellPlugin(text) : 0;
    case effStartProcess:
        return startProcess();
    case effStopProcess:
        return stopProcess();
    case effSetTotalSampleToProcess:
        return setTotalSampleToProcess(value32);
    case effSetPanLaw:
        return fromBool(setPanLaw(value32, opt));
    case effBeginLoadBank:
        return hasPtr ? beginLoadBank(static_cast<VstPatchChunkInfo*>(ptr)) : 0;
    case effBeginLoadProgram:
        return hasPtr ? beginLoadProgram(static_cast<VstPatchChunkInfo*>(ptr)) : 0;
    case effSetProcessPrecision:
        return fromBool(setProcessPrecision(value32));
    case effGetNumMidiInputChannels:
        return getNumMidiInputChannels();
    case effGetNumMidiOutputChannels:
        return getNumMidiOutputChannels();
    default:
        return 0;
    }
}

void AudioEffectX::resume() {
    char midiEvents[] = "receiveVstMidiEvent";
    if ((cEffect.flags & effFlagsIsSynth) != 0 || canDo(midiEvents) == 1) {
        wantEvents(1);
    }
}

bool AudioEffectX::canParameterBeAutomated(VstInt32 /*index*/) {
    return true;
}

bool AudioEffectX::string2parameter(VstInt32 /*index*/, char* /*text*/) {
    return false;
}

bool AudioEffectX::getParameterProperties(VstInt32 /*index*/, VstParameterProperties* /*properties*/) {
    return false;
}

bool AudioEffectX::beginEdit(VstInt32 index) {
    return hasHost() && callHost(audioMasterBeginEdit, index) != 0;
}

bool AudioEffectX::endEdit(VstInt32 index) {
    return hasHost() && callHost(audioMasterEndEdit, index) != 0;
}

bool AudioEffectX::getProgramNameIndexed(VstInt32 /*category*/, VstInt32 /*index*/, char* /*text*/) {
    return false;
}

bool AudioEffectX::beginSetProgram() {
    return false;
}

bool AudioEffectX::endSetProgram() {
    return false;
}

VstInt32 AudioEffectX::beginLoadBank(VstPatchChunkInfo* /*info*/) {
    return 0;
}

VstInt32 AudioEffectX::beginLoadProgram(VstPatchChunkInfo* /*info*/) {
    return 0;
}

bool AudioEffectX::ioChanged() {
    return hasHost() && callHost(audioMasterIOChanged) != 0;
}

double AudioEffectX::updateSampleRate() {
    if (hasHost()) {
        const VstIntPtr answer = callHost(audioMasterGetSampleRate);
        if (answer > 0) {
            sampleRate = static_cast<float>(answer);
        }
    }
    return sampleRate;
}

VstInt32 AudioEffectX::updateBlockSize() {
    if (hasHost()) {
        const auto answer = static_cast<VstInt32>(callHost(audioMasterGetBlockSize));
        if (answer > 0) {
            blockSize = answer;
        }
    }
    return blockSize;
}

VstInt32 AudioEffectX::getInputLatency() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetInputLatency)) : 0;
}

VstInt32 AudioEffectX::getOutputLatency() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetOutputLatency)) : 0;
}

bool AudioEffectX::getInputProperties(VstInt32 /*index*/, VstPinProperties* /*properties*/) {
    return false;
}

bool AudioEffectX::getOutputProperties(VstInt32 /*index*/, VstPinProperties* /*properties*/) {
    return false;
}

bool AudioEffectX::setSpeakerArrangement(VstSpeakerArrangement* /*input*/, VstSpeakerArrangement* /*output*/) {
    return false;
}

bool AudioEffectX::getSpeakerArrangement(VstSpeakerArrangement** input, VstSpeakerArrangement** output) {
    if (input != nullptr) {
        *input = nullptr;
    }
    if (output != nullptr) {
        *output = nullptr;
    }
    return false;
}

bool AudioEffectX::setBypass(bool /*onOff*/) {
    return false;
}

bool AudioEffectX::setPanLaw(VstInt32 /*type*/, float /*value*/) {
    return false;
}

bool AudioEffectX::setProcessPrecision(VstInt32 /*precision*/) {
    return false;
}

VstInt32 AudioEffectX::getNumMidiInputChannels() {
    return 0;
}

VstInt32 AudioEffectX::getNumMidiOutputChannels() {
    return 0;
}

VstTimeInfo* AudioEffectX::getTimeInfo(VstInt32 filter) {
    return hasHost() ? reinterpret_cast<VstTimeInfo*>(callHost(audioMasterGetTime, 0, filter)) : nullptr;
}

VstInt32 AudioEffectX::getCurrentProcessLevel() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetCurrentProcessLevel)) : 0;
}

VstInt32 AudioEffectX::getAutomationState() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetAutomationState)) : 0;
}

VstInt32 AudioEffectX::processEvents(VstEvents* /*events*/) {
    return 0;
}

VstInt32 AudioEffectX::startProcess() {
    return 0;
}

VstInt32 AudioEffectX::stopProcess() {
    return 0;
}

bool AudioEffectX::processVariableIo(VstVariableIo* /*varIo*/) {
    return false;
}

VstInt32 AudioEffectX::setTotalSampleToProcess(VstInt32 value) {
    return value;
}

bool AudioEffectX::getHostVendorString(char* text) {
    return hasHost() && callHost(audioMasterGetVendorString, 0, 0, text) != 0;
}

bool AudioEffectX::getHostProductString(char* text) {
    return hasHost() && callHost(audioMasterGetProductString, 0, 0, text) != 0;
}

VstInt32 AudioEffectX::getHostVendorVersion() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetVendorVersion)) : 0;
}

VstIntPtr AudioEffectX::hostVendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    return hasHost() ? callHost(audioMasterVendorSpecific, index, value, ptr, opt) : 0;
}

VstInt32 AudioEffectX::canHostDo(char* text) {
    return hasHost() && callHost(audioMasterCanDo, 0, 0, text) != 0 ? 1 : 0;
}

VstInt32 AudioEffectX::getHostLanguage() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetLanguage)) : 0;
}

void AudioEffectX::isSynth(bool state) {
    setFlag(effFlagsIsSynth, state);
}

void AudioEffectX::noTail(bool state) {
    setFlag(effFlagsNoSoundInStop, state);
}

VstInt32 AudioEffectX::getGetTailSize() {
    return 0;
}

void* AudioEffectX::getDirectory() {
    return hasHost() ? reinterpret_cast<void*>(callHost(audioMasterGetDirectory)) : nullptr;
}

bool AudioEffectX::getEffectName(char* /*name*/) {
    return false;
}

bool AudioEffectX::getVendorString(char* /*text*/) {
    return false;
}

bool AudioEffectX::getProductString(char* /*text*/) {
    return false;
}

VstInt32 AudioEffectX::getVendorVersion() {
    return 0;
}

VstIntPtr AudioEffectX::vendorSpecific(VstInt32 /*index*/, VstIntPtr /*value*/, void* /*ptr*/, float /*opt*/) {
    return 0;
}

VstInt32 AudioEffectX::canDo(char* /*text*/) {
    return 0;
}

VstInt32 AudioEffectX::getVstVersion() {
    return kVstVersion;
}

VstInt32 AudioEffectX::getPlugCategory() {
    return (cEffect.flags & effFlagsIsSynth) != 0 ? kPlugCategSynth : kPlugCategUnknown;
}

VstInt32 AudioEffectX::getMidiProgramName(VstInt32 /*channel*/, MidiProgramName* /*name*/) {
    return 0;
}

VstInt32 AudioEffectX::getCurrentMidiProgram(VstInt32 /*channel*/, MidiProgramName* /*current*/) {
    return -1;
}

VstInt32 AudioEffectX::getMidiProgramCategory(VstInt32 /*channel*/, MidiProgramCategory* /*category*/) {
    return 0;
}

bool AudioEffectX::hasMidiProgramsChanged(VstInt32 /*channel*/) {
    return false;
}

bool AudioEffectX::getMidiKeyName(VstInt32 /*channel*/, MidiKeyName* /*keyName*/) {
    return false;
}

bool AudioEffectX::updateDisplay() {
    return hasHost() && callHost(audioMasterUpdateDisplay) != 0;
}

bool AudioEffectX::sizeWindow(VstInt32 width, VstInt32 height) {
    return hasHost() && callHost(audioMasterSizeWindow, width, height) != 0;
}

bool AudioEffectX::openFileSelector(VstFileSelect* select) {
    return hasHost() && select != nullptr && callHost(audioMasterOpenFileSelector, 0, 0, select) != 0;
}

bool AudioEffectX::closeFileSelector(VstFileSelect* select) {
    return hasHost() && select != nullptr && callHost(audioMasterCloseFileSelector, 0, 0, select) != 0;
}

VstInt32 AudioEffectX::getNextShellPlugin(char* /*name*/) {
    return 0;
}

bool AudioEffectX::allocateArrangement(VstSpeakerArrangement** arrangement, VstInt32 channels) {
    if (arrangement == nullptr) {
        return false;
    }
    if (*arrangement != nullptr) {
        std::free(*arrangement);
        *arrangement = nullptr;  // never leave the freed block behind, whatever follows
    }
    if (channels < 0 || channels > kMaxArrangementChannels) {
        return false;
    }
    const std::size_t bytes =
        kVstSpeakerArrangementHeader + sizeof(VstSpeakerProperties) * static_cast<std::size_t>(channels);
    void* block = std::calloc(1, bytes);
    if (block == nullptr) {
        return false;
    }
    *arrangement = static_cast<VstSpeakerArrangement*>(block);
    (*arrangement)->numChannels = channels;
    return true;
}

bool AudioEffectX::deallocateArrangement(VstSpeakerArrangement** arrangement) {
    if (arrangement != nullptr && *arrangement != nullptr) {
        std::free(*arrangement);
        *arrangement = nullptr;
    }
    return true;
}

bool AudioEffectX::copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from) {
    if (to == nullptr || from == nullptr) {
        return false;
    }
    std::size_t length = 0;
    while (length < sizeof to->name - 1 && from->name[length] != '\0') {
        ++length;
    }
    std::memcpy(to->name, from->name, length);
    to->name[length] = '\0';
    to->type = from->type;
    to->azimuth = from->azimuth;
    to->elevation = from->elevation;
    to->radius = from->radius;
    to->reserved = from->reserved;
    std::memcpy(to->future, from->future, sizeof to->future);
    return true;
}

bool AudioEffectX::matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from) {
    if (from == nullptr) {
        return false;
    }
    // from may be the host's: its channel count is bounded by allocateArrangement before any
    // speaker is read.
    if (!deallocateArrangement(to) || !allocateArrangement(to, from->numChannels)) {
        return false;
    }
    (*to)->type = from->type;
    for (VstInt32 i = 0; i < from->numChannels; ++i) {
        if (!copySpeaker(speakerAt(*to, i), speakerAt(from, i))) {
            return false;
        }
    }
    return true;
}

bool AudioEffectX::offlineRead(VstOfflineTask* offline, VstInt32 option, bool readSource) {
    return hasHost() && callHost(audioMasterOfflineRead, readSource ? 1 : 0, option, offline) != 0;
}

bool AudioEffectX::offlineWrite(VstOfflineTask* offline, VstInt32 option) {
    return hasHost() && callHost(audioMasterOfflineWrite, 0, option, offline) != 0;
}

bool AudioEffectX::offlineStart(VstAudioFile* files, VstInt32 numAudioFiles, VstInt32 numNewAudioFiles) {
    return hasHost() && callHost(audioMasterOfflineStart, numNewAudioFiles, numAudioFiles, files) != 0;
}

VstInt32 AudioEffectX::offlineGetCurrentPass() {
    return hasHost() && callHost(audioMasterOfflineGetCurrentPass) != 0 ? 1 : 0;
}

VstInt32 AudioEffectX::offlineGetCurrentMetaPass() {
    return hasHost() && callHost(audioMasterOfflineGetCurrentMetaPass) != 0 ? 1 : 0;
}

bool AudioEffectX::offlineNotify(VstAudioFile* /*files*/, VstInt32 /*numAudioFiles*/, bool /*start*/) {
    return false;
}

bool AudioEffectX::offlinePrepare(VstOfflineTask* /*offline*/, VstInt32 /*count*/) {
    return false;
}

bool AudioEffectX::offlineRun(VstOfflineTask* /*offline*/, VstInt32 /*count*/) {
    return false;
}

VstInt32 AudioEffectX::offlineGetNumPasses() {
    return 0;
}

VstInt32 AudioEffectX::offlineGetNumMetaPasses() {
    return 0;
}

void AudioEffectX::wantEvents(VstInt32 filter) {
    if (hasHost()) {
        callHost(audioMasterWantMidi, 0, filter);
    }
}

VstInt32 AudioEffectX::tempoAt(VstInt32 position) {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterTempoAt, 0, position)) : 0;
}

VstInt32 AudioEffectX::getNumAutomatableParameters() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetNumAutomatableParameters)) : 0;
}

VstInt32 AudioEffectX::getParameterQuantization() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterGetParameterQuantization)) : 0;
}

VstInt32 AudioEffectX::getNumCategories() {
    return 1;
}

bool AudioEffectX::copyProgram(VstInt32 /*destination*/) {
    return false;
}

bool AudioEffectX::needIdle() {
    return hasHost() && callHost(audioMasterNeedIdle) != 0;
}

AEffect* AudioEffectX::getPreviousPlug(VstInt32 /*input*/) {
    return hasHost() ? reinterpret_cast<AEffect*>(callHost(audioMasterGetPreviousPlug)) : nullptr;
}

AEffect* AudioEffectX::getNextPlug(VstInt32 /*output*/) {
    return hasHost() ? reinterpret_cast<AEffect*>(callHost(audioMasterGetNextPlug)) : nullptr;
}

void AudioEffectX::inputConnected(VstInt32 /*index*/, bool /*state*/) {}

void AudioEffectX::outputConnected(VstInt32 /*index*/, bool /*state*/) {}

VstInt32 AudioEffectX::willProcessReplacing() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterWillReplaceOrAccumulate)) : 0;
}

void AudioEffectX::wantAsyncOperation(bool state) {
    setFlag(effFlagsExtIsAsync, state);
}

void AudioEffectX::hasExternalBuffer(bool state) {
    setFlag(effFlagsExtHasBuffer, state);
}

VstInt32 AudioEffectX::reportCurrentPosition() {
    return 0;
}

float* AudioEffectX::reportDestinationBuffer() {
    return nullptr;
}

bool AudioEffectX::setOutputSamplerate(float rate) {
    return hasHost() && callHost(audioMasterSetOutputSampleRate, 0, 0, nullptr, rate) != 0;
}

VstSpeakerArrangement* AudioEffectX::getInputSpeakerArrangement() {
    return hasHost() ? reinterpret_cast<VstSpeakerArrangement*>(callHost(audioMasterGetInputSpeakerArrangement))
                     : nullptr;
}

VstSpeakerArrangement* AudioEffectX::getOutputSpeakerArrangement() {
    return hasHost() ? reinterpret_cast<VstSpeakerArrangement*>(callHost(audioMasterGetOutputSpeakerArrangement))
                     : nullptr;
}

void* AudioEffectX::openWindow(VstWindow* window) {
    return hasHost() ? reinterpret_cast<void*>(callHost(audioMasterOpenWindow, 0, 0, window)) : nullptr;
}

bool AudioEffectX::closeWindow(VstWindow* window) {
    return hasHost() && callHost(audioMasterCloseWindow, 0, 0, window) != 0;
}

void AudioEffectX::setBlockSizeAndSampleRate(VstInt32 frames, float rate) {
    blockSize = frames;
    sampleRate = rate;
}

bool AudioEffectX::getErrorText(char* /*text*/) {
    return false;
}

void* AudioEffectX::getIcon() {
    return nullptr;
}

bool AudioEffectX::setViewPosition(VstInt32 /*x*/, VstInt32 /*y*/) {
    return false;
}

VstInt32 AudioEffectX::fxIdle() {
    return 0;
}

bool AudioEffectX::keysRequired() {
    return false;
}

bool AudioEffectX::getChunkFile(void* nativePath) {
    return hasHost() && nativePath != nullptr && callHost(audioMasterGetChunkFile, 0, 0, nativePath) != 0;
}

bool AudioEffectX::sendVstEventsToHost(VstEvents* events) {
    return hasHost() && callHost(audioMasterProcessEvents, 0, 0, events) == 1;
}
