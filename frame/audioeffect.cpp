#include "frame/audioeffect.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "frame/bounded_text.h"
#include "frame/numeric.h"

namespace {

// The record's six functions. Each finds its object through AudioEffect::fromRecord (a record
// that is not ours gets the neutral answer) and catches everything the object throws: no
// exception may reach the host, whose frames know nothing of C++.

// [dispatch thread]
VstIntPtr VSTCALLBACK dispatchForwarder(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                        void* ptr, float opt) noexcept {
    AudioEffect* object = AudioEffect::fromRecord(effect);
    if (object == nullptr) {
        return 0;
    }
    if (opcode == effClose) {
        // The host has let go of the record: close, then delete the object (and the record
        // with it) whatever the close handling answered or threw.
        try {
            object->dispatcher(opcode, index, value, ptr, opt);
        } catch (...) {
        }
        delete object;
        return 1;
    }
    try {
        return object->dispatcher(opcode, index, value, ptr, opt);
    } catch (...) {
        return 0;
    }
}

// [audio thread]
void VSTCALLBACK processForwarder(AEffect* effect, float** inputs, float** outputs, VstInt32 sampleFrames) noexcept {
    AudioEffect* object = AudioEffect::fromRecord(effect);
    if (object == nullptr) {
        return;
    }
    try {
        object->process(inputs, outputs, sampleFrames);
    } catch (...) {
    }
}

// [audio thread]
void VSTCALLBACK processReplacingForwarder(AEffect* effect, float** inputs, float** outputs,
                                           VstInt32 sampleFrames) noexcept {
    AudioEffect* object = AudioEffect::fromRecord(effect);
    if (object == nullptr) {
        return;
    }
    try {
        object->processReplacing(inputs, outputs, sampleFrames);
    } catch (...) {
    }
}

// [audio thread]
void VSTCALLBACK processDoubleReplacingForwarder(AEffect* effect, double** inputs, double** outputs,
                                                 VstInt32 sampleFrames) noexcept {
    AudioEffect* object = AudioEffect::fromRecord(effect);
    if (object == nullptr) {
        return;
    }
    try {
        object->processDoubleReplacing(inputs, outputs, sampleFrames);
    } catch (...) {
    }
}

// [any thread]
void VSTCALLBACK setParameterForwarder(AEffect* effect, VstInt32 index, float value) noexcept {
    AudioEffect* object = AudioEffect::fromRecord(effect);
    if (object == nullptr) {
        return;
    }
    try {
        object->setParameter(index, value);
    } catch (...) {
    }
}

// [any thread]
float VSTCALLBACK getParameterForwarder(AEffect* effect, VstInt32 index) noexcept {
    AudioEffect* object = AudioEffect::fromRecord(effect);
    if (object == nullptr) {
        return 0.0f;
    }
    try {
        return object->getParameter(index);
    } catch (...) {
        return 0.0f;
    }
}

// A double on its way to float2string: clamped well beyond the "Huge!" limits, so that the
// narrowing to float is defined for every value; NaN stays NaN.
float toDisplayFloat(double value) noexcept {
    if (std::isnan(value)) {
        return static_cast<float>(value);
    }
    constexpr double kBeyondDisplay = 1.0e12;
    if (value > kBeyondDisplay) {
        return static_cast<float>(kBeyondDisplay);
    }
    if (value < -kBeyondDisplay) {
        return static_cast<float>(-kBeyondDisplay);
    }
    return static_cast<float>(value);
}

// The decimal digit of x's last integer place; x is finite, non-negative and below 1e9.
char lastDigit(double x) noexcept {
    return static_cast<char>('0' + static_cast<int>(std::fmod(x, 10.0)));
}

}  // namespace

