// A small plug-in built as a real module with the frame's entry point, for tests that load it
// and drive it through its record as a host does. Its text and record operations write and
// read through the host's pointers without checking them, as plug-ins commonly do, so that a
// null pointer reaching them would crash the test: the dispatchers must keep it away.
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "frame/audioeffectx.h"
#include "frame/factory.h"
#include "frame/module.h"
#include "tests/frame/frame_test_plugin_protocol.h"

namespace {

class TestPlugin : public AudioEffectX {
public:
    explicit TestPlugin(audioMasterCallback host) : AudioEffectX(host, kTestPrograms, kTestParams) {
        setUniqueID(kTestUniqueId);
        setNumInputs(2);
        setNumOutputs(2);
        canDoubleReplacing(true);
    }

    ~TestPlugin() override { hostVendorSpecific(kReportDestroyed, 0, nullptr, 0.0f); }

    VstIntPtr dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) override {
        const VstIntPtr answer = AudioEffectX::dispatcher(opcode, index, value, ptr, opt);
        return opcode == effClose ? kCloseAnswer : answer;
    }

    void close() override { hostVendorSpecific(kReportClose, 0, nullptr, 0.0f); }

    void processReplacing(float** inputs, float** outputs, VstInt32 frames) override {
        throwFor(frames);
        for (int c = 0; c < 2; ++c) {
            for (VstInt32 i = 0; i < frames; ++i) {
                outputs[c][i] = 2.0f * inputs[c][i];
            }
        }
    }

    void process(float** inputs, float** outputs, VstInt32 frames) override {
        throwFor(frames);
        for (int c = 0; c < 2; ++c) {
            for (VstInt32 i = 0; i < frames; ++i) {
                outputs[c][i] += inputs[c][i];
            }
        }
    }

    void processDoubleReplacing(double** inputs, double** outputs, VstInt32 frames) override {
        throwFor(frames);
        for (int c = 0; c < 2; ++c) {
            for (VstInt32 i = 0; i < frames; ++i) {
                outputs[c][i] = 3.0 * inputs[c][i];
            }
        }
    }

    void setParameter(VstInt32 index, float value) override {
        if (index == kThrowingParameter) {
            throw std::runtime_error("setParameter");
        }
        if (index >= 0 && index < kTestParams) {
            params[index] = value;
        }
    }

    float getParameter(VstInt32 index) override {
        if (index == kThrowingParameter) {
            throw std::runtime_error("getParameter");
        }
        return index >= 0 && index < kTestParams ? params[index] : 0.0f;
    }

    void setProgramName(char* name) override { std::strncpy(programName, name, sizeof programName - 1); }
    void getProgramName(char* name) override { std::strcpy(name, programName); }
    void getParameterLabel(VstInt32, char* label) override { std::strcpy(label, "dB"); }
    void getParameterDisplay(VstInt32 index, char* text) override {
        float2string(getParameter(index), text, kVstMaxParamStrLen);
    }
    void getParameterName(VstInt32 index, char* text) override {
        std::strcpy(text, "Param");
        text[5] = static_cast<char>('0' + (index & 7));
        text[6] = '\0';
    }

    VstInt32 getChunk(void** data, bool) override {
        *data = chunk;
        return static_cast<VstInt32>(sizeof chunk);
    }
    VstInt32 setChunk(void* data, VstInt32 byteSize, bool) override {
        std::memcpy(chunk, data, byteSize < static_cast<VstInt32>(sizeof chunk) ? byteSize : sizeof chunk);
        return 1;
    }

    VstInt32 processEvents(VstEvents* events) override { return events->numEvents; }

    bool string2parameter(VstInt32 index, char* text) override {
        if (text == nullptr) {
            return true;  // text entry is supported
        }
        setParameter(index, static_cast<float>(std::atof(text)));
        return true;
    }

    bool getInputProperties(VstInt32, VstPinProperties* properties) override {
        std::strcpy(properties->label, "In");
        return true;
    }
    bool getOutputProperties(VstInt32, VstPinProperties* properties) override {
        std::strcpy(properties->label, "Out");
        return true;
    }
    bool getEffectName(char* name) override { return std::strcpy(name, "FrameTest") != nullptr; }
    bool getVendorString(char* text) override { return std::strcpy(text, "Tolvane tests") != nullptr; }
    bool getProductString(char* text) override { return std::strcpy(text, "Frame test plug-in") != nullptr; }

    VstInt32 canDo(char* text) override { return std::strcmp(text, "receiveVstMidiEvent") == 0 ? 1 : -1; }

    VstIntPtr vendorSpecific(VstInt32 index, VstIntPtr value, void* ptr, float opt) override {
        if (index == kRequestThrow) {
            throw std::runtime_error("vendorSpecific");
        }
        if (index == kRequestModuleHandle) {
            return reinterpret_cast<VstIntPtr>(moduleHandle);
        }
        return AudioEffectX::vendorSpecific(index, value, ptr, opt);
    }

private:
    static void throwFor(VstInt32 frames) {
        if (frames == kThrowingFrames) {
            throw std::runtime_error("process");
        }
    }

    float params[kTestParams] = {};
    char programName[kVstMaxProgNameLen + 1] = "Init";
    char chunk[16] = "chunk";
};

}  // namespace

AudioEffect* createEffectInstance(audioMasterCallback audioMaster) {
    switch (audioMaster(nullptr, audioMasterVendorSpecific, kFactoryQuery, 0, nullptr, 0.0f)) {
    case kFactoryRefuse:
        return nullptr;
    case kFactoryThrow:
        throw std::runtime_error("factory");
    default:
        return new TestPlugin(audioMaster);
    }
}
