// The VST 2.4 plug-in interface as it lies in memory on 64-bit Windows and 64-bit Linux:
// records, function types, opcodes and flags. These are our own definitions; every size and
// offset is checked below, so a layout slip fails the build on both compilers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

using VstInt32 = std::int32_t;
using VstIntPtr = std::int64_t;

#if defined(_WIN32)
#define VSTCALLBACK __cdecl
#else
#define VSTCALLBACK
#endif

struct AEffect;

using audioMasterCallback = VstIntPtr(VSTCALLBACK*)(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                                    VstIntPtr value, void* ptr, float opt);
using AEffectDispatcherProc = VstIntPtr(VSTCALLBACK*)(AEffect* effect, VstInt32 opcode, VstInt32 index,
                                                      VstIntPtr value, void* ptr, float opt);
using AEffectProcessProc = void(VSTCALLBACK*)(AEffect* effect, float** inputs, float** outputs,
                                              VstInt32 sampleFrames);
using AEffectProcessDoubleProc = void(VSTCALLBACK*)(AEffect* effect, double** inputs, double** outputs,
                                                    VstInt32 sampleFrames);
using AEffectSetParameterProc = void(VSTCALLBACK*)(AEffect* effect, VstInt32 index, float value);
using AEffectGetParameterProc = float(VSTCALLBACK*)(AEffect* effect, VstInt32 index);

// Four-character constants carry the first character in the most significant byte.
constexpr VstInt32 fourCharCode(char a, char b, char c, char d) {
    return static_cast<VstInt32>((static_cast<std::uint32_t>(static_cast<unsigned char>(a)) << 24) |
                                 (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 16) |
                                 (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 8) |
                                 static_cast<std::uint32_t>(static_cast<unsigned char>(d)));
}

constexpr VstInt32 kEffectMagic = fourCharCode('V', 's', 't', 'P');  // 0x56737450

// The plug-in record handed to the host (192 bytes).
struct AEffect {
    VstInt32 magic;
    AEffectDispatcherProc dispatcher;
    AEffectProcessProc process;
    AEffectSetParameterProc setParameter;
    AEffectGetParameterProc getParameter;
    VstInt32 numPrograms;
    VstInt32 numParams;
    VstInt32 numInputs;
    VstInt32 numOutputs;
    VstInt32 flags;
    VstIntPtr resvd1;
    VstIntPtr resvd2;
    VstInt32 initialDelay;
    VstInt32 realQualities;
    VstInt32 offQualities;
    float ioRatio;
    void* object;
    void* user;
    VstInt32 uniqueID;
    VstInt32 version;
    AEffectProcessProc processReplacing;
    AEffectProcessDoubleProc processDoubleReplacing;
    char future[56];
};

// Flag bits of AEffect::flags.
enum VstAEffectFlags : VstInt32 {
    effFlagsHasEditor = 1 << 0,
    effFlagsHasClip = 1 << 1,
    effFlagsHasVu = 1 << 2,
    effFlagsCanMono = 1 << 3,
    effFlagsCanReplacing = 1 << 4,
    effFlagsProgramChunks = 1 << 5,
    effFlagsIsSynth = 1 << 8,
    effFlagsNoSoundInStop = 1 << 9,
    effFlagsExtIsAsync = 1 << 10,
    effFlagsExtHasBuffer = 1 << 11,
    effFlagsCanDoubleReplacing = 1 << 12,
};