AudioEffect::AudioEffect(audioMasterCallback hostCallback, VstInt32 programCount, VstInt32 parameterCount)
    : audioMaster(hostCallback),
      editor(nullptr),
      sampleRate(44100.0f),
      blockSize(1024),
      numPrograms(programCount),
      numParams(parameterCount),
      curProgram(0) {
    std::memset(&cEffect, 0, sizeof cEffect);
    cEffect.magic = kEffectMagic;
    cEffect.dispatcher = dispatchForwarder;
    cEffect.process = processForwarder;
    cEffect.setParameter = setParameterForwarder;
    cEffect.getParameter = getParameterForwarder;
    cEffect.numPrograms = programCount;
    cEffect.numParams = parameterCount;
    cEffect.numInputs = 1;
    cEffect.numOutputs = 2;
    cEffect.ioRatio = 1.0f;
    cEffect.object = static_cast<void*>(this);
    cEffect.uniqueID = fourCharCode('N', 'o', 'E', 'f');
    cEffect.version = 1;
    cEffect.processReplacing = processReplacingForwarder;
    cEffect.processDoubleReplacing = processDoubleReplacingForwarder;
    AudioEffect::canProcessReplacing(true);
}

AudioEffect::~AudioEffect() {
    delete editor;
}

AudioEffect* AudioEffect::fromRecord(AEffect* effect) noexcept {
    if (effect == nullptr || effect->magic != kEffectMagic || effect->object == nullptr) {
        return nullptr;
    }
    auto* object = static_cast<AudioEffect*>(effect->object);
    return &object->cEffect == effect ? object : nullptr;
}

VstIntPtr AudioEffect::dispatcher(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    // Operations that read or write through ptr are not called with a null ptr (a host bug
    // that would crash the plug-in); the opcode then answers as refused.
    auto* text = static_cast<char*>(ptr);
    switch (opcode) {
    case effOpen:
        open();
        return 0;
    case effClose:
        close();
        return 0;
    case effSetProgram:
        // No lower bound (a host may select program -1), but a value that would not survive
        // the narrowing to int32 is refused rather than wrapped into some other program.
        if (value < numPrograms && value >= INT32_MIN) {
            setProgram(static_cast<VstInt32>(value));
        }
        return 0;
    case effGetProgram:
        return getProgram();
    case effSetProgramName:
        if (text != nullptr) {
            setProgramName(text);
        }
        return 0;
    case effGetProgramName:
        if (text != nullptr) {
            getProgramName(text);
        }
        return 0;
    case effGetParamLabel:
        if (text != nullptr) {
            getParameterLabel(index, text);
        }
        return 0;
    case effGetParamDisplay:
        if (text != nullptr) {
            getParameterDisplay(index, text);
        }
        return 0;
    case effGetParamName:
        if (text != nullptr) {
            getParameterName(index, text);
        }
        return 0;
    case effGetVu:
        return truncateToIntPtr(static_cast<double>(getVu()) * 32767.0);
    case effSetSampleRate:
        setSampleRate(opt);
        return 0;
    case effSetBlockSize:
        setBlockSize(static_cast<VstInt32>(value));
        return 0;
    case effMainsChanged:
        if (value == 0) {
            suspend();
        } else {
            resume();
        }
        return 0;
    case effEditGetRect:
        return editor != nullptr && ptr != nullptr && editor->getRect(static_cast<ERect**>(ptr)) ? 1 : 0;
    case effEditOpen:
        return editor != nullptr && editor->open(ptr) ? 1 : 0;
    case effEditClose:
        if (editor != nullptr) {
            editor->close();
        }
        return 0;
    case effEditIdle:
        if (editor != nullptr) {
            editor->idle();
        }
        return 0;
    case effIdentify:
        return fourCharCode('N', 'v', 'E', 'f');
    case effGetChunk:
        return ptr != nullptr ? getChunk(static_cast<void**>(ptr), index != 0) : 0;
    case effSetChunk:
        // value is the byte count: one that is negative or does not fit int32 is refused.
        if (ptr == nullptr || value < 0 || value > INT32_MAX) {
            return 0;
        }
        return setChunk(ptr, static_cast<VstInt32>(value), index != 0);
    default:  // effEditDraw, effEditMouse, effEditKey, effEditTop, effEditSleep, and the unknown
        return 0;
    }
}

