// The seven plug-in parameters: each maps one member to the interface's 0.0..1.0 range and back,
// shows it as text and takes it as typed text. All mapping arithmetic is 32-bit floating point.
//
// Values outside 0.0..1.0 (and NaN) are outside the interface's contract; they are clamped
// into it before mapping, so no member ever leaves its range. A slave number above 16 (typed
// into the configuration dialog) is answered as 1.0, the top of the range; the display still
// shows the real number.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "bridge/tolvane.h"

namespace {

enum ParameterIndex : VstInt32 { kSynch, kSlave, kCfgDlg, kTrmSlave, kInputs, kOutputs, kStereoPn };

const char* const kParameterNames[kParamCountWithIo] = {"Synch",  "Slave#",  "CfgDlg",  "TrmSlave",
                                                        "Inputs", "Outputs", "StereoPn"};

float clampUnit(float value) {
    if (!(value >= 0.0f)) return 0.0f;  // NaN and negatives
    return value > 1.0f ? 1.0f : value;
}

bool toBool(float value) { return value >= 0.5f; }  // false for NaN

VstInt32 truncateToInt(float value) { return static_cast<VstInt32>(value); }

VstInt32 slaveFromValue(float value) { return -1 - truncateToInt(clampUnit(value) * -17.0f); }
VstInt32 inputsFromValue(float value) { return clampInputs(truncateToInt(clampUnit(value) * 16.0f)); }
VstInt32 outputsFromValue(float value) { return clampOutputs(1 - truncateToInt(clampUnit(value) * -15.0f)); }

// Case-insensitive comparison of typed text with a plain ASCII word.
bool equalsIgnoringCase(const char* text, const char* word) {
    for (; *text && *word; ++text, ++word) {
        if (std::tolower(static_cast<unsigned char>(*text)) != *word) return false;
    }
    return *text == 0 && *word == 0;
}

// Reads a decimal integer from the start of the text as "%d" does (leading white space and a
// sign accepted, anything after the number ignored); out-of-range numbers saturate.
bool readLeadingInt(const char* text, long& out) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text) return false;
    out = value;
    return true;
}

long clampLong(long v, long lo, long hi) { return v < lo ? lo : (v > hi ? hi : v); }

}  // namespace

void CTolvane::setParameter(VstInt32 index, float value) {
    switch (index) {
    case kSynch: {
        const bool on = toBool(value);
        if (!hostCanAsync || on == synchronous) return;
        synchronous = on;
        wantAsyncOperation(!synchronous);
        return;
    }
    case kSlave: {
        // The number reads back at once. On an audio thread the move itself (a stop, new
        // objects, a connect) waits for the next call from a thread that may wait; elsewhere
        // it happens here.
        const VstInt32 number = slaveFromValue(value);
        requestedSlaveNumber = number;
        if (audioThreads.current()) {
            renumberRequested = true;
            return;
        }
        std::lock_guard<std::recursive_mutex> control(controlMutex);
        renumberRequested = false;
        if (number != slaveNumber) renumberLocked(number);
        return;
    }
    case kCfgDlg:
    case kTrmSlave: {
        // Written to the settings store at once, or, on an audio thread (no file I/O there), by
        // the next call from another thread (idle, suspend, resume, close).
        const bool on = toBool(value);
        std::atomic<bool>& setting = index == kCfgDlg ? configDlg : termSlave;
        if (setting.exchange(on) == on) return;
        settingsToWrite |= index == kCfgDlg ? kWriteConfigDlg : kWriteTermSlave;
        if (audioThreads.current()) return;
        std::lock_guard<std::recursive_mutex> control(controlMutex);
        flushSettings();
        return;
    }
    case kInputs: {
        const VstInt32 count = inputsFromValue(value);
        if (!hostAcceptsIo || count == pendingIo.numInputs) return;
        pendingIo.numInputs = count;
        break;
    }
    case kOutputs: {
        const VstInt32 count = outputsFromValue(value);
        if (!hostAcceptsIo || count == pendingIo.numOutputs) return;
        pendingIo.numOutputs = count;
        break;
    }
    case kStereoPn: {
        const bool on = toBool(value);
        if (!hostAcceptsIo || on == pendingIo.stereoPins) return;
        pendingIo.stereoPins = on;
        break;
    }
    default:
        return;
    }
    // A pin change: held until the host's next suspend, announced to the host now.
    pinChangePending = true;
    ioChanged();
}

float CTolvane::getParameter(VstInt32 index) {
    switch (index) {
    case kSynch: return synchronous ? 1.0f : 0.0f;
    case kSlave: return clampUnit(static_cast<float>(shownSlaveNumber() + 1) / 17.0f);
    case kCfgDlg: return configDlg ? 1.0f : 0.0f;
    case kTrmSlave: return termSlave ? 1.0f : 0.0f;
    case kInputs: return static_cast<float>(pendingIo.numInputs) * 0.0625f;
    case kOutputs: return static_cast<float>(pendingIo.numOutputs - 1) / 15.0f;
    case kStereoPn: return pendingIo.stereoPins ? 1.0f : 0.0f;
    default: return 0.0f;
    }
}

void CTolvane::getParameterName(VstInt32 index, char* text) {
    if (!text) return;
    text[0] = 0;
    if (index >= 0 && index < numParams && index < kParamCountWithIo) {
        std::strcpy(text, kParameterNames[index]);  // at most 9 bytes with the zero
    }
}

void CTolvane::getParameterDisplay(VstInt32 index, char* text) {
    if (!text) return;
    text[0] = 0;
    switch (index) {
    case kSynch: onOffText(synchronous, text); break;
    case kSlave: {
        const VstInt32 number = shownSlaveNumber();
        if (number == -1) {
            std::strcpy(text, "Default");
        } else {
            int2string(number, text, 6);
        }
        break;
    }
    case kCfgDlg: onOffText(configDlg, text); break;
    case kTrmSlave: onOffText(termSlave, text); break;
    case kInputs: int2string(pendingIo.numInputs, text, 6); break;
    case kOutputs: int2string(pendingIo.numOutputs, text, 6); break;
    case kStereoPn: onOffText(pendingIo.stereoPins, text); break;
    default: break;
    }
}

bool CTolvane::canParameterBeAutomated(VstInt32 index) { return index == kSynch ? hostCanAsync : true; }

bool CTolvane::string2parameter(VstInt32 index, char* text) {
    if (index < 0 || index >= numParams || index >= kParamCountWithIo) return false;
    if (!text || !text[0]) return true;
    long number = 0;
    switch (index) {
    case kSynch:
    case kCfgDlg:
    case kTrmSlave:
    case kStereoPn:
        if (equalsIgnoringCase(text, "on")) {
            setParameter(index, 1.0f);
            return true;
        }
        if (equalsIgnoringCase(text, "off")) {
            setParameter(index, 0.0f);
            return true;
        }
        if (!readLeadingInt(text, number)) return false;
        setParameter(index, number >= 1 ? 1.0f : 0.0f);
        return true;
    case kSlave:
        if (!readLeadingInt(text, number)) return false;
        number = clampLong(number, -1, 16);
        setParameter(index, static_cast<float>(number + 1) / 17.0f);
        return true;
    case kInputs:
        if (!readLeadingInt(text, number)) return false;
        number = clampLong(number, 0, 16);
        setParameter(index, static_cast<float>(number) * 0.0625f);
        return true;
    case kOutputs:
        if (!readLeadingInt(text, number)) return false;
        number = clampLong(number, 1, 16);
        setParameter(index, static_cast<float>(number - 1) / 15.0f);
        return true;
    default:
        return false;
    }
}