// Effect opcodes: what the host asks of the plug-in through AEffect::dispatcher.
enum AEffectOpcodes : VstInt32 {
    effOpen = 0,
    effClose,
    effSetProgram,
    effGetProgram,
    effSetProgramName,
    effGetProgramName,
    effGetParamLabel,
    effGetParamDisplay,
    effGetParamName,
    effGetVu,
    effSetSampleRate,
    effSetBlockSize,
    effMainsChanged,
    effEditGetRect,
    effEditOpen,
    effEditClose,
    effEditDraw,
    effEditMouse,
    effEditKey,
    effEditIdle,
    effEditTop,
    effEditSleep,
    effIdentify,
    effGetChunk,
    effSetChunk,
    effProcessEvents,  // 25
    effCanBeAutomated,
    effString2Parameter,
    effGetNumProgramCategories,
    effGetProgramNameIndexed,
    effCopyProgram,
    effConnectInput,
    effConnectOutput,
    effGetInputProperties,
    effGetOutputProperties,
    effGetPlugCategory,
    effGetCurrentPosition,
    effGetDestinationBuffer,
    effOfflineNotify,
    effOfflinePrepare,
    effOfflineRun,
    effProcessVarIo,
    effSetSpeakerArrangement,
    effSetBlockSizeAndSampleRate,
    effSetBypass,
    effGetEffectName,
    effGetErrorText,
    effGetVendorString,
    effGetProductString,
    effGetVendorVersion,
    effVendorSpecific,
    effCanDo,
    effGetTailSize,
    effIdle,
    effGetIcon,
    effSetViewPosition,
    effGetParameterProperties,
    effKeysRequired,
    effGetVstVersion,
    effEditKeyDown,
    effEditKeyUp,
    effSetEditKnobMode,
    effGetMidiProgramName,
    effGetCurrentMidiProgram,
    effGetMidiProgramCategory,
    effHasMidiProgramsChanged,
    effGetMidiKeyName,
    effBeginSetProgram,
    effEndSetProgram,
    effGetSpeakerArrangement,
    effShellGetNextPlugin,
    effStartProcess,
    effStopProcess,
    effSetTotalSampleToProcess,
    effSetPanLaw,
    effBeginLoadBank,
    effBeginLoadProgram,
    effSetProcessPrecision,
    effGetNumMidiInputChannels,
    effGetNumMidiOutputChannels,  // 79
};
static_assert(effProcessEvents == 25 && effIdle == 53 && effGetVstVersion == 58 && effGetNumMidiOutputChannels == 79,
              "effect opcode numbering");

// Host opcodes: what the plug-in asks of the host through audioMasterCallback.
enum AudioMasterOpcodes : VstInt32 {
    audioMasterAutomate = 0,
    audioMasterVersion = 1,
    audioMasterCurrentId = 2,
    audioMasterIdle = 3,
    audioMasterPinConnected = 4,
    audioMasterWantMidi = 6,
    audioMasterGetTime = 7,
    audioMasterProcessEvents = 8,
    audioMasterTempoAt = 10,
    audioMasterGetNumAutomatableParameters = 11,
    audioMasterGetParameterQuantization = 12,
    audioMasterIOChanged = 13,
    audioMasterNeedIdle = 14,
    audioMasterSizeWindow = 15,
    audioMasterGetSampleRate = 16,
    audioMasterGetBlockSize = 17,
    audioMasterGetInputLatency = 18,
    audioMasterGetOutputLatency = 19,
    audioMasterGetPreviousPlug = 20,
    audioMasterGetNextPlug = 21,
    audioMasterWillReplaceOrAccumulate = 22,
    audioMasterGetCurrentProcessLevel = 23,
    audioMasterGetAutomationState = 24,
    audioMasterOfflineStart = 25,
    audioMasterOfflineRead = 26,
    audioMasterOfflineWrite = 27,
    audioMasterOfflineGetCurrentPass = 28,
    audioMasterOfflineGetCurrentMetaPass = 29,
    audioMasterSetOutputSampleRate = 30,
    audioMasterGetOutputSpeakerArrangement = 31,
    audioMasterGetVendorString = 32,
    audioMasterGetProductString = 33,
    audioMasterGetVendorVersion = 34,
    audioMasterVendorSpecific = 35,
    audioMasterCanDo = 37,
    audioMasterGetLanguage = 38,
    audioMasterOpenWindow = 39,
    audioMasterCloseWindow = 40,
    audioMasterGetDirectory = 41,
    audioMasterUpdateDisplay = 42,
    audioMasterBeginEdit = 43,
    audioMasterEndEdit = 44,
    audioMasterOpenFileSelector = 45,
    audioMasterCloseFileSelector = 46,
    audioMasterGetChunkFile = 48,
    audioMasterGetInputSpeakerArrangement = 49,
};

// ---- Events ----------------------------------------------------------------------------------

enum VstEventTypes : VstInt32 {
    kVstMidiType = 1,
    kVstAudioType = 2,
    kVstVideoType = 3,
    kVstParameterType = 4,
    kVstTriggerType = 5,
    kVstSysExType = 6,
};

constexpr VstInt32 kVstMidiEventIsRealtime = 1;

struct VstEvent {
    VstInt32 type;
    VstInt32 byteSize;
    VstInt32 deltaFrames;
    VstInt32 flags;
    char data[16];
};