void AudioEffect::setSampleRate(float rate) {
    sampleRate = rate;
}

void AudioEffect::setBlockSize(VstInt32 frames) {
    blockSize = frames;
}

void AudioEffect::setParameterAutomated(VstInt32 index, float value) {
    setParameter(index, value);
    if (hasHost()) {
        callHost(audioMasterAutomate, index, 0, nullptr, value);
    }
}

VstInt32 AudioEffect::getProgram() {
    return curProgram;
}

void AudioEffect::setProgram(VstInt32 program) {
    curProgram = program;
}

void AudioEffect::getProgramName(char* name) {
    boundedCopy(name, "", 0);
}

void AudioEffect::getParameterLabel(VstInt32 /*index*/, char* label) {
    boundedCopy(label, "", 0);
}

void AudioEffect::getParameterDisplay(VstInt32 /*index*/, char* text) {
    boundedCopy(text, "", 0);
}

void AudioEffect::getParameterName(VstInt32 /*index*/, char* text) {
    boundedCopy(text, "", 0);
}

VstInt32 AudioEffect::getChunk(void** /*data*/, bool /*isPreset*/) {
    return 0;
}

VstInt32 AudioEffect::setChunk(void* /*data*/, VstInt32 /*byteSize*/, bool /*isPreset*/) {
    return 0;
}

void AudioEffect::setUniqueID(VstInt32 id) {
    cEffect.uniqueID = id;
}

void AudioEffect::setNumInputs(VstInt32 inputs) {
    cEffect.numInputs = inputs;
}

void AudioEffect::setNumOutputs(VstInt32 outputs) {
    cEffect.numOutputs = outputs;
}

void AudioEffect::setFlag(VstInt32 bit, bool state) noexcept {
    if (state) {
        cEffect.flags |= bit;
    } else {
        cEffect.flags &= ~bit;
    }
}

void AudioEffect::canProcessReplacing(bool state) {
    setFlag(effFlagsCanReplacing, state);
}

void AudioEffect::canDoubleReplacing(bool state) {
    setFlag(effFlagsCanDoubleReplacing, state);
}

void AudioEffect::programsAreChunks(bool state) {
    setFlag(effFlagsProgramChunks, state);
}

void AudioEffect::setInitialDelay(VstInt32 delay) {
    cEffect.initialDelay = delay;
}

AEffEditor* AudioEffect::getEditor() {
    return editor;
}

AEffect* AudioEffect::getAeffect() {
    return &cEffect;
}

float AudioEffect::getSampleRate() {
    return sampleRate;
}

VstInt32 AudioEffect::getBlockSize() {
    return blockSize;
}

VstIntPtr AudioEffect::callHost(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr, float opt) {
    return audioMaster(&cEffect, opcode, index, value, ptr, opt);
}

VstInt32 AudioEffect::getMasterVersion() {
    if (!hasHost()) {
        return 1;
    }
    const auto version = static_cast<VstInt32>(callHost(audioMasterVersion));
    return version != 0 ? version : 1;
}

VstInt32 AudioEffect::getCurrentUniqueId() {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterCurrentId)) : 0;
}

void AudioEffect::masterIdle() {
    if (hasHost()) {
        callHost(audioMasterIdle);
    }
}

void AudioEffect::dB2string(float value, char* text, VstInt32 maxLen) {
    if (value <= 0.0f) {
        boundedCopy(text, "-oo", maxLen);
        return;
    }
    float2string(toDisplayFloat(20.0 * std::log10(static_cast<double>(value))), text, maxLen);
}

void AudioEffect::Hz2string(float samples, char* text, VstInt32 maxLen) {
    const double hertz = samples == 0.0f ? 0.0 : static_cast<double>(getSampleRate()) / samples;
    float2string(toDisplayFloat(hertz), text, maxLen);
}

