// A test plug-in that crashes on purpose, for the tests of the supervised slave. It passes its two
// inputs through to its two outputs until the crash, which is a real invalid memory access (a
// segmentation fault on POSIX, an access violation on Windows), as a faulty plug-in's would be.
//
// Configured through the environment, which the slave and its children inherit:
//   TOLVANE_CRASH_AT_BLOCK=N   crash in the Nth processing call of an instance (1 is the first)
//   TOLVANE_CRASH_AT_LOAD=1    crash in the entry point, before there is any instance
//   TOLVANE_CRASH_ONCE_FILE=P  crash only while the file P does not exist, and create it just
//                              before crashing: the instance started after the crash runs on
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frame/vst_abi.h"

#if defined(_WIN32)
#define CRASH_EXPORT __declspec(dllexport)
#else
#define CRASH_EXPORT __attribute__((visibility("default")))
#endif

namespace {

constexpr int kChannels = 2;

// Read through a volatile pointer so that the compiler keeps the access.
int* volatile gNowhere = nullptr;

struct CrashPlugin {
    AEffect effect{};
    long long crashAtBlock = 0;  // 0: never
    long long blocks = 0;
};

long long numberFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::atoll(text) : 0;
}

// False when a "once" file is named and already there.
bool crashAllowed() {
    const char* once = std::getenv("TOLVANE_CRASH_ONCE_FILE");
    if (once == nullptr || *once == '\0') return true;
    if (std::FILE* existing = std::fopen(once, "rb")) {
        std::fclose(existing);
        return false;
    }
    if (std::FILE* marker = std::fopen(once, "wb")) std::fclose(marker);
    return true;
}

[[noreturn]] void crash() {
    *gNowhere = 1;
    std::abort();  // not reached
}

CrashPlugin* self(AEffect* effect) { return effect != nullptr ? static_cast<CrashPlugin*>(effect->object) : nullptr; }

// [audio thread]
void VSTCALLBACK processReplacing(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
    CrashPlugin* plugin = self(effect);
    if (plugin == nullptr || outputs == nullptr || frames <= 0) return;
    ++plugin->blocks;
    if (plugin->crashAtBlock > 0 && plugin->blocks == plugin->crashAtBlock && crashAllowed()) crash();
    for (int c = 0; c < kChannels; ++c) {
        if (outputs[c] == nullptr) continue;
        if (inputs != nullptr && inputs[c] != nullptr) {
            std::memcpy(outputs[c], inputs[c], sizeof(float) * static_cast<std::size_t>(frames));
        } else {
            std::memset(outputs[c], 0, sizeof(float) * static_cast<std::size_t>(frames));
        }
    }
}

// [dispatch thread]
VstIntPtr VSTCALLBACK dispatcher(AEffect* effect, VstInt32 opcode, VstInt32, VstIntPtr, void* ptr, float) {
    CrashPlugin* plugin = self(effect);
    if (plugin == nullptr) return 0;
    switch (opcode) {
        case effClose: delete plugin; return 1;
        case effGetEffectName:
            if (ptr != nullptr) std::snprintf(static_cast<char*>(ptr), kVstMaxEffectNameLen, "Crash");
            return 1;
        case effGetPlugCategory: return kPlugCategEffect;
        case effGetVstVersion: return kVstVersion;
        default: return 0;
    }
}

// [audio thread]
void VSTCALLBACK process(AEffect* effect, float** inputs, float** outputs, VstInt32 frames) {
    processReplacing(effect, inputs, outputs, frames);
}
// [dispatch thread]
void VSTCALLBACK setParameter(AEffect*, VstInt32, float) {}
float VSTCALLBACK getParameter(AEffect*, VstInt32) { return 0.0f; }

}  // namespace

// [main thread]
extern "C" CRASH_EXPORT AEffect* VSTPluginMain(audioMasterCallback master) {
    if (master == nullptr) return nullptr;
    if (numberFromEnvironment("TOLVANE_CRASH_AT_LOAD") != 0 && crashAllowed()) crash();
    auto* plugin = new CrashPlugin;
    plugin->crashAtBlock = numberFromEnvironment("TOLVANE_CRASH_AT_BLOCK");
    AEffect& e = plugin->effect;
    e.magic = kEffectMagic;
    e.dispatcher = dispatcher;
    e.process = process;
    e.processReplacing = processReplacing;
    e.setParameter = setParameter;
    e.getParameter = getParameter;
    e.numPrograms = 1;
    e.numInputs = kChannels;
    e.numOutputs = kChannels;
    e.flags = effFlagsCanReplacing;
    e.object = plugin;
    e.uniqueID = fourCharCode('T', 'v', 'C', 'r');
    e.version = 1;
    e.ioRatio = 1.0f;
    return &e;
}