struct VstEvents {
    VstInt32 numEvents;
    VstIntPtr reserved;
    VstEvent* events[2];  // a host may allocate more slots after these two
};

struct VstMidiEvent {
    VstInt32 type;
    VstInt32 byteSize;
    VstInt32 deltaFrames;
    VstInt32 flags;
    VstInt32 noteLength;
    VstInt32 noteOffset;
    char midiData[4];
    char detune;
    char noteOffVelocity;
    char reserved1;
    char reserved2;
};

struct VstMidiSysexEvent {
    VstInt32 type;
    VstInt32 byteSize;
    VstInt32 deltaFrames;
    VstInt32 flags;
    VstInt32 dumpBytes;
    VstIntPtr resvd1;  // preceded by 4 bytes of alignment gap at offset 20
    char* sysexDump;
    VstIntPtr resvd2;
};

// ---- Time --------------------------------------------------------------------------------------

struct VstTimeInfo {
    double samplePos;
    double sampleRate;
    double nanoSeconds;
    double ppqPos;
    double tempo;
    double barStartPos;
    double cycleStartPos;
    double cycleEndPos;
    VstInt32 timeSigNumerator;
    VstInt32 timeSigDenominator;
    VstInt32 smpteOffset;
    VstInt32 smpteFrameRate;
    VstInt32 samplesToNextClock;
    VstInt32 flags;
};

enum VstTimeInfoFlags : VstInt32 {
    kVstTransportChanged = 1,
    kVstTransportPlaying = 1 << 1,
    kVstTransportCycleActive = 1 << 2,
    kVstTransportRecording = 1 << 3,
    kVstAutomationWriting = 1 << 6,
    kVstAutomationReading = 1 << 7,
    kVstNanosValid = 1 << 8,
    kVstPpqPosValid = 1 << 9,
    kVstTempoValid = 1 << 10,
    kVstBarsValid = 1 << 11,
    kVstCyclePosValid = 1 << 12,
    kVstTimeSigValid = 1 << 13,
    kVstSmpteValid = 1 << 14,
    kVstClockValid = 1 << 15,
};

// ---- Pins and speakers -----------------------------------------------------------------------

enum VstPinPropertiesFlags : VstInt32 {
    kVstPinIsActive = 1,
    kVstPinIsStereo = 2,
    kVstPinUseSpeaker = 4,
};

struct VstPinProperties {
    char label[64];
    VstInt32 flags;
    VstInt32 arrangementType;
    char shortLabel[8];
    char future[48];
};

struct VstSpeakerProperties {
    float azimuth;
    float elevation;
    float radius;
    float reserved;
    char name[64];
    VstInt32 type;
    char future[28];
};

// Declared with room for 8 speakers; allocated with room for exactly numChannels.
struct VstSpeakerArrangement {
    VstInt32 type;
    VstInt32 numChannels;
    VstSpeakerProperties speakers[8];
};
constexpr std::size_t kVstSpeakerArrangementHeader = 8;
// Speaker i of an arrangement allocated for its channel count, which may exceed the declared 8:
// addressed from the block's start, so that no index goes past the declared array.
inline VstSpeakerProperties* speakerAt(VstSpeakerArrangement* arrangement, VstInt32 i) {
    return reinterpret_cast<VstSpeakerProperties*>(reinterpret_cast<char*>(arrangement) + kVstSpeakerArrangementHeader +
                                                   sizeof(VstSpeakerProperties) * static_cast<std::size_t>(i));
}

struct VstKeyCode {
    VstInt32 character;
    unsigned char virt;
    unsigned char modifier;
};

// ---- Text limits and answers -------------------------------------------------------------------

enum VstStringConstants : VstInt32 {
    kVstMaxProgNameLen = 24,
    kVstMaxParamStrLen = 8,
    kVstMaxEffectNameLen = 32,
    kVstMaxVendorStrLen = 64,
    kVstMaxProductStrLen = 64,
};

enum VstPlugCategory : VstInt32 {
    kPlugCategUnknown = 0,
    kPlugCategEffect = 1,
    kPlugCategSynth = 2,
};

constexpr VstInt32 kVstVersion = 2400;

// Records the frame only passes through as pointers; their layouts are the host's business.
struct VstParameterProperties;
struct VstPatchChunkInfo;
struct VstVariableIo;
struct MidiProgramName;
struct MidiProgramCategory;
struct MidiKeyName;
struct VstFileSelect;
struct VstWindow;
struct VstAudioFile;
struct VstOfflineTask;

