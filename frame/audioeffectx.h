// The VST 2.x plug-in class: AudioEffect plus events, pins, speaker arrangements, offline
// processing, vendor and host queries, MIDI program names and the asynchronous hooks. It adds
// no fields. Its dispatcher answers the effect opcodes 25 to 79 and hands every other opcode,
// unchanged, to AudioEffect's.
//
// The 102 virtual operations below are declared in their slot order. Operations marked "host
// call" send one host opcode with this object's record and answer a fixed value, sending
// nothing, when the object has no host callback.
#pragma once

#include "frame/audioeffect.h"

class AudioEffectX : public AudioEffect {
public:
    // [main thread] Runs AudioEffect's constructor and sets nothing else.
    AudioEffectX(audioMasterCallback hostCallback, VstInt32 programCount, VstInt32 parameterCount);

    // [dispatch thread] Opcodes 25 to 79; a null ptr where the opcode reads or writes through
    // it answers as refused without calling the operation, except for effString2Parameter,
    // where a null text is the host asking whether text entry is supported.
    VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) override;
    // [dispatch thread] Asks for MIDI (wantEvents(1)) when the record says synth or canDo
    // answers exactly 1 to "receiveVstMidiEvent".
    void resume() override;

    // [dispatch thread] unless marked otherwise.
    virtual bool canParameterBeAutomated(VstInt32 index);
    virtual bool string2parameter(VstInt32 index, char* text);  // text may be null
    virtual bool getParameterProperties(VstInt32 index, VstParameterProperties* properties);
    virtual bool beginEdit(VstInt32 index);  // host call
    virtual bool endEdit(VstInt32 index);    // host call
    virtual bool getProgramNameIndexed(VstInt32 category, VstInt32 index, char* text);
    virtual bool beginSetProgram();
    virtual bool endSetProgram();
    virtual VstInt32 beginLoadBank(VstPatchChunkInfo* info);
    virtual VstInt32 beginLoadProgram(VstPatchChunkInfo* info);
    virtual bool ioChanged();             // host call
    virtual double updateSampleRate();    // host call; a positive answer becomes sampleRate
    virtual VstInt32 updateBlockSize();   // host call; a positive answer becomes blockSize
    virtual VstInt32 getInputLatency();   // host call
    virtual VstInt32 getOutputLatency();  // host call
    virtual bool getInputProperties(VstInt32 index, VstPinProperties* properties);
    virtual bool getOutputProperties(VstInt32 index, VstPinProperties* properties);
    virtual bool setSpeakerArrangement(VstSpeakerArrangement* input, VstSpeakerArrangement* output);
    // Default: both out pointers set to null, false.
    virtual bool getSpeakerArrangement(VstSpeakerArrangement** input, VstSpeakerArrangement** output);
    virtual bool setBypass(bool onOff);
    virtual bool setPanLaw(VstInt32 type, float value);
    virtual bool setProcessPrecision(VstInt32 precision);
    virtual VstInt32 getNumMidiInputChannels();
    virtual VstInt32 getNumMidiOutputChannels();
    // [audio thread] host call; the host's record or null.
    virtual VstTimeInfo* getTimeInfo(VstInt32 filter);
    virtual VstInt32 getCurrentProcessLevel();  // host call
    virtual VstInt32 getAutomationState();      // host call
    virtual VstInt32 processEvents(VstEvents* events);
    virtual VstInt32 startProcess();
    virtual VstInt32 stopProcess();
    virtual bool processVariableIo(VstVariableIo* varIo);
    virtual VstInt32 setTotalSampleToProcess(VstInt32 value);  // answers value
    virtual bool getHostVendorString(char* text);   // host call
    virtual bool getHostProductString(char* text);  // host call
    virtual VstInt32 getHostVendorVersion();        // host call
    virtual VstIntPtr hostVendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float opt);  // host call
    // [main thread, dispatch thread] host call: 1 for any non-zero answer (-1 included).
    virtual VstInt32 canHostDo(char* text);
    virtual VstInt32 getHostLanguage();  // host call
    virtual void isSynth(bool state = true);
    virtual void noTail(bool state = true);
    virtual VstInt32 getGetTailSize();
    virtual void* getDirectory();  // host call
    virtual bool getEffectName(char* name);
    virtual bool getVendorString(char* text);
    virtual bool getProductString(char* text);
    virtual VstInt32 getVendorVersion();
    virtual VstIntPtr vendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float opt);
    virtual VstInt32 canDo(char* text);
    virtual VstInt32 getVstVersion();    // 2400
    virtual VstInt32 getPlugCategory();  // kPlugCategSynth with effFlagsIsSynth, else unknown
    virtual VstInt32 getMidiProgramName(VstInt32 channel, MidiProgramName* name);
    virtual VstInt32 getCurrentMidiProgram(VstInt32 channel, MidiProgramName* current);  // -1
    virtual VstInt32 getMidiProgramCategory(VstInt32 channel, MidiProgramCategory* category);
    virtual bool hasMidiProgramsChanged(VstInt32 channel);
    virtual bool getMidiKeyName(VstInt32 channel, MidiKeyName* keyName);
    virtual bool updateDisplay();                            // host call
    virtual bool sizeWindow(VstInt32 width, VstInt32 height);  // host call
    virtual bool openFileSelector(VstFileSelect* select);     // host call; false for null
    virtual bool closeFileSelector(VstFileSelect* select);    // host call; false for null
    virtual VstInt32 getNextShellPlugin(char* name);

    // [any thread, allocates] Speaker arrangements sized for exactly their channels: the 8-byte
    // header and 112 bytes per channel, zero-filled. Channel counts outside
    // 0..kMaxArrangementChannels are refused (false, and *arrangement is null afterwards).
    // Pair every allocateArrangement with deallocateArrangement.
    virtual bool allocateArrangement(VstSpeakerArrangement** arrangement, VstInt32 channels);
    virtual bool deallocateArrangement(VstSpeakerArrangement** arrangement);
    virtual bool copySpeaker(VstSpeakerProperties* to, VstSpeakerProperties* from);
    // A fresh copy of from in *to, through the three operations above.
    virtual bool matchArrangement(VstSpeakerArrangement** to, VstSpeakerArrangement* from);

    virtual bool offlineRead(VstOfflineTask* offline, VstInt32 option, bool readSource = true);  // host call
    virtual bool offlineWrite(VstOfflineTask* offline, VstInt32 option);                         // host call
    virtual bool offlineStart(VstAudioFile* files, VstInt32 numAudioFiles, VstInt32 numNewAudioFiles);  // host call
    virtual VstInt32 offlineGetCurrentPass();      // host call
    virtual VstInt32 offlineGetCurrentMetaPass();  // host call
    virtual bool offlineNotify(VstAudioFile* files, VstInt32 numAudioFiles, bool start);
    virtual bool offlinePrepare(VstOfflineTask* offline, VstInt32 count);
    virtual bool offlineRun(VstOfflineTask* offline, VstInt32 count);
    virtual VstInt32 offlineGetNumPasses();
    virtual VstInt32 offlineGetNumMetaPasses();
    virtual void wantEvents(VstInt32 filter = 1);       // host call
    virtual VstInt32 tempoAt(VstInt32 position);         // host call
    virtual VstInt32 getNumAutomatableParameters();      // host call
    virtual VstInt32 getParameterQuantization();         // host call
    virtual VstInt32 getNumCategories();                 // 1
    virtual bool copyProgram(VstInt32 destination);
    virtual bool needIdle();                           // host call
    virtual AEffect* getPreviousPlug(VstInt32 input);  // host call; input is not sent
    virtual AEffect* getNextPlug(VstInt32 output);     // host call; output is not sent
    virtual void inputConnected(VstInt32 index, bool state);
    virtual void outputConnected(VstInt32 index, bool state);
    virtual VstInt32 willProcessReplacing();  // host call
    virtual void wantAsyncOperation(bool state = true);
    virtual void hasExternalBuffer(bool state = true);
    virtual VstInt32 reportCurrentPosition();  // [audio thread] effGetCurrentPosition
    virtual float* reportDestinationBuffer();
    virtual bool setOutputSamplerate(float rate);                    // host call
    virtual VstSpeakerArrangement* getInputSpeakerArrangement();     // host call
    virtual VstSpeakerArrangement* getOutputSpeakerArrangement();    // host call
    virtual void* openWindow(VstWindow* window);                      // host call
    virtual bool closeWindow(VstWindow* window);                      // host call
    // Stores both fields directly, not through setBlockSize or setSampleRate.
    virtual void setBlockSizeAndSampleRate(VstInt32 frames, float rate);
    virtual bool getErrorText(char* text);
    virtual void* getIcon();
    virtual bool setViewPosition(VstInt32 x, VstInt32 y);
    virtual VstInt32 fxIdle();
    virtual bool keysRequired();
    virtual bool getChunkFile(void* nativePath);  // host call; false for null

    // [audio thread] Not virtual. Hands events to the host (audioMasterProcessEvents): true only
    // when the host answers exactly 1.
    bool sendVstEventsToHost(VstEvents* events);

    static constexpr VstInt32 kMaxArrangementChannels = 256;
};
