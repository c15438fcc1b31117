// The base plug-in class. An AudioEffect owns the AEffect record it hands to the host (the
// record is embedded, so it lives exactly as long as the object), turns the effect opcodes 0 to
// 24 into virtual operations with defaults, converts values to display texts and wraps the
// host callback. The host reaches the object only through the record's six functions, which
// find it through fromRecord() and never let an exception through.
//
// The virtual operations are declared in their slot order; subclasses replace what they need.
// Every text written for the host goes through the bounded writers of frame/bounded_text.h.
#pragma once

#include "frame/thread_tags.h"
#include "frame/vst_abi.h"

// An optional editor window. No concrete editor exists in this system; the interface is here so
// that the editor opcodes have something to forward to when a subclass attaches one.
class AEffEditor {
public:
    virtual ~AEffEditor() = default;
    virtual bool getRect(ERect** rect) = 0;
    virtual bool open(void* window) = 0;
    virtual void close() = 0;
    virtual void idle() = 0;
    virtual bool onKeyDown(VstKeyCode& keyCode) = 0;
    virtual bool onKeyUp(VstKeyCode& keyCode) = 0;
    virtual bool setKnobMode(VstInt32 mode) = 0;
};

class AudioEffect {
public:
    // [main thread] Stores the fields, zeroes the record and fills it: 1 input, 2 outputs,
    // flags effFlagsCanReplacing only, uniqueID 'NoEf', version 1, ioRatio 1.0, object = this.
    // Calls no host function. hostCallback may be null; every host call checks it.
    AudioEffect(audioMasterCallback hostCallback, VstInt32 programCount, VstInt32 parameterCount);
    AudioEffect(const AudioEffect&) = delete;
    AudioEffect& operator=(const AudioEffect&) = delete;

    // [dispatch thread] Deletes the attached editor, if any. The record goes with the object.
    virtual ~AudioEffect();