// An editor's window rectangle in pixels, as effEditGetRect hands it to the host: four 16-bit
// edges, top and left first.
struct ERect {
    std::int16_t top;
    std::int16_t left;
    std::int16_t bottom;
    std::int16_t right;
};

// ---- Layout checks ------------------------------------------------------------------------------

#define TOLVANE_CHECK_OFFSET(T, field, off) static_assert(offsetof(T, field) == (off), #T "." #field)

static_assert(sizeof(void*) == 8, "64-bit layout only");
static_assert(sizeof(VstIntPtr) == 8 && sizeof(VstInt32) == 4, "integer widths");

static_assert(sizeof(AEffect) == 192 && std::is_standard_layout_v<AEffect> && std::is_trivially_copyable_v<AEffect>);
TOLVANE_CHECK_OFFSET(AEffect, magic, 0);
TOLVANE_CHECK_OFFSET(AEffect, dispatcher, 8);
TOLVANE_CHECK_OFFSET(AEffect, process, 16);
TOLVANE_CHECK_OFFSET(AEffect, setParameter, 24);
TOLVANE_CHECK_OFFSET(AEffect, getParameter, 32);
TOLVANE_CHECK_OFFSET(AEffect, numPrograms, 40);
TOLVANE_CHECK_OFFSET(AEffect, numParams, 44);
TOLVANE_CHECK_OFFSET(AEffect, numInputs, 48);
TOLVANE_CHECK_OFFSET(AEffect, numOutputs, 52);
TOLVANE_CHECK_OFFSET(AEffect, flags, 56);
TOLVANE_CHECK_OFFSET(AEffect, resvd1, 64);
TOLVANE_CHECK_OFFSET(AEffect, resvd2, 72);
TOLVANE_CHECK_OFFSET(AEffect, initialDelay, 80);
TOLVANE_CHECK_OFFSET(AEffect, realQualities, 84);
TOLVANE_CHECK_OFFSET(AEffect, offQualities, 88);
TOLVANE_CHECK_OFFSET(AEffect, ioRatio, 92);
TOLVANE_CHECK_OFFSET(AEffect, object, 96);
TOLVANE_CHECK_OFFSET(AEffect, user, 104);
TOLVANE_CHECK_OFFSET(AEffect, uniqueID, 112);
TOLVANE_CHECK_OFFSET(AEffect, version, 116);
TOLVANE_CHECK_OFFSET(AEffect, processReplacing, 120);
TOLVANE_CHECK_OFFSET(AEffect, processDoubleReplacing, 128);
TOLVANE_CHECK_OFFSET(AEffect, future, 136);

static_assert(sizeof(ERect) == 8 && std::is_standard_layout_v<ERect>);
TOLVANE_CHECK_OFFSET(ERect, right, 6);

static_assert(sizeof(VstEvent) == 32 && std::is_standard_layout_v<VstEvent>);
TOLVANE_CHECK_OFFSET(VstEvent, type, 0);
TOLVANE_CHECK_OFFSET(VstEvent, byteSize, 4);
TOLVANE_CHECK_OFFSET(VstEvent, deltaFrames, 8);
TOLVANE_CHECK_OFFSET(VstEvent, flags, 12);
TOLVANE_CHECK_OFFSET(VstEvent, data, 16);

static_assert(sizeof(VstEvents) == 32 && std::is_standard_layout_v<VstEvents>);
TOLVANE_CHECK_OFFSET(VstEvents, numEvents, 0);
TOLVANE_CHECK_OFFSET(VstEvents, reserved, 8);
TOLVANE_CHECK_OFFSET(VstEvents, events, 16);

static_assert(sizeof(VstMidiEvent) == 32 && std::is_standard_layout_v<VstMidiEvent>);
TOLVANE_CHECK_OFFSET(VstMidiEvent, type, 0);
TOLVANE_CHECK_OFFSET(VstMidiEvent, byteSize, 4);
TOLVANE_CHECK_OFFSET(VstMidiEvent, deltaFrames, 8);
TOLVANE_CHECK_OFFSET(VstMidiEvent, flags, 12);
TOLVANE_CHECK_OFFSET(VstMidiEvent, noteLength, 16);
TOLVANE_CHECK_OFFSET(VstMidiEvent, noteOffset, 20);
TOLVANE_CHECK_OFFSET(VstMidiEvent, midiData, 24);
TOLVANE_CHECK_OFFSET(VstMidiEvent, detune, 28);
TOLVANE_CHECK_OFFSET(VstMidiEvent, noteOffVelocity, 29);
TOLVANE_CHECK_OFFSET(VstMidiEvent, reserved1, 30);
TOLVANE_CHECK_OFFSET(VstMidiEvent, reserved2, 31);

