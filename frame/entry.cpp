// The module's entry point. Compiled into each plug-in module (not into the frame library), so
// that the module itself exports it.
#include "frame/factory.h"

extern "C" AEffect* VSTPluginMain(audioMasterCallback audioMaster) noexcept {
    if (audioMaster == nullptr) {
        return nullptr;  // there is nobody to ask for a version, nor to talk to later
    }
    // Any non-zero answer in all 64 bits passes: only 0 (a host that does not know the
    // interface) is refused.
    if (audioMaster(nullptr, audioMasterVersion, 0, 0, nullptr, 0.0f) == 0) {
        return nullptr;
    }
    try {
        AudioEffect* effect = createEffectInstance(audioMaster);
        return effect != nullptr ? effect->getAeffect() : nullptr;
    } catch (...) {
        return nullptr;
    }
}

#if !defined(_WIN32)
// The second exported name of the same function; on Windows the module definition file
// (frame/win32/exports.def) gives it.
extern "C" AEffect* vstPluginMainAsMain(audioMasterCallback audioMaster) noexcept __asm__("main")
    __attribute__((alias("VSTPluginMain")));
#endif