    // [dispatch thread] Opcodes 0 to 24; every other opcode answers 0. A null ptr where the
    // opcode reads or writes through it answers 0 without calling the operation.
    virtual VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt);

    virtual void open() {}     // [dispatch thread] effOpen
    virtual void close() {}    // [dispatch thread] effClose, before the object is deleted
    virtual void suspend() {}  // [dispatch thread] effMainsChanged 0
    virtual void resume() {}   // [dispatch thread] effMainsChanged not 0

    virtual void setSampleRate(float rate);       // [dispatch thread] stores sampleRate
    virtual void setBlockSize(VstInt32 frames);   // [dispatch thread] stores blockSize, unbounded

    // [audio thread] Every concrete plug-in supplies it.
    virtual void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) = 0;
    // [audio thread]
    virtual void processDoubleReplacing(double** /*inputs*/, double** /*outputs*/, VstInt32 /*sampleFrames*/) {}

    // [any thread] index comes straight from the host: the subclass bounds it.
    virtual void setParameter(VstInt32 /*index*/, float /*value*/) {}
    virtual float getParameter(VstInt32 /*index*/) { return 0.0f; }
    // [dispatch thread] setParameter, then tells the host (audioMasterAutomate).
    virtual void setParameterAutomated(VstInt32 index, float value);

    virtual VstInt32 getProgram();             // [dispatch thread] curProgram
    virtual void setProgram(VstInt32 program); // [dispatch thread] stores curProgram
    virtual void setProgramName(char* /*name*/) {}
    // [dispatch thread] The text operations below write the empty text by default. Buffers are
    // the host's: program names hold kVstMaxProgNameLen + 1 bytes, the others
    // kVstMaxParamStrLen + 1.
    virtual void getProgramName(char* name);
    virtual void getParameterLabel(VstInt32 index, char* label);
    virtual void getParameterDisplay(VstInt32 index, char* text);
    virtual void getParameterName(VstInt32 index, char* text);

    // [dispatch thread] 0 by default; getChunk leaves *data untouched.
    virtual VstInt32 getChunk(void** data, bool isPreset = false);
    virtual VstInt32 setChunk(void* data, VstInt32 byteSize, bool isPreset = false);

    // Record setters: each stores one value into the record and tells nobody; the host learns
    // of a change only through ioChanged().
    virtual void setUniqueID(VstInt32 id);
    virtual void setNumInputs(VstInt32 inputs);
    virtual void setNumOutputs(VstInt32 outputs);
    virtual void canProcessReplacing(bool state = true);
    virtual void canDoubleReplacing(bool state = true);
    virtual void programsAreChunks(bool state = true);
    virtual void setInitialDelay(VstInt32 delay);

    virtual AEffEditor* getEditor();
    virtual AEffect* getAeffect();  // the embedded record
    virtual float getSampleRate();
    virtual VstInt32 getBlockSize();

    // [dispatch thread] Host calls (audioMasterVersion, audioMasterCurrentId, audioMasterIdle).
    // getMasterVersion never answers 0: no host or an answer of 0 give 1.
    virtual VstInt32 getMasterVersion();
    virtual VstInt32 getCurrentUniqueId();
    virtual void masterIdle();

    // [any thread] Display texts, bounded by maxLen (the buffer holds maxLen + 1 bytes).
    // dB2string: "-oo" for value <= 0, else float2string of 20 log10(value).
    virtual void dB2string(float value, char* text, VstInt32 maxLen);
    // float2string of getSampleRate() / samples, 0 when samples is 0.
    virtual void Hz2string(float samples, char* text, VstInt32 maxLen);
    // float2string of samples * 1000 / getSampleRate().
    virtual void ms2string(float samples, char* text, VstInt32 maxLen);
    // Eight characters with the point ("3.500000", "-0.25000", "100.0000"), digits truncated.
    // "Huge!" when the integer part does not fit into the eight (more than 7 digits, or more
    // than 6 for a negative value: a cut-off number would read as a different one); "NaN" for
    // NaN.
    virtual void float2string(float value, char* text, VstInt32 maxLen);
    // Decimal digits without leading zeros, "-" for negative values. "Huge!" from 100000000 up
    // and, on the negative side, below -999999999 (INT32_MIN included): those have no nine-digit
    // form.
    virtual void int2string(VstInt32 value, char* text, VstInt32 maxLen);

    // [audio thread] The accumulating form of processing; nothing by default.
    virtual void process(float** /*inputs*/, float** /*outputs*/, VstInt32 /*sampleFrames*/) {}

    virtual float getVu() { return 0.0f; }  // [dispatch thread] effGetVu
    virtual void hasVu(bool state = true);
    virtual void hasClip(bool state = true);
    virtual void canMono(bool state = true);
    virtual void setRealtimeQualities(VstInt32 qualities);
    virtual void setOfflineQualities(VstInt32 qualities);

    // [dispatch thread] audioMasterPinConnected: an answer of 0 means connected; so does no host.
    virtual bool isInputConnected(VstInt32 input);
    virtual bool isOutputConnected(VstInt32 output);

    // [any thread] The one checked way from a record to its object: null unless effect is a
    // record with our magic that is embedded in the object its `object` field names.
    static AudioEffect* fromRecord(AEffect* effect) noexcept;

protected:
    bool hasHost() const noexcept { return audioMaster != nullptr; }
    // Sends one host opcode with this object's record; the caller checks hasHost() first.
    VstIntPtr callHost(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                       float opt = 0.0f);
    void setFlag(VstInt32 bit, bool state) noexcept;

    audioMasterCallback audioMaster;  // may be null
    AEffEditor* editor;               // owned; never attached in this system
    float sampleRate;
    VstInt32 blockSize;
    VstInt32 numPrograms;  // bounds effSetProgram
    VstInt32 numParams;    // the object's count; the record keeps its own copy
    VstInt32 curProgram;
    AEffect cEffect;
};