void AudioEffect::ms2string(float samples, char* text, VstInt32 maxLen) {
    // A sample rate of 0 gives an infinite or NaN duration, which float2string shows as text.
    float2string(toDisplayFloat(static_cast<double>(samples) * 1000.0 / getSampleRate()), text, maxLen);
}

void AudioEffect::float2string(float value, char* text, VstInt32 maxLen) {
    double v = value;
    if (std::isnan(v)) {
        boundedCopy(text, "NaN", maxLen);
        return;
    }
    const bool negative = v < 0.0;
    if (negative) {
        v = -v;
    }
    if ((negative && v > 9999999.0) || (!negative && v > 99999999.0)) {
        boundedCopy(text, "Huge!", maxLen);
        return;
    }

    // Eight characters in all: sign, integer digits and the point first, the fraction fills
    // the rest. The integer part is built from the right.
    int count = negative ? 1 : 0;
    char scratch[32];
    int at = static_cast<int>(sizeof scratch) - 1;
    scratch[at] = '\0';
    scratch[--at] = '.';
    double integer = std::floor(v);
    scratch[--at] = lastDigit(integer);
    integer /= 10.0;
    count += 2;
    while (integer >= 1.0 && count < 8) {
        scratch[--at] = lastDigit(integer);
        integer /= 10.0;
        ++count;
    }
    if (integer >= 1.0) {
        // Digits left over: the leading ones would be missing and the text would show another
        // number. Say it does not fit instead.
        boundedCopy(text, "Huge!", maxLen);
        return;
    }
    if (negative) {
        scratch[--at] = '-';
    }
    boundedCopy(text, scratch + at, maxLen);
    if (count >= 8) {
        return;
    }

    const int places = 8 - count;
    double mantissa = std::fmod(v, 1.0) * std::pow(10.0, places);
    char fraction[8];
    fraction[places] = '\0';
    for (int i = places - 1; i >= 0; --i) {
        if (mantissa <= 0.0) {
            fraction[i] = '0';
        } else {
            fraction[i] = lastDigit(mantissa);
            mantissa /= 10.0;
        }
    }
    boundedAppend(text, fraction, maxLen);
}

void AudioEffect::int2string(VstInt32 value, char* text, VstInt32 maxLen) {
    // The digits come from nine decimal places; a negative value with ten digits (and
    // INT32_MIN, whose negation does not fit) would produce a non-digit first place.
    if (value >= 100000000 || value < -999999999) {
        boundedCopy(text, "Huge!", maxLen);
        return;
    }
    char digits[12];
    int length = 0;
    if (value < 0) {
        digits[length++] = '-';
        value = -value;
    }
    bool started = false;
    for (VstInt32 divisor = 100000000; divisor > 0; divisor /= 10) {
        const VstInt32 digit = value / divisor;
        value -= digit * divisor;
        if (digit > 0 || started) {
            digits[length++] = static_cast<char>('0' + digit);
            started = true;
        }
    }
    if (!started) {
        digits[length++] = '0';
    }
    digits[length] = '\0';
    boundedCopy(text, digits, maxLen);
}

void AudioEffect::hasVu(bool state) {
    setFlag(effFlagsHasVu, state);
}

void AudioEffect::hasClip(bool state) {
    setFlag(effFlagsHasClip, state);
}

void AudioEffect::canMono(bool state) {
    setFlag(effFlagsCanMono, state);
}

void AudioEffect::setRealtimeQualities(VstInt32 qualities) {
    cEffect.realQualities = qualities;
}

void AudioEffect::setOfflineQualities(VstInt32 qualities) {
    cEffect.offQualities = qualities;
}

bool AudioEffect::isInputConnected(VstInt32 input) {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterPinConnected, input, 0)) == 0 : true;
}

bool AudioEffect::isOutputConnected(VstInt32 output) {
    return hasHost() ? static_cast<VstInt32>(callHost(audioMasterPinConnected, output, 1)) == 0 : true;
}