static_assert(sizeof(VstMidiSysexEvent) == 48 && std::is_standard_layout_v<VstMidiSysexEvent>);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, type, 0);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, byteSize, 4);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, deltaFrames, 8);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, flags, 12);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, dumpBytes, 16);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, resvd1, 24);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, sysexDump, 32);
TOLVANE_CHECK_OFFSET(VstMidiSysexEvent, resvd2, 40);

static_assert(sizeof(VstTimeInfo) == 88 && std::is_standard_layout_v<VstTimeInfo>);
TOLVANE_CHECK_OFFSET(VstTimeInfo, samplePos, 0);
TOLVANE_CHECK_OFFSET(VstTimeInfo, sampleRate, 8);
TOLVANE_CHECK_OFFSET(VstTimeInfo, nanoSeconds, 16);
TOLVANE_CHECK_OFFSET(VstTimeInfo, ppqPos, 24);
TOLVANE_CHECK_OFFSET(VstTimeInfo, tempo, 32);
TOLVANE_CHECK_OFFSET(VstTimeInfo, barStartPos, 40);
TOLVANE_CHECK_OFFSET(VstTimeInfo, cycleStartPos, 48);
TOLVANE_CHECK_OFFSET(VstTimeInfo, cycleEndPos, 56);
TOLVANE_CHECK_OFFSET(VstTimeInfo, timeSigNumerator, 64);
TOLVANE_CHECK_OFFSET(VstTimeInfo, timeSigDenominator, 68);
TOLVANE_CHECK_OFFSET(VstTimeInfo, smpteOffset, 72);
TOLVANE_CHECK_OFFSET(VstTimeInfo, smpteFrameRate, 76);
TOLVANE_CHECK_OFFSET(VstTimeInfo, samplesToNextClock, 80);
TOLVANE_CHECK_OFFSET(VstTimeInfo, flags, 84);

static_assert(sizeof(VstPinProperties) == 128 && std::is_standard_layout_v<VstPinProperties>);
TOLVANE_CHECK_OFFSET(VstPinProperties, label, 0);
TOLVANE_CHECK_OFFSET(VstPinProperties, flags, 64);
TOLVANE_CHECK_OFFSET(VstPinProperties, arrangementType, 68);
TOLVANE_CHECK_OFFSET(VstPinProperties, shortLabel, 72);
TOLVANE_CHECK_OFFSET(VstPinProperties, future, 80);

static_assert(sizeof(VstSpeakerProperties) == 112 && std::is_standard_layout_v<VstSpeakerProperties>);
TOLVANE_CHECK_OFFSET(VstSpeakerProperties, azimuth, 0);
TOLVANE_CHECK_OFFSET(VstSpeakerProperties, elevation, 4);
TOLVANE_CHECK_OFFSET(VstSpeakerProperties, radius, 8);
TOLVANE_CHECK_OFFSET(VstSpeakerProperties, reserved, 12);
TOLVANE_CHECK_OFFSET(VstSpeakerProperties, name, 16);
TOLVANE_CHECK_OFFSET(VstSpeakerProperties, type, 80);
TOLVANE_CHECK_OFFSET(VstSpeakerProperties, future, 84);

static_assert(sizeof(VstSpeakerArrangement) == 904 && std::is_standard_layout_v<VstSpeakerArrangement>);
TOLVANE_CHECK_OFFSET(VstSpeakerArrangement, type, 0);
TOLVANE_CHECK_OFFSET(VstSpeakerArrangement, numChannels, 4);
TOLVANE_CHECK_OFFSET(VstSpeakerArrangement, speakers, 8);

static_assert(sizeof(VstKeyCode) == 8 && std::is_standard_layout_v<VstKeyCode>);
TOLVANE_CHECK_OFFSET(VstKeyCode, character, 0);
TOLVANE_CHECK_OFFSET(VstKeyCode, virt, 4);
TOLVANE_CHECK_OFFSET(VstKeyCode, modifier, 5);
